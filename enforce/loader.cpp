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
#include <sys/resource.h>
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
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "diag.h"
#include "enforce.h"
#include "held.h"
#include "path_watch.h"
#include "policy.h"
#include "policy_maps.h"
#include "quorvane.h"
#include "quorvane.skel.h"
#include "record_stream.h"

namespace {

#define QV_LSM_LIST "/sys/kernel/security/lsm"
#define QV_LINK_PIN QV_PIN_DIR "/file_open"

using SkelRef = std::unique_ptr<quorvane_bpf, qv_release<quorvane_bpf__destroy>>;
using RingRef = std::unique_ptr<ring_buffer, qv_release<ring_buffer__free>>;
using DirRef = std::unique_ptr<DIR, qv_release<closedir>>;
using EventRef = std::unique_ptr<sd_event, qv_release<sd_event_unref>>;
using SourceRef = std::unique_ptr<sd_event_source, qv_release<sd_event_source_unref>>;

struct Loader {
    SkelRef skel;
    QvFd control;
    RecordStream stream;
    RingRef ring;
    bool active = false;
    bool stop_on_purpose = false;
    bool reexec = false;           // SIGHUP: re-execute the installed binary
    std::string self;              // that binary, resolved at start
    std::string reason;            // why enforcement is not active
    Policy last;                   // the generation in force
    size_t profiles = 0;
    std::set<std::string> reported;  // journal lines already written once this boot
    bool state_dirty = false;        // reported has lines QV_LOADER_STATE_FILE lacks
    std::set<std::string> known;     // paths of the profiles in force
    bool walk_new_trees = true;      // false until the first reload after a takeover
    Held held;                       // what was protected before (held.h)
    std::vector<Moved> moved;        // objects kept that their paths no longer lead to
    PathWatch watch;                 // the ways to protected paths and listed programs
    sd_event_source *settle = nullptr;  // the timer of a re-resolution after a change
    uint64_t last_settled = 0;          // when the last one ran (CLOCK_MONOTONIC, us)
    QvFd active_map;                      // the policy map of the generation in force
    bool written_known = false;         // false after a takeover: nothing is carried
};

// A change on a watched way, or of the mounts, is resolved again once
// things settle: 100 ms after the first event, at most every 500 ms, so a
// path that appears is in force within a second and a storm of changes (a
// package upgrade) costs a few reloads.
constexpr uint64_t settle_usec = 100000;
constexpr uint64_t settle_gap_usec = 500000;

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

// for_exec: this process is about to execute a new image, which takes the
// listed programs' descriptors over.
void save_state(Loader *l, bool for_exec = false)
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

// Profiles left out and other surprises, once each in the journal.
void report_policy(Loader *l, const Policy &policy)
{
    for (const auto &n : policy.notes)
        report_once(l, n);
    for (const auto &n : policy.not_enforced)
        report_once(l, "not enforced: " + n.path + ": " + n.why);
    for (const auto &w : policy.weak_programs)
        report_once(l, "weak program: " + w.path + ": " + w.why + "; any program of that user can become it");
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

// Entries of the generation in force that protect an object, or number a
// program, and that the next one lacks are carried into it: the kernel hands
// protection and program numbers to files that replace others on its own,
// and a reload that resolved its paths before such a replacement must not
// undo it. All of them, not only those the kernel added: a file system that
// reuses inode numbers gives a replacing file the number of an object this
// loader once wrote, whose entry the kernel dropped and added again. A
// protection's profile is found again by path, a program's number by the
// program's path; entries of profiles that are gone are not carried, and
// the kernel drops an entry when its inode is freed.
void carry_added(Loader *l, const Policy &policy, int into, const QvMapping &filter,
                 std::vector<qv_key> *written)
{
    if (l->active_map.fd < 0 || !l->written_known)
        return;
    std::map<uint32_t, std::string> path_of, program_of;
    for (const auto &[path, rule] : l->last.rules)
        path_of[rule.profile] = path;
    for (const auto &[app, program] : l->last.program_numbers)
        program_of[program.profile] = app;
    for (const auto &e : policy_map_added(l->active_map.fd, {})) {
        if (e.key.kind != QV_KEY_OBJECT && e.key.kind != QV_KEY_SUPERBLOCK && e.key.kind != QV_KEY_PROGRAM)
            continue;
        const bool program = e.key.kind == QV_KEY_PROGRAM;
        const auto &was = program ? program_of : path_of;
        const auto &now = program ? policy.program_numbers : policy.rules;
        auto name = was.find(e.rule.profile);
        auto value = name == was.end() ? now.end() : now.find(name->second);
        if (value == now.end())
            continue;
        qv_key key = e.key;
        if (key.kind == QV_KEY_EXE || key.kind == QV_KEY_UID)  // keys that name their profile
            key.profile = value->second.profile;
        if (std::binary_search(written->begin(), written->end(), key, policy_key_less))
            continue;
        object_filter_add(filter, key);
        if (bpf_map_update_elem(into, &key, &value->second, BPF_NOEXIST) == 0)
            written->insert(std::upper_bound(written->begin(), written->end(), key, policy_key_less), key);
    }
}

// Puts policy into the idle slot as a fresh map, then flips the generation:
// the program sees either the old generation whole or the new one whole.
int apply_policy(Loader *l, const Policy &policy)
{
    const int slots = bpf_map__fd(l->skel->maps.qv_slots);
    const int generation = bpf_map__fd(l->skel->maps.qv_generation);
    uint32_t zero = 0, gen = 0;
    if (bpf_map_lookup_elem(generation, &zero, &gen) < 0)
        return -errno;
    QvMapping filter;
    int r = object_filter_map(bpf_map__fd(l->skel->maps.qv_objects), &filter);
    if (r < 0)
        return r;
    for (const auto &e : policy.entries)
        object_filter_add(filter, e.key);
    QvFd inner;
    inner.fd = policy_map_create(policy);
    if (inner.fd < 0)
        return inner.fd;
    std::vector<qv_key> written;
    written.reserve(policy.entries.size());
    for (const auto &e : policy.entries)
        written.push_back(e.key);
    std::sort(written.begin(), written.end(), policy_key_less);
    carry_added(l, policy, inner.fd, filter, &written);
    uint32_t idle = (gen + 1) & 1;
    if (bpf_map_update_elem(slots, &idle, &inner.fd, BPF_ANY) < 0)
        return -errno;
    uint32_t next = gen + 1;
    if (bpf_map_update_elem(generation, &zero, &next, BPF_ANY) < 0)
        return -errno;
    // What the kernel added to the old generation while this one was made.
    carry_added(l, policy, inner.fd, filter, &written);
    std::swap(l->active_map.fd, inner.fd);
    l->written_known = true;
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

// Watches the ways to every stored profile's path and listed program.
void watch_ways(Loader *l, const std::vector<QvProfile> &profiles)
{
    if (l->watch.inotify.fd < 0)
        return;
    std::vector<std::string> paths;
    for (const auto &p : profiles) {
        if (p.file.compare(0, 5, "/dev/") != 0)  // camera nodes: device events
            paths.push_back(p.file);
        for (const auto &r : p.rules)
            for (const auto &app : r.app_paths)
                if (app != "*")
                    paths.push_back(app);
    }
    size_t unwatched = watch_paths(&l->watch, paths);
    if (unwatched > 0)
        report_once(l, "more than " + std::to_string(QV_WATCH_FOLDERS_MAX) +
                           " folders to watch: paths that appear below the others are put into force at the next reload");
}

// Reads the store, fills and flips. The reply to a reload request.
std::string reload(Loader *l)
{
    std::vector<QvProfile> profiles = stored_profiles();
    Policy policy = build_policy(profiles);
    const std::string held_before = held_to_json(l->held).dump();
    l->moved = held_apply(&l->held, &policy, &policy.notes);
    if (held_to_json(l->held).dump() != held_before)
        l->state_dirty = true;
    for (const auto &m : l->moved)
        report_once(l, "moved: " + m.path + " no longer leads to the object it protected, now at " + m.now_at +
                           "; that object stays protected");
    report_policy(l, policy);
    watch_ways(l, profiles);
    std::set<std::string> current;
    for (const auto &p : profiles)
        current.insert(p.file);
    for (const auto &n : policy.not_enforced)
        current.erase(n.path);
    for (const auto &a : policy.absent_cameras)
        current.erase(a);
    for (const auto &path : current)
        if (!l->known.count(path) && l->walk_new_trees)
            report_hard_links(l, path);
    l->known = std::move(current);
    l->walk_new_trees = true;
    int r = apply_policy(l, policy);
    if (r < 0) {
        QV_LOG(stderr, "cannot fill the policy maps: %s\n", std::strerror(-r));
        return std::string(QV_REPLY_ERROR " ") + std::to_string(-r) + " cannot fill the policy maps";
    }
    l->profiles = profiles.size();
    l->last = std::move(policy);
    write_status(*l);
    save_state(l);
    return std::string(QV_REPLY_OK " ") + std::to_string(l->last.enforced) + " " +
           std::to_string(l->last.not_enforced.size());
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

int on_record(void *ctx, void *data, size_t size)
{
    Loader *l = static_cast<Loader *>(ctx);
    if (size < sizeof(qv_event))
        return 0;
    const qv_event *e = static_cast<const qv_event *>(data);
    if (e->kind == QV_EVENT_DROPPED_CODE || e->kind == QV_EVENT_DROPPED_TRACED) {
        const std::string object(e->object, strnlen(e->object, sizeof e->object));
        const std::string exe(e->exe, strnlen(e->exe, sizeof e->exe));
        QV_LOG(stderr, "identity dropped: uid %u pid %u %s %s %s; it counts as no listed program until it starts one\n",
               e->uid, e->pid, exe.c_str(), e->kind == QV_EVENT_DROPPED_CODE ? "mapped code from" : "started traced by",
               object.c_str());
        return 0;
    }
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

bool same_entries(const std::vector<PolicyEntry> &a, const std::vector<PolicyEntry> &b)
{
    auto same = [](const PolicyEntry &x, const PolicyEntry &y) {
        return std::memcmp(&x.key, &y.key, sizeof x.key) == 0 && std::memcmp(&x.rule, &y.rule, sizeof x.rule) == 0;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

int on_settled(sd_event_source *, uint64_t now, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    l->last_settled = now;
    const std::vector<PolicyEntry> before = l->last.entries;
    std::string reply = reload(l);
    if (!same_entries(before, l->last.entries))
        QV_LOG(stderr, "a watched path changed; resolved again: %s\n", reply.c_str());
    return 0;
}

// Resolves the paths again once things settle.
void schedule_reload(Loader *l)
{
    int enabled = SD_EVENT_OFF;
    if (!l->settle || sd_event_source_get_enabled(l->settle, &enabled) < 0 || enabled != SD_EVENT_OFF)
        return;
    uint64_t now = 0;
    sd_event_now(sd_event_source_get_event(l->settle), CLOCK_MONOTONIC, &now);
    sd_event_source_set_time(l->settle, std::max(now + settle_usec, l->last_settled + settle_gap_usec));
    sd_event_source_set_enabled(l->settle, SD_EVENT_ONESHOT);
}

int on_watch(sd_event_source *, int, uint32_t, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    if (watch_changed(&l->watch))
        schedule_reload(l);
    return 0;
}

// The mount table changed (a home mounted late, a stick): what a path leads
// to may have changed with it.
int on_mounts(sd_event_source *, int fd, uint32_t, void *userdata)
{
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    while (read(fd, buf, sizeof buf) > 0) {
    }
    schedule_reload(static_cast<Loader *>(userdata));
    return 0;
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
            int r = apply_policy(l, policy);
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
    QvFd uevents, mounts;  // outlive the sources that watch them
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

    if ((r = sd_event_add_time_relative(event.get(), &s, CLOCK_MONOTONIC, settle_usec, 0, on_settled, l)) < 0 ||
        (r = sd_event_source_set_enabled(s, SD_EVENT_OFF)) < 0)
        return r;
    sources.emplace_back(s);
    l->settle = s;
    if (l->watch.inotify.fd >= 0) {
        if ((r = sd_event_add_io(event.get(), &s, l->watch.inotify.fd, EPOLLIN, on_watch, l)) < 0)
            return r;
        sources.emplace_back(s);
    }
    mounts.fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mounts.fd >= 0 && (r = sd_event_add_io(event.get(), &s, mounts.fd, EPOLLPRI, on_mounts, l)) >= 0)
        sources.emplace_back(s);
    else
        QV_LOG(stderr, "cannot watch the mount table: paths under a file system mounted later are put into "
                       "force at the next reload\n");

    uevents.fd = open_uevents();
    if (uevents.fd >= 0 && (r = sd_event_add_io(event.get(), &s, uevents.fd, EPOLLIN, on_uevent, l)) >= 0)
        sources.emplace_back(s);
    else
        QV_LOG(stderr, "no device events (%s): camera nodes that appear later are covered at the next reload\n",
               std::strerror(uevents.fd < 0 ? -uevents.fd : -r));
    (void)sd_notify(0, "READY=1");
    r = sd_event_loop(event.get());
    l->settle = nullptr;
    return r;
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
        save_state(l, true);
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
    load_state(&l);
    // Listed programs are held open (held.h): as many as the hard limit allows.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

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
    // After the sockets, which a re-execution hands over as fds 3 and 4.
    if ((r = watch_open(&l.watch)) < 0)
        QV_LOG(stderr, "cannot watch paths (%s): paths that appear later are put into force at the next reload\n",
               std::strerror(-r));

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
