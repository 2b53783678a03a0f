// SPDX-License-Identifier: GPL-2.0-or-later
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

extern char **environ;

namespace qvt {
namespace {

using Clock = std::chrono::steady_clock;

struct BusUnref {
    void operator()(sd_bus *b) const { sd_bus_flush_close_unref(b); }
};
using BusRef = std::unique_ptr<sd_bus, BusUnref>;

std::string errno_text(const std::string &what, int err)
{
    return what + ": " + std::strerror(err);
}

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Environment of a child: ours, with the "NAME=value" entries of extra on top.
std::vector<std::string> child_environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string &x) {
            return x.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &v)
{
    std::vector<char *> out;
    for (auto &s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Forks and execs argv with stdin, stdout and stderr on the given fds (-1:
// /dev/null). Returns the pid or -1.
pid_t start_child(const std::vector<std::string> &argv, const std::vector<std::string> &env_extra,
                  int in_fd, int out_fd, int err_fd)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> env = child_environment(env_extra);
    std::vector<char *> cargs = c_strings(args);
    std::vector<char *> cenv = c_strings(env);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int fds[3] = {in_fd, out_fd, err_fd};
    for (int target = 0; target < 3; ++target) {
        if (fds[target] >= 0)
            posix_spawn_file_actions_adddup2(&fa, fds[target], target);
        else
            posix_spawn_file_actions_addopen(&fa, target, "/dev/null", target ? O_WRONLY : O_RDONLY, 0);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int r = posix_spawn(&pid, cargs[0], &fa, &attr, cargs.data(), cenv.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    return r == 0 ? pid : -1;
}

int status_of(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return -1;
}


int remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) < 0)
        return -errno;
    if (S_ISDIR(st.st_mode)) {
        for (const auto &name : list_dir(path))
            remove_tree(path + "/" + name);
        return rmdir(path.c_str()) < 0 ? -errno : 0;
    }
    return unlink(path.c_str()) < 0 ? -errno : 0;
}

}  // namespace

int mkdir_p(const std::string &path, mode_t mode)
{
    std::string partial;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty())
            continue;
        partial += "/" + part;
        if (mkdir(partial.c_str(), mode) < 0 && errno != EEXIST)
            return -errno;
    }
    return 0;
}

std::string enter_sandbox(Sandbox *sb, const SandboxOptions &opts)
{
    if (geteuid() != 0)
        return "needs root for a private mount namespace";

    char tmpl[] = "/tmp/qvt.XXXXXX";
    if (!mkdtemp(tmpl))
        return errno_text("mkdtemp", errno);
    sb->scratch = tmpl;

    sb->saved_ns = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (sb->saved_ns < 0 || unshare(CLONE_NEWNS) < 0) {
        std::string why = errno_text("unshare(CLONE_NEWNS)", errno);
        rmdir(sb->scratch.c_str());
        return why;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return errno_text("make / private", errno);
    if (mount("qvt-scratch", sb->scratch.c_str(), "tmpfs", 0, "mode=0755") < 0)
        return errno_text("tmpfs on scratch", errno);
    if (overlay_dir(sb, "/etc") < 0)
        return errno_text("overlay on /etc", errno);

    struct stat st;
    if (!opts.store_present) {
        if (lstat(QV_STORE_DIR, &st) == 0)
            remove_tree(QV_STORE_DIR);
        return "";
    }
    if (mkdir(QV_STORE_DIR, 0755) < 0 && errno != EEXIST)
        return errno_text("mkdir " QV_STORE_DIR, errno);
    if (mount("qvt-store", QV_STORE_DIR, "tmpfs", 0, opts.store_tmpfs.c_str()) < 0)
        return errno_text("tmpfs on " QV_STORE_DIR, errno);
    return "";
}

void leave_sandbox(Sandbox *sb)
{
    for (pid_t pid : sb->children)
        kill_and_wait(pid);
    sb->children.clear();
    if (sb->saved_ns >= 0) {
        // Fails while other threads are alive; the process then stays in its
        // sandbox, which dies with it.
        if (setns(sb->saved_ns, CLONE_NEWNS) == 0 && !sb->scratch.empty())
            rmdir(sb->scratch.c_str());
        close(sb->saved_ns);
        sb->saved_ns = -1;
    }
}

int overlay_dir(Sandbox *sb, const std::string &dir)
{
    std::string tag = dir;
    std::replace(tag.begin(), tag.end(), '/', '_');
    std::string upper = sb->scratch + "/ovl" + tag + ".upper";
    std::string work = sb->scratch + "/ovl" + tag + ".work";
    if (mkdir(upper.c_str(), 0755) < 0 || mkdir(work.c_str(), 0755) < 0)
        return -errno;
    std::string opts = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    if (mount("qvt-overlay", dir.c_str(), "overlay", 0, opts.c_str()) < 0)
        return -errno;
    return 0;
}

int mount_tmpfs(const std::string &path, const std::string &options)
{
    int r = mkdir_p(path, 0755);
    if (r < 0)
        return r;
    if (mount("qvt-tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) < 0)
        return -errno;
    return 0;
}

int private_tmp(const Sandbox &sb)
{
    std::vector<std::string> kept;
    for (const std::string &dir : {sb.scratch, source_path(""), binary_path("")})
        if (dir.compare(0, 5, "/tmp/") == 0)
            kept.push_back(dir);
    std::vector<int> fds;
    for (const std::string &dir : kept) {
        fds.push_back(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (fds.back() < 0)
            return -errno;
    }
    int r = mount("qvt-tmp", "/tmp", "tmpfs", 0, "mode=1777") < 0 ? -errno : 0;
    for (size_t i = 0; i < kept.size(); ++i) {
        const std::string from = "/proc/self/fd/" + std::to_string(fds[i]);
        if (r == 0 && (r = mkdir_p(kept[i])) == 0 && mount(from.c_str(), kept[i].c_str(), nullptr, MS_BIND, nullptr) < 0)
            r = -errno;
        close(fds[i]);
    }
    return r;
}

std::string install_systemctl_stub(Sandbox *sb)
{
    std::string dir = sb->scratch + "/stubbin";
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/systemctl",
               "#!/bin/sh\n"
               "# Records each command line instead of switching units.\n"
               "echo \"$*\" >> " + sb->scratch + "/systemctl.log\n",
               0755);
    return dir;
}

std::vector<std::string> systemctl_calls(const Sandbox &sb)
{
    std::vector<std::string> lines;
    std::stringstream ss(read_file(sb.scratch + "/systemctl.log"));
    std::string line;
    while (std::getline(ss, line))
        lines.push_back(line);
    return lines;
}

Proc spawn(Sandbox *sb, const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    static int counter = 0;
    Proc p;
    std::string base = sb->scratch + "/proc" + std::to_string(++counter);
    p.out_path = base + ".out";
    p.err_path = base + ".err";
    int out = open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    p.pid = start_child(argv, env, -1, out, err);
    close(out);
    close(err);
    if (p.pid > 0)
        sb->children.push_back(p.pid);
    return p;
}

RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              const std::string &input, int timeout_ms)
{
    RunResult res;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) < 0 || pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0)
        return res;
    pid_t pid = start_child(argv, env, in_pipe[0], out_pipe[1], err_pipe[1]);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        res.err = "cannot start " + argv[0];
        return res;
    }

    size_t written = 0;
    if (input.empty()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
    } else {
        fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        struct pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}};
        if (!out_open)
            fds[0].fd = -1;
        if (!err_open)
            fds[1].fd = -1;
        int left = remaining_ms(deadline);
        if (left == 0 || poll(fds, 3, left) == 0) {
            kill(pid, SIGKILL);
            break;
        }
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? res.out : res.err).append(buf, n);
            else if (n == 0 || errno != EINTR)
                (i == 0 ? out_open : err_open) = false;
        }
        if (in_pipe[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_pipe[1], input.data() + written, input.size() - written);
            if (n > 0)
                written += n;
            if (n < 0 || written == input.size()) {
                close(in_pipe[1]);
                in_pipe[1] = -1;
            }
        }
    }
    if (in_pipe[1] >= 0)
        close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    res.status = status_of(wstatus);
    return res;
}

int wait_exit(pid_t pid, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    // A pidfd would let us poll; waitpid with WNOHANG on a short period keeps
    // this portable to older kernels.
    for (;;) {
        int wstatus = 0;
        pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid)
            return status_of(wstatus);
        if (r < 0)
            return -1;
        if (remaining_ms(deadline) == 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void kill_and_wait(pid_t pid)
{
    if (pid <= 0)
        return;
    if (kill(pid, SIGKILL) == 0 || errno != ESRCH) {
        int wstatus;
        while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
    } else {
        waitpid(pid, nullptr, WNOHANG);
    }
}

std::string start_bus(Sandbox *sb, const std::string &kind, Bus *bus, const std::string &extra_config)
{
    std::string socket = sb->scratch + "/" + kind + "_bus_socket";
    std::string config = sb->scratch + "/" + kind + "-bus.conf";
    write_file(config,
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>" + kind + "</type>\n"
               "  <listen>unix:path=" + socket + "</listen>\n"
               "  <auth>EXTERNAL</auth>\n" +
               (extra_config.empty()
                    ? "  <policy context=\"default\">\n"
                      "    <allow user=\"*\"/>\n"
                      "    <allow own=\"*\"/>\n"
                      "    <allow send_destination=\"*\"/>\n"
                      "    <allow receive_sender=\"*\"/>\n"
                      "  </policy>\n"
                    : extra_config) +
               "</busconfig>\n");

    int addr_pipe[2];
    if (pipe2(addr_pipe, O_CLOEXEC) < 0)
        return errno_text("pipe", errno);
    std::string log = sb->scratch + "/" + kind + "-bus.log";
    int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bus->pid = start_child({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
                            "--print-address=1"},
                           {}, -1, addr_pipe[1], log_fd);
    close(addr_pipe[1]);
    close(log_fd);
    if (bus->pid < 0) {
        close(addr_pipe[0]);
        return "cannot start /usr/bin/dbus-daemon";
    }
    sb->children.push_back(bus->pid);

    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        struct pollfd pfd = {addr_pipe[0], POLLIN, 0};
        if (poll(&pfd, 1, remaining_ms(deadline)) <= 0)
            break;
        char buf[512];
        ssize_t n = read(addr_pipe[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, n);
    }
    close(addr_pipe[0]);
    if (line.find('\n') == std::string::npos)
        return "dbus-daemon printed no address: " + read_file(log);
    bus->address = line.substr(0, line.find('\n'));
    return "";
}

bool wait_for_name(const std::string &address, const std::string &name, int timeout_ms)
{
    sd_bus *raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        return false;
    BusRef bus(raw);
    if (sd_bus_set_address(bus.get(), address.c_str()) < 0 || sd_bus_set_bus_client(bus.get(), 1) < 0 ||
        sd_bus_start(bus.get()) < 0)
        return false;
    std::string match = "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
                        name + "'";
    if (sd_bus_add_match(bus.get(), nullptr, match.c_str(), nullptr, nullptr) < 0)
        return false;

    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    // Asked after the match is in place, so an owner that appears in between
    // is seen either by the call or by the signal.
    sd_bus_message *reply = nullptr;
    int has = 0;
    if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", nullptr, &reply, "s", name.c_str()) >= 0) {
        sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
    }
    while (!has) {
        sd_bus_message *m = nullptr;
        int r = sd_bus_process(bus.get(), &m);
        if (r < 0)
            return false;
        if (m) {
            const char *n = nullptr, *old_owner = nullptr, *new_owner = nullptr;
            if (sd_bus_message_is_signal(m, "org.freedesktop.DBus", "NameOwnerChanged") &&
                sd_bus_message_read(m, "sss", &n, &old_owner, &new_owner) >= 0 && name == n && *new_owner)
                has = 1;
            sd_bus_message_unref(m);
        }
        if (r > 0)
            continue;
        int left = remaining_ms(deadline);
        if (left == 0)
            return false;
        sd_bus_wait(bus.get(), static_cast<uint64_t>(left) * 1000);
    }
    return true;
}

bool wait_for_text(const std::string &path, const std::string &needle, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (read_file(path).find(needle) == std::string::npos) {
        if (remaining_ms(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    return true;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content, int mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            break;
        done += n;
    }
    fchmod(fd, mode);
    close(fd);
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> regular_files(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &n : list_dir(dir)) {
        struct stat st;
        if (lstat((dir + "/" + n).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(n);
    }
    return names;
}

std::string binary_path(const std::string &relative)
{
    return std::string(QVT_BINARY_DIR) + "/" + relative;
}

std::string source_path(const std::string &relative)
{
    return std::string(QVT_SOURCE_DIR) + "/" + relative;
}

Captured capture(const std::string &dir, const std::function<void()> &fn)
{
    std::fflush(nullptr);
    int saved_out = dup(1), saved_err = dup(2);
    int out = open((dir + "/captured.out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open((dir + "/captured.err").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    fn();
    std::fflush(nullptr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    close(out);
    close(err);
    return Captured{read_file(dir + "/captured.out"), read_file(dir + "/captured.err")};
}

long vm_rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace qvt
