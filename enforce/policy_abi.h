// SPDX-License-Identifier: GPL-2.0-or-later
// The layout shared by the kernel program and the loader: map keys, rule
// values, block events and counters. Plain C, included by both sides.
#pragma once

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

// Key kinds of the policy hash.
#define QV_KEY_OBJECT 1     // dev, ino: a protected file or folder
#define QV_KEY_SUPERBLOCK 2 // dev: a file system holding a protected object
#define QV_KEY_DEVICE 3     // dev = rdev: a protected character device
#define QV_KEY_EXE 4        // profile, dev, ino: an executable listed by a profile
#define QV_KEY_UID 5        // profile, dev = uid: a uid a profile applies to
#define QV_KEY_PROBE 6      // dev, ino: a device manager's probe, which describes cameras

// Rule flags.
#define QV_RULE_ALLOW_LIST 1 // listed programs are allowed (else: denied)
#define QV_RULE_COMPLAIN 2   // report, do not refuse
#define QV_RULE_ALL_APPS 4   // "*" is listed
#define QV_RULE_ALL_UIDS 8   // applies to every user

// Access kinds (the rule's permission bits).
#define QV_PERM_BIT_READ 1
#define QV_PERM_BIT_WRITE 2
#define QV_PERM_BIT_EXEC 4
#define QV_PERM_BIT_LIST 8

// Folder depth the program walks up from an opened file.
#define QV_WALK_MAX 64
// Records per CPU per window; the rest are dropped and counted.
#define QV_RECORDS_PER_WINDOW 64
#define QV_RECORD_WINDOW_NS 1000000000ULL

#define QV_PATH_FIELD 512

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

// Record kinds: full paths (opens), or final names only (links, renames,
// where the kernel lends no path).
#define QV_EVENT_PATHS 0
#define QV_EVENT_NAMES 1

struct qv_event {
    __u32 uid;
    __u32 pid;
    __u32 complain;
    __u32 kind;
    char object[QV_PATH_FIELD];
    char exe[QV_PATH_FIELD];
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
};

struct qv_counters {
    __u64 window_start;
    __u64 in_window;
    __u64 sent;
    __u64 dropped;
};
