// SPDX-License-Identifier: GPL-2.0-or-later
#include "record_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t root_uid = 0;

bool hung_up(int fd)
{
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    // Peers never send: anything readable is the end of the connection.
    return (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLIN)) != 0;
}

void drop_peers_if(RecordStream *s, bool (*dead)(const StreamPeer &))
{
    auto keep = std::remove_if(s->peers.begin(), s->peers.end(), [&](const StreamPeer &p) {
        if (!dead(p))
            return false;
        close(p.fd);
        return true;
    });
    s->peers.erase(keep, s->peers.end());
}

size_t peers_of(const RecordStream *s, uint32_t uid)
{
    return static_cast<size_t>(
        std::count_if(s->peers.begin(), s->peers.end(), [&](const StreamPeer &p) { return p.uid == uid; }));
}

}  // namespace

int stream_open(RecordStream *s, const char *path, int inherited_fd)
{
    if (inherited_fd >= 0) {
        int flags = fcntl(inherited_fd, F_GETFL);
        if (flags < 0 || fcntl(inherited_fd, F_SETFL, flags | O_NONBLOCK) < 0)
            return -errno;
        s->listen_fd = inherited_fd;
        return 0;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path)
        return -ENAMETOOLONG;
    std::strcpy(addr.sun_path, path);

    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    unlink(path);  // a previous run's socket
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || chmod(path, 0666) < 0 ||
        listen(fd, 64) < 0) {
        int err = -errno;
        close(fd);
        return err;
    }
    s->listen_fd = fd;
    return 0;
}

void stream_accept(RecordStream *s)
{
    drop_peers_if(s, [](const StreamPeer &p) { return hung_up(p.fd); });
    for (;;) {
        int fd = accept4(s->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;  // EAGAIN: none left; anything else: try at the next wake-up
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        if (s->peers.size() >= QV_STREAM_PEERS_MAX ||
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0 ||
            peers_of(s, static_cast<uint32_t>(cred.uid)) >= QV_STREAM_PEERS_PER_UID) {
            close(fd);
            continue;
        }
        s->peers.push_back(StreamPeer{fd, static_cast<uint32_t>(cred.uid)});
    }
}

void stream_deliver(RecordStream *s, uint32_t uid, const char *record)
{
    if (uid == root_uid)
        return;
    bool gone = false;
    for (StreamPeer &p : s->peers) {
        if (p.uid != uid)
            continue;
        ssize_t n;
        do
            n = send(p.fd, record, QV_RECORD_SIZE, MSG_DONTWAIT | MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(QV_RECORD_SIZE)) {
            ++s->sent;
        } else if (n < 0 && (errno == EAGAIN || errno == ENOBUFS)) {
            ++s->dropped;
        } else {
            ++s->dropped;
            close(p.fd);
            p.fd = -1;
            gone = true;
        }
    }
    if (gone)
        drop_peers_if(s, [](const StreamPeer &p) { return p.fd < 0; });
}

void stream_close(RecordStream *s)
{
    for (const StreamPeer &p : s->peers)
        close(p.fd);
    s->peers.clear();
    if (s->listen_fd >= 0)
        close(s->listen_fd);
    s->listen_fd = -1;
}
