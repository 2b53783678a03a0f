// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "camera.h"
#include "quorvane.h"

namespace qvt {
namespace {

// What libsystemd 252's sd-device needs to take a tmpfs tree for sysfs:
// - SYSTEMD_DEVICE_VERIFY_SYSFS=0, or sd_device_new_from_syspath refuses every
//   path whose file system is not sysfs (it checks fstatfs' SYSFS_MAGIC);
// - /sys/bus and /sys/class both present (no /sys/subsystem): the enumerator
//   walks /sys/bus/*/devices and /sys/class/*/;
// - /sys/class/<subsystem>/<name>, a symbolic link to the device directory
//   below /sys/devices/, which must hold a "uevent" file;
// - in the device directory, "subsystem", a symbolic link whose last element
//   names the subsystem, and "uevent" with MAJOR, MINOR and DEVNAME (relative
//   to /dev), or INTERFACE and IFINDEX for a network interface;
// - the device database /run/udev/data/<id>, id "c<major>:<minor>" for a
//   character device, "n<ifindex>" for an interface, lines "I:<usec>" (set up
//   by the device manager) and "E:<KEY>=<value>" (properties such as ID_TYPE);
//   a device without a database file counts as not initialised.
// A monitor needs nothing of this: it takes whatever arrives on its socket.
constexpr char sysfs_check_env[] = "SYSTEMD_DEVICE_VERIFY_SYSFS";

// Header of a device manager announcement, as sd-device's monitor parses it.
struct AnnounceHeader {
    char prefix[8];                 // "libudev"
    uint32_t magic;                 // 0xfeedcafe, network order
    uint32_t header_size;
    uint32_t properties_off;
    uint32_t properties_len;
    uint32_t filter_subsystem_hash;
    uint32_t filter_devtype_hash;
    uint32_t filter_tag_bloom_hi;
    uint32_t filter_tag_bloom_lo;
};
constexpr uint32_t announce_magic = 0xfeedcafe;
constexpr uint32_t device_manager_group = 2;
constexpr char netlink_table[] = "/proc/self/net/netlink";

int saved_netns = -1;

// Bytes waiting in the device monitor's socket, or -1 when none listens. A
// device monitor is a NETLINK_KOBJECT_UEVENT (15) socket bound to the device
// manager's group; the table lists "sk Eth Pid Groups Rmem ...".
long monitor_queue()
{
    std::istringstream table(read_file(netlink_table));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream f(line);
        std::string sk, eth, pid, groups;
        long rmem = -1;
        f >> sk >> eth >> pid >> groups >> rmem;
        if (eth == "15" && (std::strtoul(groups.c_str(), nullptr, 16) & device_manager_group))
            return rmem;
    }
    return -1;
}

std::string add_device(const FakeDevice &d)
{
    const std::string dir = device_syspath(d);
    const std::string class_dir = "/sys/class/" + d.subsystem;
    if (mkdir_p(dir) < 0 || mkdir_p(class_dir) < 0)
        return "cannot make " + dir;
    std::string uevent;
    std::string id;
    if (d.ifindex > 0) {
        uevent = "INTERFACE=" + d.name + "\nIFINDEX=" + std::to_string(d.ifindex) + "\n";
        id = "n" + std::to_string(d.ifindex);
    } else {
        uevent = "MAJOR=" + std::to_string(d.major) + "\nMINOR=" + std::to_string(d.minor) +
                 "\nDEVNAME=" + (d.devname.empty() ? d.name : d.devname) + "\n";
        id = "c" + std::to_string(d.major) + ":" + std::to_string(d.minor);
    }
    write_file(dir + "/uevent", uevent);
    if (symlink(("../../../../class/" + d.subsystem).c_str(), (dir + "/subsystem").c_str()) < 0 ||
        symlink(("../../devices/virtual/" + d.subsystem + "/" + d.name).c_str(),
                (class_dir + "/" + d.name).c_str()) < 0)
        return "cannot link " + dir + ": " + std::strerror(errno);
    if (d.in_db) {
        std::string db = "I:1000000\n";
        for (const auto &p : d.db)
            db += "E:" + p + "\n";
        write_file("/run/udev/data/" + id, db);
    }
    return "";
}

// The child's second thread: the bus thread's fan-out, over and over.
void fan_out_until(const std::atomic<bool> &stop, int *rounds, int *failed)
{
    const QvProfile camera = qv_get_profile(CAMERA_DEVPATH);
    while (!stop) {
        QvProfile copy = camera;
        if (update_all_device_video_profile(copy) != 0)
            ++*failed;
        if (++*rounds == 1) {
            std::fputs("fanning\n", stdout);
            std::fflush(stdout);
        }
    }
}

[[noreturn]] void run_monitor_child(int stop_fd, const std::string &out, const std::string &err, bool fanout)
{
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
        _exit(120);
    setvbuf(stdout, nullptr, _IONBF, 0);
    init_device_camera_monitor();
    std::atomic<bool> stop{false};
    int rounds = 0, failed = 0;
    std::thread fan;
    if (fanout)
        fan = std::thread(fan_out_until, std::cref(stop), &rounds, &failed);
    char c;
    while (read(stop_fd, &c, 1) < 0 && errno == EINTR) {
    }
    stop = true;
    if (fan.joinable())
        fan.join();
    std::printf("fan-outs %d failed %d\n", rounds, failed);
    std::fflush(nullptr);
    // The monitor thread still runs its loop: leave without running exit
    // handlers under its feet.
    _exit(0);
}

}  // namespace

FakeDevice v4l(const std::string &name, unsigned minor, std::vector<std::string> db, bool in_db)
{
    FakeDevice d;
    d.name = name;
    d.minor = minor;
    d.db = std::move(db);
    d.in_db = in_db;
    return d;
}

std::vector<FakeDevice> sample_machine()
{
    FakeDevice media = v4l("media0", 0, {"ID_TYPE=video"});
    media.subsystem = "media";
    media.major = 236;
    FakeDevice nested = v4l("video7", 7, {"ID_TYPE=video"});
    nested.devname = "v4l/video7";
    return {v4l("video0", 0, {"ID_TYPE=video"}),
            v4l("video2", 2, {"ID_TYPE=video", "ID_V4L_PRODUCT=Integrated Camera"}),
            v4l("video12", 12, {"ID_TYPE=video"}),
            v4l("video3", 3, {"ID_TYPE=Video"}),        // letter case
            v4l("video5", 5, {"ID_TYPE=videocodec"}),   // only a prefix matches
            v4l("video4", 4, {}, false),                // not set up by the device manager
            media,                                      // typed video, not a video node
            nested};                                    // node outside "/dev/video"
}

std::vector<FakeDevice> no_camera()
{
    return {v4l("video3", 3, {"ID_TYPE=Video"}), v4l("video4", 4, {}, false)};
}

std::string device_syspath(const FakeDevice &d)
{
    return "/sys/devices/virtual/" + d.subsystem + "/" + d.name;
}

std::string build_device_tree(const std::vector<FakeDevice> &devices)
{
    setenv(sysfs_check_env, "0", 1);
    if (mount_tmpfs("/sys") < 0 || mount_tmpfs("/run") < 0)
        return std::string("cannot mount a tmpfs on /sys or /run: ") + std::strerror(errno);
    if (mkdir_p("/sys/bus") < 0 || mkdir_p("/sys/class") < 0 || mkdir_p("/run/udev/data") < 0)
        return "cannot lay the tree's top folders";
    for (const auto &d : devices) {
        std::string why = add_device(d);
        if (!why.empty())
            return why;
    }
    return "";
}

std::string strip_heads(const std::string &text)
{
    const std::string name = "camera.cpp(";
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        size_t digits = at + name.size(), end = digits;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end == digits || text.compare(end, 4, ")-> ") != 0)
            continue;
        out += text.substr(from, at - from) + "-> ";
        from = end + 4;
    }
    return out + text.substr(from);
}

std::string enter_private_netns()
{
    if (saved_netns < 0)
        saved_netns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (saved_netns < 0 || unshare(CLONE_NEWNET) < 0)
        return std::string("no private network namespace: ") + std::strerror(errno);
    return "";
}

void restore_netns()
{
    if (saved_netns >= 0)
        setns(saved_netns, CLONE_NEWNET);
}

int send_device_event(const DeviceEvent &ev)
{
    static unsigned seqnum = 0;
    std::string props;
    auto add = [&props](const std::string &kv) { props += kv + '\0'; };
    add("ACTION=" + ev.action);
    add("DEVPATH=/devices/virtual/video4linux/" + ev.name);
    add("SUBSYSTEM=video4linux");
    add("SEQNUM=" + std::to_string(++seqnum));
    add("DEVNAME=/dev/" + ev.name);
    if (!ev.id_type.empty())
        add("ID_TYPE=" + ev.id_type);

    AnnounceHeader h{};
    std::memcpy(h.prefix, "libudev", sizeof h.prefix);
    h.magic = htonl(announce_magic);
    h.header_size = sizeof h;
    h.properties_off = sizeof h;
    h.properties_len = static_cast<uint32_t>(props.size());

    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (s < 0)
        return -errno;
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = device_manager_group;
    iovec iov[2] = {{&h, sizeof h}, {props.data(), props.size()}};
    msghdr m{};
    m.msg_name = &to;
    m.msg_namelen = sizeof to;
    m.msg_iov = iov;
    m.msg_iovlen = 2;
    int r = sendmsg(s, &m, 0) < 0 ? -errno : 0;
    close(s);
    return r;
}

bool wait_for_monitor(int timeout_ms)
{
    return wait_until([] { return monitor_queue() >= 0; }, timeout_ms);
}

bool wait_for_monitor_idle(pid_t pid, int timeout_ms)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    return wait_until([&] {
        // The queue first: once it is empty, a thread seen in epoll after
        // that has finished with the last message.
        if (monitor_queue() != 0)
            return false;
        for (const auto &tid : list_dir(tasks))
            if (read_file(tasks + "/" + tid + "/wchan").find("epoll") != std::string::npos)
                return true;
        return false;
    }, timeout_ms);
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

MonitorChild start_monitor_child(Sandbox *sb, bool fanout)
{
    MonitorChild child;
    child.out_path = sb->scratch + "/monitor.out";
    child.err_path = sb->scratch + "/monitor.err";
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return child;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[1]);
        run_monitor_child(p[0], child.out_path, child.err_path, fanout);
    }
    close(p[0]);
    child.pid = pid;
    child.stop_fd = p[1];
    if (pid > 0)
        sb->children.push_back(pid);
    return child;
}

ThreadEnd run_monitor_thread_body(Sandbox *sb, int fd_room, int timeout_ms)
{
    const std::string out = sb->scratch + "/thread.out", err = sb->scratch + "/thread.err";
    const std::string result = sb->scratch + "/thread.result";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int r = open(result.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (o < 0 || e < 0 || r < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(120);
        if (fd_room >= 0) {
            // New descriptors take the lowest free number, so this caps them.
            int lowest = dup(0);
            close(lowest);
            struct rlimit files = {static_cast<rlim_t>(lowest + fd_room), static_cast<rlim_t>(lowest + fd_room)};
            if (setrlimit(RLIMIT_NOFILE, &files) < 0)
                _exit(121);
        }
        void *end = init_and_start_monitor(nullptr);
        std::fflush(nullptr);
        dprintf(r, "%ld", static_cast<long>(reinterpret_cast<intptr_t>(end)));
        _exit(0);
    }
    ThreadEnd t;
    if (pid < 0)
        return t;
    sb->children.push_back(pid);
    t.status = wait_exit(pid, timeout_ms);
    if (t.status >= 0)
        sb->children.erase(std::remove(sb->children.begin(), sb->children.end(), pid), sb->children.end());
    t.result = std::strtol(read_file(result).c_str(), nullptr, 10);
    t.out = read_file(out);
    t.err = read_file(err);
    return t;
}

int stop_monitor_child(Sandbox *sb, MonitorChild *child, int timeout_ms)
{
    close(child->stop_fd);
    child->stop_fd = -1;
    int status = wait_exit(child->pid, timeout_ms);
    if (status >= 0)
        sb->children.erase(std::remove(sb->children.begin(), sb->children.end(), child->pid), sb->children.end());
    return status;
}

}  // namespace qvt
