// SPDX-License-Identifier: GPL-2.0-or-later
// Stand-in for the enforcement loader's record stream: listens on the
// record socket with the real stream code and delivers the records it is
// told to. Commands arrive one a line on the FIFO argv[1]:
//   deliver <uid> <object path> <executable>
//   exit                      (closes every stream and removes the socket)
// It prints "peer <uid>" for each session that connects and, after each
// delivery, "sent <n> dropped <n>", so a test waits for lines, not time.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include "record_stream.h"

namespace {

void deliver(RecordStream *s, uint32_t uid, const std::string &path, const std::string &exe)
{
    char record[QV_RECORD_SIZE] = {};
    path.copy(record, QV_RECORD_FIELD - 1);
    exe.copy(record + QV_RECORD_FIELD, QV_RECORD_FIELD - 1);
    stream_deliver(s, uid, record);
    std::printf("sent %llu dropped %llu\n", static_cast<unsigned long long>(s->sent),
                static_cast<unsigned long long>(s->dropped));
}

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 2) {
        std::fprintf(stderr, "usage: stand_in_loader <command fifo>\n");
        return 2;
    }
    // Read and write: the FIFO never ends while the test writes line by line.
    int commands = open(argv[1], O_RDWR | O_CLOEXEC);
    RecordStream s;
    int r = commands < 0 ? -1 : stream_open(&s, QV_NOTIFY_SOCKET, -1);
    if (r < 0) {
        std::fprintf(stderr, "cannot listen on %s or read %s\n", QV_NOTIFY_SOCKET, argv[1]);
        return 1;
    }
    std::printf("listening\n");
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{s.listen_fd, POLLIN, 0}, {commands, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[0].revents) {
            size_t known = s.peers.size();
            stream_accept(&s);
            for (size_t i = std::min(known, s.peers.size()); i < s.peers.size(); ++i)
                std::printf("peer %u\n", s.peers[i].uid);
        }
        if (!fds[1].revents)
            continue;
        char buf[4096];
        ssize_t n = read(commands, buf, sizeof buf);
        if (n <= 0)
            continue;
        pending.append(buf, n);
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::istringstream line(pending.substr(0, eol));
            pending.erase(0, eol + 1);
            std::string verb, path, exe;
            uint32_t uid = 0;
            line >> verb;
            if (verb == "exit") {
                stream_close(&s);
                unlink(QV_NOTIFY_SOCKET);
                std::printf("closed\n");
                return 0;
            }
            if (verb == "deliver" && line >> uid >> path >> exe)
                deliver(&s, uid, path, exe);
        }
    }
}
