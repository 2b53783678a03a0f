// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_loader's sockets and what it tells: reload requests on the
// control socket, the record stream's listener, status.json, and the state
// file that carries what was said and held across re-executions.
#include <bpf/bpf.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "diag.h"
#include "enforce.h"
#include "loader.h"

namespace {

// This boot's id, as the kernel names it.
std::string boot_id()
{
    std::ifstream f("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(f, id);
    return id;
}

// This process's start time, in clock ticks after boot (/proc/PID/stat's
// 22nd field), which tells it apart from a later process with its pid.
unsigned long long start_time()
{
    std::ifstream f("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22)
            return std::stoull(field);
    return 0;
}

// Replaces path with text, atomically, readable with mode.
void replace_file(const std::string &path, const std::string &text, mode_t mode)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << text;
        if (!f) {
            QV_LOG(stderr, "cannot write %s\n", tmp.c_str());
            return;
        }
    }
    chmod(tmp.c_str(), mode);
    if (rename(tmp.c_str(), path.c_str()) < 0)
        QV_LOG(stderr, "cannot replace %s: %s\n", path.c_str(), std::strerror(errno));
}

// Answers one connection on the control socket; reply_fixed, when not empty,
// is the answer to every request (the kernel cannot enforce).
void serve_control(Loader *l, const std::string &reply_fixed)
{
    QvFd peer;
    peer.fd = accept4(l->control.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer.fd < 0)
        return;
    ucred cred{};
    socklen_t len = sizeof cred;
    std::string reply;
    if (getsockopt(peer.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0 || cred.uid != 0) {
        reply = QV_REPLY_ERROR " 1 only root may reload enforcement";
    } else {
        pollfd p{peer.fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            return;
        char req[64];
        ssize_t n = recv(peer.fd, req, sizeof req, MSG_DONTWAIT);
        if (n <= 0)
            return;
        if (std::string(req, static_cast<size_t>(n)) != QV_REQ_RELOAD)
            reply = QV_REPLY_ERROR " 22 unknown request";
        else if (!reply_fixed.empty())
            reply = reply_fixed;
        else
            reply = reload(l);
    }
    send(peer.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

bool bound_to(int fd, const char *path)
{
    sockaddr_un addr{};
    socklen_t len = sizeof addr;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0 && addr.sun_family == AF_UNIX &&
           std::strncmp(addr.sun_path, path, sizeof addr.sun_path) == 0;
}

}  // namespace

// Journal lines are written once per boot: what was said is remembered in
// QV_LOADER_STATE_FILE across re-executions and restarts.
constexpr size_t reported_max = 100000;

void report_once(Loader *l, const std::string &line)
{
    if (l->reported.count(line))
        return;
    if (l->reported.size() < reported_max) {
        l->reported.insert(line);
        l->state_dirty = true;
    }
    QV_LOG(stderr, "%s\n", line.c_str());
}

// for_exec: this process is about to execute a new image, which takes the
// listed programs' descriptors over.
void save_state(Loader *l, bool for_exec)
{
    if (!l->state_dirty && !for_exec)
        return;
    nlohmann::json state = {{"boot_id", boot_id()}, {"reported", l->reported}, {"held", held_to_json(l->held)}};
    if (for_exec) {
        state["pid"] = getpid();
        state["programs"] = held_programs_for_exec(l->held);
    }
    replace_file(QV_LOADER_STATE_FILE, state.dump() + "\n", 0600);
    l->state_dirty = for_exec;
}

// What an earlier image of this boot said already.
void load_state(Loader *l)
{
    std::ifstream f(QV_LOADER_STATE_FILE);
    nlohmann::json state = nlohmann::json::parse(f, nullptr, false);
    if (!state.is_object() || state.value("boot_id", "") != boot_id())
        return;
    const nlohmann::json &reported = state["reported"];
    if (!reported.is_array())
        return;
    for (const auto &line : reported)
        if (line.is_string())
            l->reported.insert(line.get<std::string>());
    held_from_json(&l->held, state["held"]);
    if (state.value("pid", 0) == getpid())  // re-executed: the descriptors are ours
        held_programs_adopt(&l->held, state["programs"]);
}

void write_status(const Loader &l)
{
    nlohmann::json not_enforced = nlohmann::json::array();
    for (const auto &n : l.last.not_enforced)
        not_enforced.push_back({{"path", n.path}, {"why", n.why}});
    nlohmann::json moved = nlohmann::json::array();
    for (const auto &m : l.moved)
        moved.push_back({{"path", m.path}, {"now_at", m.now_at}});
    nlohmann::json weak = nlohmann::json::array();
    for (const auto &w : l.last.weak_programs)
        weak.push_back({{"path", w.path}, {"why", w.why}});
    uint64_t kernel_dropped = 0;
    if (l.skel && l.active) {
        int cpus = libbpf_num_possible_cpus();
        std::vector<qv_counters> per_cpu(cpus > 0 ? static_cast<size_t>(cpus) : 1);
        uint32_t zero = 0;
        if (bpf_map_lookup_elem(bpf_map__fd(l.skel->maps.qv_counters), &zero, per_cpu.data()) == 0)
            for (const auto &c : per_cpu)
                kernel_dropped += c.dropped;
    }
    static const std::string boot = boot_id();
    static const unsigned long long started = start_time();
    nlohmann::json status = {
        {"active", l.active},
        {"reason", l.reason},
        {"profiles", l.profiles - l.last.absent_cameras.size()},
        {"enforced", l.last.enforced},
        {"not_enforced", not_enforced},
        {"absent", l.last.absent_cameras},
        {"moved", moved},
        {"weak_programs", weak},
        {"records", {{"sent", l.stream.sent}, {"dropped", l.stream.dropped}, {"kernel_dropped", kernel_dropped}}},
        {"pid", getpid()},
        {"started", started},
        {"boot_id", boot},
    };
    replace_file(QV_STATUS_FILE, status.dump() + "\n", 0644);
}

int on_control(sd_event_source *, int, uint32_t, void *userdata)
{
    serve_control(static_cast<Loader *>(userdata), "");
    return 0;
}

int on_stream(sd_event_source *, int, uint32_t, void *userdata)
{
    stream_accept(&static_cast<Loader *>(userdata)->stream);
    return 0;
}

// The sockets: handed over by systemd (by name or by address), or bound here.
int open_sockets(Loader *l)
{
    char **names = nullptr;
    int n = sd_listen_fds_with_names(1, &names);
    int control = -1, notify = -1;
    for (int i = 0; i < n; ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        if (std::strcmp(names[i], "control") == 0 || bound_to(fd, QV_CONTROL_SOCKET))
            control = fd;
        else if (std::strcmp(names[i], "notify") == 0 || bound_to(fd, QV_NOTIFY_SOCKET))
            notify = fd;
        else
            close(fd);
        free(names[i]);
    }
    free(names);
    if (control < 0) {
        mkdir(QV_RUN_DIR, 0755);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, QV_CONTROL_SOCKET);
        control = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (control < 0)
            return -errno;
        unlink(QV_CONTROL_SOCKET);
        mode_t old = umask(0077);
        int r = bind(control, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        umask(old);
        if (r < 0 || listen(control, 64) < 0) {
            r = -errno;
            close(control);
            return r;
        }
    }
    l->control.fd = control;
    return stream_open(&l->stream, QV_NOTIFY_SOCKET, notify);
}

// Answers the reload requests already waiting with reply, before an exit.
void answer_waiting(Loader *l, const std::string &reply)
{
    for (;;) {
        pollfd p{l->control.fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            break;
        serve_control(l, reply);
    }
}
