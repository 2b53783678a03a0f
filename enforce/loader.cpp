// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_loader: owns the BPF LSM program that puts the stored profiles into
// force. Started by its socket unit on the first reload request; fills the
// idle policy slot from the store and flips the generation before it answers;
// pins everything under QV_PIN_DIR so enforcement outlives it; unpins and ends
// enforcement only when it is stopped on purpose (SIGTERM). SIGHUP (a reload
// of its unit, as after a package upgrade) re-executes the installed binary
// in the same process, keeping the pins and the listening sockets.
// This file: the start-up, the main loop, block records and the stop;
// loader.h names the files that do the rest.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "holders.h"
#include "diag.h"
#include "enforce.h"
#include "loader.h"

namespace {

#define QV_LSM_LIST "/sys/kernel/security/lsm"


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

// A record is the kernel event's two fields, each cut at its first NUL.
static_assert(sizeof(qv_event::object) == QV_RECORD_FIELD && sizeof(qv_event::exe) == QV_RECORD_FIELD,
              "the kernel's event carries the block record's fields");

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

int on_signal(sd_event_source *s, const struct signalfd_siginfo *si, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    if (si->ssi_signo == SIGHUP)
        l->reexec = true;
    else
        l->stop_on_purpose = true;
    return sd_event_exit(sd_event_source_get_event(s), 0);
}

// The kernel cannot enforce: says why and what to do, still builds the
// policy maps (so a bad store shows here too), answers every waiting
// reload request with EOPNOTSUPP, and exits with the distinct status.
int refuse(Loader *l, const std::string &why)
{
    std::string list = lsm_list();
    if (("," + list + ",").find(",bpf,") != std::string::npos) {
        // The LSM runs and refused this program: a kernel parameter cannot help.
        QV_LOG(stderr, "enforcement is off: %s (active LSMs: %s). Profiles stay stored.\n", why.c_str(),
               list.c_str());
        l->reason = why;
    } else {
        const std::string example = list.empty() ? "the current list followed by ,bpf" : "lsm=" + list + ",bpf";
        QV_LOG(stderr,
               "enforcement is off: %s. The kernel must run the bpf LSM: add bpf to the lsm= kernel parameter "
               "(active LSMs: %s; use %s) and reboot. Profiles stay stored.\n",
               why.c_str(), list.empty() ? "unknown, " QV_LSM_LIST " unreadable" : list.c_str(), example.c_str());
        l->reason = why + "; add bpf to the lsm= kernel parameter";
    }
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
