// SPDX-License-Identifier: GPL-2.0-or-later
// The store's side of the reload handshake with the enforcement loader.
#include "enforce.h"
#include "holders.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

int64_t now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A SOCK_SEQPACKET connection to the loader's socket at path, or -errno.
int connect_seqpacket(const char *path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path)
        return -ENAMETOOLONG;
    std::strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        int r = -errno;
        close(fd);
        return r;
    }
    return fd;
}

}  // namespace

int qv_parse_reload_reply(const std::string &reply)
{
    const std::string ok = QV_REPLY_OK;
    const std::string err = QV_REPLY_ERROR " ";
    if (reply == ok || reply.compare(0, ok.size() + 1, ok + " ") == 0)
        return 0;
    if (reply.compare(0, err.size(), err) != 0)
        return -EIO;
    const char *digits = reply.c_str() + err.size();
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(digits, &end, 10);
    if (errno != 0 || end == digits || n <= 0 || n > 4095 || (*end != ' ' && *end != '\0'))
        return -EIO;
    return -static_cast<int>(n);
}

int qv_connect_record_stream(const char *socket_path)
{
    return connect_seqpacket(socket_path);
}

int qv_reload_enforcement(const char *socket_path, int timeout_ms)
{
    QvFd s;
    s.fd = connect_seqpacket(socket_path);
    // No socket at all: no enforcement is installed, the store is all.
    if (s.fd == -ENOENT)
        return 0;
    if (s.fd < 0)
        return s.fd;
    const char request[] = QV_REQ_RELOAD;
    if (send(s.fd, request, sizeof request - 1, MSG_NOSIGNAL) < 0)
        return -errno;

    const int64_t deadline = now_ms() + timeout_ms;
    char reply[512];
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0)
            return -ETIMEDOUT;
        pollfd p{s.fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            return -ETIMEDOUT;
        ssize_t got = recv(s.fd, reply, sizeof reply, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -errno;
        if (got == 0)
            return -EIO;  // the loader hung up without an answer
        return qv_parse_reload_reply(std::string(reply, static_cast<size_t>(got)));
    }
}
