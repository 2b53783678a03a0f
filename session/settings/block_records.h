// SPDX-License-Identifier: GPL-2.0-or-later
// This user's block records, read as a desktop session reads them: from the
// enforcement loader's record stream, which hands each connection the records
// of its own uid only.
#pragma once

#include <ctime>
#include <string>

struct BlockRecord {
    std::time_t when;
    std::string object;      // what the program tried to open
    std::string executable;  // the program
};

// A non-blocking connection to the stream, or -errno (-ENOENT: no
// enforcement running).
int records_connect();

// Reads one pending record from fd: 1 and *out filled, 0 when none is
// pending, -errno (or -EPIPE at the stream's end) when the stream is gone.
int records_read(int fd, BlockRecord *out);
