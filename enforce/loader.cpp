// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_loader: owns the BPF LSM program that puts the stored profiles into
// force. Started by its socket unit on the first reload request; fills the
// idle policy slot from the store and flips the generation before it answers;
// pins everything under QV_PIN_DIR so enforcement outlives it; unpins and ends
// enforcement only when it is stopped on purpose (SIGTERM). SIGHUP (a reload
// of its unit, as after a package upgrade) re-executes the installed binary
// in the same process, keeping the pins and the listening sockets.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "diag.h"
#include "enforce.h"
#include "policy.h"
#include "policy_maps.h"
#include "quorvane.h"
#include "quorvane.skel.h"
#include "record_stream.h"

namespace {

#define QV_LSM_LIST "/sys/kernel/security/lsm"
#define QV_LINK_PIN QV_PIN_DIR "/file_open"

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

using SkelRef = std::unique_ptr<quorvane_bpf, qv_release<quorvane_bpf__destroy>>;
using RingRef = std::unique_ptr<ring_buffer, qv_release<ring_buffer__free>>;
using DirRef = std::unique_ptr<DIR, qv_release<closedir>>;
using EventRef = std::unique_ptr<sd_event, qv_release<sd_event_unref>>;
using SourceRef = std::unique_ptr<sd_event_source, qv_release<sd_event_source_unref>>;

struct Loader {
    SkelRef skel;
    Fd control;
    RecordStream stream;
    RingRef ring;
    bool active = false;
    bool stop_on_purpose = false;
    bool reexec = false;           // SIGHUP: re-execute the installed binary
    std::string self;              // that binary, resolved at start
    std::string reason;            // why enforcement is not active
    Policy last;                   // the generation in force
    size_t profiles = 0;
    std::set<std::string> reported;  // journal lines already written once
    std::set<std::string> known;     // profile paths of the generation in force
    bool walk_new_trees = true;      // false until the first reload after a takeover
};

// The active LSM list, or "" when it cannot be read.
std::string lsm_list()
{
    std::ifstream f(QV_LSM_LIST);
    std::string list;
    std::getline(f, list);
    return list;
}

int libbpf_quiet(enum libbpf_print_level level, const char *fmt, va_list args)
{
    if (level == LIBBPF_DEBUG)
        return 0;
    return std::vfprintf(stderr, fmt, args);
}

// "" when this kernel runs our program: bpf is an active LSM and a probe
// copy (empty policy: it allows everything) loads and attaches.
std::string kernel_refusal()
{
    std::string list = lsm_list();
    if (!list.empty() && ("," + list + ",").find(",bpf,") == std::string::npos)
        return "bpf is not among the active LSMs";
    SkelRef probe(quorvane_bpf__open());
    if (!probe)
        return std::string("cannot open the BPF program: ") + std::strerror(errno);
    int r = quorvane_bpf__load(probe.get());
    if (r != 0)
        return std::string("the kernel refused to load the BPF LSM program: ") + std::strerror(-r);
    r = quorvane_bpf__attach(probe.get());
    if (r != 0)
        return std::string("the kernel refused to attach the BPF LSM program: ") + std::strerror(-r);
    return "";
}

void report_once(Loader *l, const std::string &line)
{
    if (l->reported.insert(line).second)
        QV_LOG(stderr, "%s\n", line.c_str());
}

// Profiles left out and other surprises, once each in the journal.
void report_policy(Loader *l, const Policy &policy)
{
    for (const auto &n : policy.notes)
        report_once(l, n);
    for (const auto &n : policy.not_enforced)
        report_once(l, "not enforced: " + n.path + ": " + n.why);
}

void write_status(const Loader &l)
{
    nlohmann::json not_enforced = nlohmann::json::array();
    for (const auto &n : l.last.not_enforced)
        not_enforced.push_back({{"path", n.path}, {"why", n.why}});
    uint64_t kernel_dropped = 0;
    if (l.skel && l.active) {
        int cpus = libbpf_num_possible_cpus();
        std::vector<qv_counters> per_cpu(cpus > 0 ? static_cast<size_t>(cpus) : 1);
        uint32_t zero = 0;
        if (bpf_map_lookup_elem(bpf_map__fd(l.skel->maps.qv_counters), &zero, per_cpu.data()) == 0)
            for (const auto &c : per_cpu)
                kernel_dropped += c.dropped;
    }
    nlohmann::json status = {
        {"active", l.active},
        {"reason", l.reason},
        {"profiles", l.profiles},
        {"enforced", l.last.enforced},
        {"not_enforced", not_enforced},
        {"records", {{"sent", l.stream.sent}, {"dropped", l.stream.dropped}, {"kernel_dropped", kernel_dropped}}},
    };
    const std::string tmp = QV_STATUS_FILE ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << status.dump() << "\n";
        if (!f) {
            QV_LOG(stderr, "cannot write %s\n", tmp.c_str());
            return;
        }
    }
    chmod(tmp.c_str(), 0644);
    if (rename(tmp.c_str(), QV_STATUS_FILE) < 0)
        QV_LOG(stderr, "cannot replace %s: %s\n", QV_STATUS_FILE, std::strerror(errno));
}

// Puts policy into the idle slot as a fresh map, then flips the generation:
// the program sees either the old generation whole or the new one whole.
int apply_policy(quorvane_bpf *skel, const Policy &policy)
{
    const int slots = bpf_map__fd(skel->maps.qv_slots);
    const int generation = bpf_map__fd(skel->maps.qv_generation);
    uint32_t zero = 0, gen = 0;
    if (bpf_map_lookup_elem(generation, &zero, &gen) < 0)
        return -errno;
    Fd inner;
    inner.fd = policy_map_create(policy);
    if (inner.fd < 0)
        return inner.fd;
    uint32_t idle = (gen + 1) & 1;
    if (bpf_map_update_elem(slots, &idle, &inner.fd, BPF_ANY) < 0)
        return -errno;
    uint32_t next = gen + 1;
    if (bpf_map_update_elem(generation, &zero, &next, BPF_ANY) < 0)
        return -errno;
    return 0;
}

constexpr int walk_depth_max = 64;
constexpr size_t walk_entries_max = 100000;

// Files under path (or path itself) that have other names too: protection
// covers them only through their name in the tree. Looked through once, when
// the profile is new and not yet in force; what cannot be read is skipped.
void report_hard_links(Loader *l, const std::string &path)
{
    struct stat top;
    if (lstat(path.c_str(), &top) < 0)
        return;
    std::vector<std::pair<std::string, int>> folders;
    size_t seen = 0;
    auto check = [&](const std::string &p, const struct stat &st) {
        if (S_ISREG(st.st_mode) && st.st_nlink > 1)
            report_once(l, "hard link: " + p + " has " + std::to_string(st.st_nlink) +
                               " names; it is protected only through this one");
    };
    check(path, top);
    if (S_ISDIR(top.st_mode))
        folders.emplace_back(path, 0);
    while (!folders.empty() && seen < walk_entries_max) {
        auto [dir, depth] = folders.back();
        folders.pop_back();
        DirRef d(opendir(dir.c_str()));
        if (!d)
            continue;
        while (struct dirent *e = readdir(d.get())) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            struct stat st;
            if (++seen > walk_entries_max || fstatat(dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0)
                continue;
            const std::string p = dir + "/" + e->d_name;
            check(p, st);
            if (S_ISDIR(st.st_mode) && st.st_dev == top.st_dev && depth + 1 < walk_depth_max)
                folders.emplace_back(p, depth + 1);
        }
    }
}

std::vector<QvProfile> stored_profiles()
{
    std::vector<QvProfile> profiles;
    for (const auto &path : qv_get_files())
        profiles.push_back(qv_get_profile(path));
    return profiles;
}

// Reads the store, fills and flips. The reply to a reload request.
std::string reload(Loader *l)
{
    std::vector<QvProfile> profiles = stored_profiles();
    Policy policy = build_policy(profiles);
    report_policy(l, policy);
    std::set<std::string> current;
    for (const auto &p : profiles) {
        current.insert(p.file);
        if (!l->known.count(p.file) && l->walk_new_trees &&
            std::none_of(policy.not_enforced.begin(), policy.not_enforced.end(),
                         [&](const NotEnforced &n) { return n.path == p.file; }))
            report_hard_links(l, p.file);
    }
    l->known = std::move(current);
    l->walk_new_trees = true;
    int r = apply_policy(l->skel.get(), policy);
    if (r < 0) {
        QV_LOG(stderr, "cannot fill the policy maps: %s\n", std::strerror(-r));
        return std::string(QV_REPLY_ERROR " ") + std::to_string(-r) + " cannot fill the policy maps";
    }
    l->profiles = profiles.size();
    l->last = std::move(policy);
    write_status(*l);
    return std::string(QV_REPLY_OK " ") + std::to_string(l->last.enforced) + " " +
           std::to_string(l->last.not_enforced.size());
}

// Answers one connection on the control socket; reply_fixed, when not empty,
// is the answer to every request (the kernel cannot enforce).
void serve_control(Loader *l, const std::string &reply_fixed)
{
    Fd peer;
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

int on_record(void *ctx, void *data, size_t size)
{
    Loader *l = static_cast<Loader *>(ctx);
    if (size < sizeof(qv_event))
        return 0;
    const qv_event *e = static_cast<const qv_event *>(data);
    // Each path up to its NUL, the rest zero: what follows the NUL in the
    // kernel's buffer is left over (bpf_d_path's work space, or an earlier
    // record, maybe another user's) and never leaves the loader.
    char record[QV_RECORD_SIZE] = {};
    std::memcpy(record, e->object, strnlen(e->object, QV_RECORD_FIELD - 1));
    std::memcpy(record + QV_RECORD_FIELD, e->exe, strnlen(e->exe, QV_RECORD_FIELD - 1));
    // By record kind: QV_EVENT_PATHS, _NAMES, _CHANGE, _WATCH.
    static const char *const verbs[] = {"opening", "linking or moving", "changing", "watching"};
    const char *verb = e->kind < sizeof verbs / sizeof *verbs ? verbs[e->kind] : "reaching";
    QV_LOG(stderr, "%s: uid %u pid %u %s %s %s\n", e->complain ? "would block (complain)" : "blocked", e->uid,
           e->pid, record + QV_RECORD_FIELD, verb, record);
    stream_deliver(&l->stream, e->uid, record);
    return 0;
}

int on_ring(sd_event_source *, int, uint32_t, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    ring_buffer__consume(l->ring.get());
    write_status(*l);
    return 0;
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

int on_signal(sd_event_source *s, const struct signalfd_siginfo *si, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    if (si->ssi_signo == SIGHUP)
        l->reexec = true;
    else
        l->stop_on_purpose = true;
    return sd_event_exit(sd_event_source_get_event(s), 0);
}

// The kernel's own device events (they come with or without udev, and the
// node exists in devtmpfs by the time one is sent). A camera node that
// appears joins the policy: its profile is resolved again.
int open_uevents()
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -errno;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1;  // the kernel's group
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        int r = -errno;
        close(fd);
        return r;
    }
    return fd;
}

int on_uevent(sd_event_source *, int fd, uint32_t, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    char buf[8192];
    for (;;) {
        sockaddr_nl from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf - 1, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n <= 0)
            return 0;
        if (from.nl_pid != 0)
            continue;  // only the kernel speaks here
        buf[n] = '\0';
        bool add = false, video = false;
        const char *node = "";
        // "action@devpath", then NUL-separated KEY=value pairs.
        for (const char *p = buf; p < buf + n; p += std::strlen(p) + 1) {
            if (std::strcmp(p, "ACTION=add") == 0)
                add = true;
            else if (std::strcmp(p, "SUBSYSTEM=video4linux") == 0)
                video = true;
            else if (std::strncmp(p, "DEVNAME=", 8) == 0)
                node = p + 8;
        }
        if (add && video) {
            std::string reply = reload(l);
            QV_LOG(stderr, "camera node /dev/%s appeared: %s\n", node, reply.c_str());
        }
    }
}

bool bound_to(int fd, const char *path)
{
    sockaddr_un addr{};
    socklen_t len = sizeof addr;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0 && addr.sun_family == AF_UNIX &&
           std::strncmp(addr.sun_path, path, sizeof addr.sun_path) == 0;
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

std::string pin_of(const char *name)
{
    // Programs and maps alike are pinned under their names without "qv_".
    if (std::strncmp(name, "qv_", 3) == 0)
        name += 3;
    return std::string(QV_PIN_DIR "/") + name;
}

// Loads the programs over the pinned maps of an earlier loader (taken_over),
// or pins new ones; a pinned set that no longer fits is replaced.
int load_pinned(Loader *l, bool *taken_over)
{
    if (mkdir(QV_PIN_DIR, 0700) < 0 && errno != EEXIST)
        return -errno;
    for (int attempt = 0; attempt < 2; ++attempt) {
        l->skel.reset(quorvane_bpf__open());
        if (!l->skel)
            return -errno;
        *taken_over = access(pin_of("qv_generation").c_str(), F_OK) == 0;
        bpf_map *m;
        bpf_object__for_each_map(m, l->skel->obj)
        {
            if (std::strchr(bpf_map__name(m), '.') == nullptr)  // not libbpf's own (.rodata)
                bpf_map__set_pin_path(m, pin_of(bpf_map__name(m)).c_str());
        }
        int r = quorvane_bpf__load(l->skel.get());
        if (r == 0)
            return 0;
        if (attempt == 1)
            return r;
        QV_LOG(stderr, "pinned maps do not fit this program (%s); replacing them\n", std::strerror(-r));
        bpf_object__for_each_map(m, l->skel->obj) unlink(pin_of(bpf_map__name(m)).c_str());
    }
    return -EINVAL;
}

// Pins an earlier build left that this one no longer has (a program
// renamed or dropped): each would keep enforcing on its own, and outlive
// a stop.
void unpin_stale(Loader *l)
{
    std::set<std::string> ours;
    const bpf_object_skeleton *s = l->skel->skeleton;
    for (int i = 0; i < s->prog_cnt; ++i)
        ours.insert(pin_of(s->progs[i].name));
    bpf_map *m;
    bpf_object__for_each_map(m, l->skel->obj) ours.insert(pin_of(bpf_map__name(m)));
    DirRef d(opendir(QV_PIN_DIR));
    for (dirent *e; d && (e = readdir(d.get()));) {
        const std::string pin = std::string(QV_PIN_DIR "/") + e->d_name;
        if (e->d_name[0] != '.' && !ours.count(pin) && unlink(pin.c_str()) == 0)
            QV_LOG(stderr, "unpinned %s, left by an earlier build\n", pin.c_str());
    }
}

// Attaches, then hands each pin over: the earlier loader's links stay
// attached until ours are, so enforcement has no gap.
int attach_pinned(Loader *l)
{
    int r = quorvane_bpf__attach(l->skel.get());
    if (r != 0)
        return r;
    const bpf_object_skeleton *s = l->skel->skeleton;
    for (int i = 0; i < s->prog_cnt; ++i) {
        const std::string pin = pin_of(s->progs[i].name);
        unlink(pin.c_str());
        if ((r = bpf_link__pin(*s->progs[i].link, pin.c_str())) != 0)
            return r;
    }
    unpin_stale(l);
    return 0;
}

void unpin_all(Loader *l)
{
    const bpf_object_skeleton *s = l->skel->skeleton;
    for (int i = 0; i < s->prog_cnt; ++i)
        unlink(pin_of(s->progs[i].name).c_str());
    bpf_map *m;
    bpf_object__for_each_map(m, l->skel->obj) unlink(pin_of(bpf_map__name(m)).c_str());
    rmdir(QV_PIN_DIR);
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

// The kernel cannot enforce: says why and what to do, still builds the
// policy maps (so a bad store shows here too), answers every waiting
// reload request with EOPNOTSUPP, and exits with the distinct status.
int refuse(Loader *l, const std::string &why)
{
    std::string list = lsm_list();
    const std::string example = list.empty() ? "the current list followed by ,bpf" : "lsm=" + list + ",bpf";
    QV_LOG(stderr,
           "enforcement is off: %s. The kernel must run the bpf LSM: add bpf to the lsm= kernel parameter "
           "(active LSMs: %s; use %s) and reboot. Profiles stay stored.\n",
           why.c_str(), list.empty() ? "unknown, " QV_LSM_LIST " unreadable" : list.c_str(), example.c_str());
    l->reason = why + "; add bpf to the lsm= kernel parameter";
    l->skel.reset(quorvane_bpf__open());
    if (l->skel) {
        bpf_program *prog;
        bpf_object__for_each_program(prog, l->skel->obj) bpf_program__set_autoload(prog, false);
        if (quorvane_bpf__load(l->skel.get()) == 0) {
            std::vector<QvProfile> profiles = stored_profiles();
            Policy policy = build_policy(profiles);
            report_policy(l, policy);
            l->profiles = profiles.size();
            int r = apply_policy(l->skel.get(), policy);
            QV_LOG(stderr, "policy maps built (%zu entries, %s), not attached\n", policy.entries.size(),
                   r == 0 ? "filled" : std::strerror(-r));
            l->last = std::move(policy);
        }
        l->skel.reset();
    }
    write_status(*l);
    answer_waiting(l, std::string(QV_REPLY_ERROR " ") + std::to_string(EOPNOTSUPP) + " " + why);
    return QV_LOADER_EXIT_UNSUPPORTED;
}

int serve(Loader *l)
{
    sd_event *raw = nullptr;
    int r = sd_event_default(&raw);
    if (r < 0)
        return r;
    EventRef event(raw);
    sd_event_source *s = nullptr;
    Fd uevents;  // outlives the sources that watch it
    std::vector<SourceRef> sources;
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        if ((r = sd_event_add_signal(event.get(), &s, sig, on_signal, l)) < 0)
            return r;
        sources.emplace_back(s);
    }
    if ((r = sd_event_add_io(event.get(), &s, l->control.fd, EPOLLIN, on_control, l)) < 0)
        return r;
    sources.emplace_back(s);
    if ((r = sd_event_add_io(event.get(), &s, l->stream.listen_fd, EPOLLIN, on_stream, l)) < 0)
        return r;
    sources.emplace_back(s);
    if ((r = sd_event_add_io(event.get(), &s, ring_buffer__epoll_fd(l->ring.get()), EPOLLIN, on_ring, l)) < 0)
        return r;
    sources.emplace_back(s);

    uevents.fd = open_uevents();
    if (uevents.fd >= 0 && (r = sd_event_add_io(event.get(), &s, uevents.fd, EPOLLIN, on_uevent, l)) >= 0)
        sources.emplace_back(s);
    else
        QV_LOG(stderr, "no device events (%s): camera nodes that appear later are covered at the next reload\n",
               std::strerror(uevents.fd < 0 ? -uevents.fd : -r));
    (void)sd_notify(0, "READY=1");
    return sd_event_loop(event.get());
}

int set_cloexec(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, on ? flags | FD_CLOEXEC : flags & ~FD_CLOEXEC) < 0)
        return -errno;
    return 0;
}

// Replaces this image with the installed binary in the same process. The
// pins stay, so the kernel goes on enforcing; the listening sockets are
// handed over as systemd hands them (LISTEN_FDS), so no request is lost; the
// new image takes the pins over as a restarted loader does and sends READY=1
// once it enforces. Returns only when the binary cannot be executed: this
// image then goes on as before.
int reexec(Loader *l)
{
    if (l->self.empty())
        return -ENOENT;
    QV_LOG(stderr, "re-executing %s; pins and sockets kept\n", l->self.c_str());
    (void)sd_notify(0, "RELOADING=1\nSTATUS=Re-executing; enforcement stays in force");
    const int fds[] = {l->control.fd, l->stream.listen_fd};
    // The protocol passes them as fds 3 and 4, where they are opened (or
    // received) at start; LISTEN_FDNAMES names them in that order.
    int r = 0;
    const char *names = nullptr;
    if (fds[0] == SD_LISTEN_FDS_START && fds[1] == SD_LISTEN_FDS_START + 1)
        names = "control:notify";
    else if (fds[1] == SD_LISTEN_FDS_START && fds[0] == SD_LISTEN_FDS_START + 1)
        names = "notify:control";
    else
        r = -EBADF;
    if (r == 0) {
        for (int fd : fds)
            if ((r = set_cloexec(fd, false)) < 0)
                break;
    }
    if (r == 0) {
        setenv("LISTEN_FDS", "2", 1);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("LISTEN_FDNAMES", names, 1);
        char *const args[] = {const_cast<char *>(l->self.c_str()), nullptr};
        execv(l->self.c_str(), args);
        r = -errno;
    }
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDNAMES");
    for (int fd : fds)
        set_cloexec(fd, true);
    (void)sd_notify(0, "READY=1\nSTATUS=Re-execution failed; the running loader goes on enforcing");
    return r;
}

}  // namespace

int main(int argc, char *argv[])
{
    (void)argc;
    (void)argv;
    libbpf_set_print(libbpf_quiet);
    // Signals wait until the event loop takes them: a stop or a reload that
    // comes during the start (a re-executed image inherits this mask and
    // anything pending) is handled once enforcement stands, never half-way.
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&mask, sig);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    Loader l;
    // The binary a reload re-executes: the one this process was started
    // from, by the path it had then (an upgrade replaces the file there).
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0)
        l.self.assign(self, static_cast<size_t>(n));
    else
        QV_LOG(stderr, "cannot resolve /proc/self/exe: %s; a reload cannot re-execute\n", std::strerror(errno));
    int r = open_sockets(&l);
    if (r < 0) {
        QV_LOG(stderr, "cannot open the loader's sockets in %s: %s\n", QV_RUN_DIR, std::strerror(-r));
        return 1;
    }

    std::string why = kernel_refusal();
    if (!why.empty()) {
        int status = refuse(&l, why);
        stream_close(&l.stream);
        return status;
    }

    bool taken_over = false;
    r = load_pinned(&l, &taken_over);
    if (r == 0) {
        // Trees already in force were looked through by an earlier loader.
        l.walk_new_trees = !taken_over;
        QV_LOG(stderr, "loaded: %s\n", reload(&l).c_str());
        r = attach_pinned(&l);
    }
    if (r != 0) {
        QV_LOG(stderr, "cannot start enforcement: %s\n", std::strerror(-r));
        l.reason = std::string("cannot start enforcement: ") + std::strerror(-r);
        write_status(l);
        answer_waiting(&l, std::string(QV_REPLY_ERROR " ") + std::to_string(-r) + " " + l.reason);
        stream_close(&l.stream);
        return 1;
    }
    l.active = true;
    l.ring.reset(ring_buffer__new(bpf_map__fd(l.skel->maps.qv_records), on_record, &l, nullptr));
    if (!l.ring) {
        QV_LOG(stderr, "cannot read block records: %s\n", std::strerror(errno));
        return 1;
    }
    write_status(l);
    QV_LOG(stderr, "enforcing; pinned under %s\n", QV_PIN_DIR);

    for (;;) {
        r = serve(&l);
        if (r < 0 || !l.reexec)
            break;
        l.reexec = false;
        r = reexec(&l);
        QV_LOG(stderr, "cannot re-execute %s: %s; this loader goes on enforcing\n",
               l.self.empty() ? "(unknown binary)" : l.self.c_str(), std::strerror(-r));
    }
    if (r < 0)
        QV_LOG(stderr, "event loop failed: %s; enforcement stays in force\n", std::strerror(-r));
    if (l.stop_on_purpose) {
        unpin_all(&l);
        l.active = false;
        l.reason = "stopped";
        write_status(l);
        QV_LOG(stderr, "stopped on purpose: enforcement ended, pins removed\n");
    }
    stream_close(&l.stream);
    return r < 0 ? 1 : 0;
}
