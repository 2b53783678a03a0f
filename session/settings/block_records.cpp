// SPDX-License-Identifier: GPL-2.0-or-later
#include "block_records.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "enforce.h"

namespace {

std::string field(const char *start)
{
    return std::string(start, strnlen(start, QV_RECORD_FIELD - 1));
}

}  // namespace

int records_connect()
{
    int fd = qv_connect_record_stream();
    if (fd >= 0 && fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
        int err = -errno;
        close(fd);
        return err;
    }
    return fd;
}

int records_read(int fd, BlockRecord *out)
{
    char record[QV_RECORD_SIZE];
    for (;;) {
        ssize_t n = recv(fd, record, sizeof record, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN ? 0 : -errno;
        if (n == 0)
            return -EPIPE;
        if (n != static_cast<ssize_t>(QV_RECORD_SIZE))
            continue;  // not a whole record: never shown
        *out = {std::time(nullptr), field(record), field(record + QV_RECORD_FIELD)};
        return 1;
    }
}
