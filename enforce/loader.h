// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_loader's one record, shared by its files, and what each file
// offers the others.
#pragma once

#include <bpf/libbpf.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "held.h"
#include "holders.h"
#include "path_watch.h"
#include "policy.h"
#include "quorvane.skel.h"
#include "record_stream.h"

// The skeleton's own functions are static: one of ours destroys it, so that
// Loader is the same type in every file (pins.cpp).
void skel_destroy(quorvane_bpf *skel);
using SkelRef = std::unique_ptr<quorvane_bpf, qv_release<skel_destroy>>;
using RingRef = std::unique_ptr<ring_buffer, qv_release<ring_buffer__free>>;

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

// control.cpp: the sockets, reload requests, status.json and the state file.
int open_sockets(Loader *l);
void load_state(Loader *l);
void save_state(Loader *l, bool for_exec = false);
void report_once(Loader *l, const std::string &line);
void write_status(const Loader &l);
void answer_waiting(Loader *l, const std::string &reply);
int on_control(sd_event_source *, int, uint32_t, void *userdata);
int on_stream(sd_event_source *, int, uint32_t, void *userdata);

// reload.cpp: store to policy to the idle slot; re-resolution after changes.
std::vector<QvProfile> stored_profiles();
void report_policy(Loader *l, const Policy &policy);
int apply_policy(Loader *l, const Policy &policy);
std::string reload(Loader *l);
int on_settled(sd_event_source *, uint64_t now, void *userdata);
int on_watch(sd_event_source *, int, uint32_t, void *userdata);
int on_mounts(sd_event_source *, int fd, uint32_t, void *userdata);

// devices.cpp: camera nodes that appear.
int open_uevents();
int on_uevent(sd_event_source *, int fd, uint32_t, void *userdata);

// pins.cpp: loading, pinning, taking pins over, unpinning.
int load_pinned(Loader *l, bool *taken_over);
int attach_pinned(Loader *l);
void unpin_all(Loader *l);

// reexec.cpp: re-execution with the pins and sockets kept.
int reexec(Loader *l);
