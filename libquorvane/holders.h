// SPDX-License-Identifier: GPL-2.0-or-later
// The scope-bound holders every program of ours uses: one alias per library
// type, released by the library's own release function on every path, and
// the one holder of a plain file descriptor.
#pragma once

#include <dirent.h>
#include <sys/mman.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-device.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

template <auto Release>
struct qv_release {
    template <typename T>
    void operator()(T *p) const { Release(p); }
};

using DirRef = std::unique_ptr<DIR, qv_release<closedir>>;
using FileRef = std::unique_ptr<FILE, qv_release<std::fclose>>;

// libsystemd's objects. A bus connection is flushed and closed with its
// holder: each program holds only the connections it opened.
using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_flush_close_unref>>;
using MessageRef = std::unique_ptr<sd_bus_message, qv_release<sd_bus_message_unref>>;
using SlotRef = std::unique_ptr<sd_bus_slot, qv_release<sd_bus_slot_unref>>;
using CredsRef = std::unique_ptr<sd_bus_creds, qv_release<sd_bus_creds_unref>>;
using ErrorRef = std::unique_ptr<sd_bus_error, qv_release<sd_bus_error_free>>;
using EventRef = std::unique_ptr<sd_event, qv_release<sd_event_unref>>;
using SourceRef = std::unique_ptr<sd_event_source, qv_release<sd_event_source_unref>>;
using DeviceEnumeratorRef = std::unique_ptr<sd_device_enumerator, qv_release<sd_device_enumerator_unref>>;
using DeviceMonitorRef = std::unique_ptr<sd_device_monitor, qv_release<sd_device_monitor_unref>>;

// A file descriptor, closed when its holder goes (-1 or a negative errno
// holds nothing).
struct QvFd {
    int fd = -1;

    QvFd() = default;
    explicit QvFd(int f) : fd(f) {}
    QvFd(const QvFd &) = delete;
    QvFd &operator=(const QvFd &) = delete;
    ~QvFd() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// A shared mapping of len bytes, unmapped when its holder goes.
struct QvMapping {
    void *addr = MAP_FAILED;
    size_t len = 0;

    QvMapping() = default;
    QvMapping(const QvMapping &) = delete;
    QvMapping &operator=(const QvMapping &) = delete;
    ~QvMapping()
    {
        if (addr != MAP_FAILED)
            munmap(addr, len);
    }
};
