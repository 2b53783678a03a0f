// SPDX-License-Identifier: GPL-2.0-or-later
// bus_load: an untrusted client of the service on the system bus.
//
//   bus_load flood MEMBER IN_FLIGHT STOP_FILE
//     keeps IN_FLIGHT calls of MEMBER (no arguments) pending, each answer
//     sending the next, prints "in flight" once they are all sent, and stops
//     at the first answer after STOP_FILE exists: "calls N limited L failed F"
//     (limited: refused with LimitsExceeded; failed: any other error).
//   bus_load probe PATH COUNT
//     COUNT GetMode calls for PATH one after another, each timed:
//     "p50 X ms p99 Y ms max Z ms failed F" (milliseconds).
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "diag.h"

namespace {

using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_flush_close_unref>>;
using MessageRef = std::unique_ptr<sd_bus_message, qv_release<sd_bus_message_unref>>;

constexpr char service[] = "com.zentavo.Quorvane1";
constexpr char object[] = "/com/zentavo/Quorvane1";
constexpr char iface[] = "com.zentavo.Quorvane1";

struct Flood {
    const char *member;
    const char *stop_file;
    long calls = 0, limited = 0, failed = 0, pending = 0;
    bool stopping = false;
};

int send_one(sd_bus *bus, Flood *f);

int on_reply(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *f = static_cast<Flood *>(userdata);
    --f->pending;
    ++f->calls;
    if (sd_bus_message_is_method_error(m, SD_BUS_ERROR_LIMITS_EXCEEDED))
        ++f->limited;
    else if (sd_bus_message_is_method_error(m, nullptr))
        ++f->failed;
    if (!f->stopping && access(f->stop_file, F_OK) == 0)
        f->stopping = true;
    return f->stopping ? 0 : send_one(sd_bus_message_get_bus(m), f);
}

int send_one(sd_bus *bus, Flood *f)
{
    // Floating slots: each lives until its answer (or the connection) ends.
    int r = sd_bus_call_method_async(bus, nullptr, service, object, iface, f->member, on_reply, f, nullptr);
    if (r >= 0)
        ++f->pending;
    return r;
}

int flood(const char *member, int in_flight, const char *stop_file)
{
    sd_bus *raw = nullptr;
    if (sd_bus_open_system(&raw) < 0)
        return 2;
    BusRef bus(raw);
    Flood f{member, stop_file};
    for (int i = 0; i < in_flight; ++i)
        if (send_one(bus.get(), &f) < 0)
            return 2;
    if (sd_bus_flush(bus.get()) < 0)
        return 2;
    std::printf("in flight\n");
    std::fflush(stdout);
    while (f.pending > 0) {
        int r = sd_bus_process(bus.get(), nullptr);
        if (r < 0)
            break;
        if (r == 0 && sd_bus_wait(bus.get(), UINT64_MAX) < 0)
            break;
    }
    // Calls never answered (the connection lost) count as failed.
    std::printf("calls %ld limited %ld failed %ld\n", f.calls + f.pending, f.limited, f.failed + f.pending);
    return 0;
}

int probe(const char *path, int count)
{
    sd_bus *raw = nullptr;
    if (sd_bus_open_system(&raw) < 0)
        return 2;
    BusRef bus(raw);
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        sd_bus_message *reply = nullptr;
        int r = sd_bus_call_method(bus.get(), service, object, iface, "GetMode", nullptr, &reply, "s", path);
        MessageRef hold(reply);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        failed += r < 0;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
    std::printf("p50 %.1f ms p99 %.1f ms max %.1f ms failed %d\n", at(0.50), at(0.99), ms.back(), failed);
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && std::strcmp(argv[1], "flood") == 0)
        return flood(argv[2], std::atoi(argv[3]), argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "probe") == 0)
        return probe(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: bus_load flood MEMBER IN_FLIGHT STOP_FILE | probe PATH COUNT\n");
    return 2;
}
