// SPDX-License-Identifier: GPL-2.0-or-later
// The layout shared by the kernel program and the loader: map keys, rule
// values, block events and counters. Plain C, included by both sides.
#pragma once

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#include "enforce_abi.h"  // the permission bits and the block record's layout

// Key kinds of the policy hash.
#define QV_KEY_OBJECT 1     // dev, ino: a protected file or folder
#define QV_KEY_SUPERBLOCK 2 // dev: a file system holding a protected object
#define QV_KEY_DEVICE 3     // dev = rdev: a protected character device
#define QV_KEY_EXE 4        // profile, dev = program number: a program a profile lists
#define QV_KEY_UID 5        // profile, dev = uid: a uid a profile applies to
#define QV_KEY_PROGRAM 6    // dev, ino: a listed executable; the value's profile is its program number
#define QV_KEY_PROBE 7      // dev, ino: a device manager's probe, which describes cameras
// profile = a number of the generation in force: the rule this generation
// gives that profile's objects (a generation waiting in the idle slot takes
// the kernel's hand-overs with it), or that program's entry.
#define QV_KEY_RENUMBER 8
#define QV_KEY_RENUMBER_PROGRAM 9

// Rule flags.
#define QV_RULE_ALLOW_LIST 1 // listed programs are allowed (else: denied)
#define QV_RULE_COMPLAIN 2   // report, do not refuse
#define QV_RULE_ALL_APPS 4   // "*" is listed
#define QV_RULE_ALL_UIDS 8   // applies to every user
#define QV_RULE_IN_ALLOW_LIST 16 // (program entries) an allow list names this program

// Folder levels the program climbs at most: the kernel's own bound on a
// BPF loop. A deeper object is refused to every program.
#define QV_WALK_MAX (1U << 23)
// Of those, the first levels are read directly (faster), the rest in a loop.
#define QV_WALK_DIRECT 16
// Records per user per window; the rest are dropped and counted. Users
// beyond QV_BUDGET_USERS at once take the budget of the least recent one.
#define QV_RECORDS_PER_WINDOW 64
#define QV_BUDGET_USERS 4096
#define QV_RECORD_WINDOW_NS 1000000000ULL

// A filter of protected objects: one bit per hash of (dev, ino). A clear bit
// means the object is not protected, and its lookup is skipped; a set bit
// only says "look". Bits are only ever set: by the loader for each object it
// writes, by the kernel for each protection it hands over. The bit of
// (dev, 0) stands for the file system dev: set when it holds an object.
#define QV_FILTER_BITS_LOG2 17
#define QV_FILTER_WORDS ((1U << QV_FILTER_BITS_LOG2) / 64)

struct qv_filter {
    __u64 words[QV_FILTER_WORDS];
};

static inline __u32 qv_filter_bit(__u32 dev, __u64 ino)
{
    return (__u32)(((ino ^ ((__u64)dev << 40)) * 0x9E3779B97F4A7C15ULL) >> (64 - QV_FILTER_BITS_LOG2));
}

struct qv_key {
    __u32 kind;
    __u32 profile;
    __u32 dev;  // kernel encoding: major << 20 | minor
    __u32 pad;
    __u64 ino;
};

struct qv_rule {
    __u32 profile;
    __u32 perm;
    __u32 flags;
};

// Record kinds: full paths (opens), or final names only where the kernel
// lends no path: links and moves, other changes of a tree, watches.
#define QV_EVENT_PATHS 0
#define QV_EVENT_NAMES 1
#define QV_EVENT_CHANGE 2
#define QV_EVENT_WATCH 3
// A process gave up its program's identity: it mapped code from outside
// root's keeping (object: that file), or was traced when it started its
// program (object: the tracer's command name). For the journal only.
#define QV_EVENT_DROPPED_CODE 4
#define QV_EVENT_DROPPED_TRACED 5

struct qv_event {
    __u32 uid;
    __u32 pid;
    __u32 complain;
    __u32 kind;
    char object[QV_RECORD_FIELD];
    char exe[QV_RECORD_FIELD];
};

struct qv_exe_id {
    __u32 dev;
    __u32 pad;
    __u64 ino;
};

struct qv_identity {
    struct qv_exe_id current;  // the program this process runs
    struct qv_exe_id pending;  // what an execve in progress will run
    __u32 has_current;
    __u32 has_pending;
    __u32 dropped;  // counts as no listed program until its next execve
    // The program entry found for current, kept for the generation it was
    // found in (a listed inode's number never changes within one).
    __u32 cached;         // 1 + that generation; 0: nothing kept
    __u32 program;        // 1 + the program number; 0: no listed program
    __u32 program_flags;  // the entry's flags
};

struct qv_counters {
    __u64 window_start;  // unused: the budget is per user (qv_budget)
    __u64 in_window;
    __u64 sent;
    __u64 dropped;
};

struct qv_budget {
    __u64 window_start;
    __u64 in_window;
};
