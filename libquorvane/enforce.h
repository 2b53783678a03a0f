// SPDX-License-Identifier: GPL-2.0-or-later
// The meeting point of the store and the enforcement loader (quorvane_loader):
// the meaning of a rule's uids (its permission bits: enforce_abi.h), the loader's sockets and
// its status file. Both sides include this header; neither includes the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "enforce_abi.h"  // the permission bits and the block record's layout

// A rule's uid entry that stands for every user.
constexpr uint32_t QV_UID_ALL = 4294967295u;

// The loader's run-time folder (created by the loader or its socket unit).
#define QV_RUN_DIR "/run/quorvane"
// Control socket, SOCK_SEQPACKET, root only (mode 0600, and the loader checks
// the peer's uid). One request packet, one reply packet.
#define QV_CONTROL_SOCKET QV_RUN_DIR "/control"
// Record stream, SOCK_SEQPACKET, open to every user: the loader sends each
// connected peer the 1024-byte block records of that peer's uid only, one
// record per packet. A slow reader's records are dropped and counted.
#define QV_NOTIFY_SOCKET QV_RUN_DIR "/notify"
// The loader's status, JSON, readable by everyone, replaced atomically:
//   {"active": true, "reason": "", "profiles": 3, "enforced": 2,
//    "not_enforced": [{"path": "/usr", "why": "..."}],
//    "absent": ["/dev/video4"],
//    "records": {"sent": 0, "dropped": 0, "kernel_dropped": 0},
//    "pid": 812, "started": 1234, "boot_id": "..."}
// "reason" says why enforcement is not active (empty when it is); "absent"
// lists camera nodes that are not there (no failure: covered when they
// appear; not counted in "profiles"); "dropped" counts records a slow
// session missed, "kernel_dropped" those the kernel's rate limit held back.
// "pid", "started" (its start time in clock ticks after boot, as
// /proc/PID/stat says) and "boot_id" name the loader that wrote it, so a
// reader can tell a file whose writer is gone.
#define QV_STATUS_FILE QV_RUN_DIR "/status.json"
// What the loader remembers across its re-executions and restarts within
// one boot: the journal lines already written. Root's only.
#define QV_LOADER_STATE_FILE QV_RUN_DIR "/loader-state.json"
// Where the loader pins its programs, links and maps.
#define QV_PIN_DIR "/sys/fs/bpf/quorvane"

// Control requests (the whole packet, no terminator).
#define QV_REQ_RELOAD "reload"
// Replies to "reload": "ok <enforced> <not-enforced>" once every stored
// profile that may be enforced is in force; "error <errno> <text>" otherwise
// (errno positive, e.g. "error 95 kernel cannot run BPF LSM programs").
#define QV_REPLY_OK "ok"
#define QV_REPLY_ERROR "error"

// quorvane_loader's exit status when the kernel cannot run its program (bpf
// is not an active LSM, or the kernel refused the program): restarting it
// cannot help until the machine boots with bpf in its lsm= list.
constexpr int QV_LOADER_EXIT_UNSUPPORTED = 78;

// How long qv_update waits for the loader's acknowledgement.
constexpr int QV_RELOAD_TIMEOUT_MS = 20000;

// Asks the loader at socket_path to reload every stored profile and waits for
// its acknowledgement. 0 when it acknowledged, or when no loader socket exists
// at all (no enforcement installed: store only). Otherwise a negative errno:
// the loader's own, -ETIMEDOUT, -ECONNREFUSED, -EIO for a garbled reply.
int qv_reload_enforcement(const char *socket_path = QV_CONTROL_SOCKET,
                          int timeout_ms = QV_RELOAD_TIMEOUT_MS);

// Connects to the loader's record stream at socket_path: the connected
// socket (close-on-exec), or a negative errno (-ENOENT: no loader installed;
// -ECONNREFUSED: the loader is not running).
int qv_connect_record_stream(const char *socket_path = QV_NOTIFY_SOCKET);

// Parses a reply to "reload": 0 for "ok ...", the negative errno of
// "error <errno> ...", -EIO for anything else.
int qv_parse_reload_reply(const std::string &reply);
