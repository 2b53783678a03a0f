// SPDX-License-Identifier: GPL-2.0-or-later
// The per-user record stream: block records handed to the desktop sessions
// of the user whose process was blocked, over QV_NOTIFY_SOCKET.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "enforce.h"

struct StreamPeer {
    int fd;
    uint32_t uid;  // from the peer's credentials, never from what it says
};

struct RecordStream {
    int listen_fd = -1;
    std::vector<StreamPeer> peers;
    uint64_t sent = 0;     // records handed to a peer
    uint64_t dropped = 0;  // records a full or slow peer missed
};

// More sessions than this at once are refused (closed at once): all users
// together, and one user alone, so one user's connections never take the
// slots another user's sessions need.
constexpr size_t QV_STREAM_PEERS_MAX = 256;
constexpr size_t QV_STREAM_PEERS_PER_UID = 8;

// Listens on path (SOCK_SEQPACKET, mode 0666: every user may read their own
// records), or adopts inherited_fd >= 0 handed over by systemd. 0 or -errno.
int stream_open(RecordStream *s, const char *path, int inherited_fd);

// Accepts every pending peer (call when listen_fd is readable) and forgets
// peers that hung up.
void stream_accept(RecordStream *s);

// Hands one QV_RECORD_SIZE-byte record to every peer of uid. Records of
// uid 0 go to no one. Never blocks: a peer whose queue is full misses the
// record (counted in dropped); a peer that hung up is closed.
void stream_deliver(RecordStream *s, uint32_t uid, const char *record);

// Closes the peers and the listening socket (the path is left to its owner).
void stream_close(RecordStream *s);
