// SPDX-License-Identifier: GPL-2.0-or-later
// A client of quorvane_daemon that the durability tests copy to an accepted
// executable path (/usr/bin/nimbra-control-center) inside their sandbox.
//
//   serve               one call per line read on stdin, its result on stdout:
//                       "E <path> <allow 0|1> [app...]" or "M <path> <mode>";
//                       answers "0" or "<negative errno> <error name>"
//   load <id> <calls>   a mix of reads, pings, rare writes on paths of its
//                       own, and calls that must fail; prints its counts and
//                       exits 0 only when every call was answered as expected
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "diag.h"
#include "daemon_env.h"

namespace {

using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_flush_close_unref>>;
using MessageRef = std::unique_ptr<sd_bus_message, qv_release<sd_bus_message_unref>>;

using qvt::camera_iface;
using qvt::camera_object;
using qvt::file_iface;
using qvt::file_object;
using qvt::service_name;

struct Outcome {
    int r = 0;
    std::string error;  // the error reply's name, "" when none
};

// Builds a call with fill, sends it and waits for the answer.
template <typename Fill>
Outcome call(sd_bus *bus, const char *object, const char *iface, const char *member, Fill fill)
{
    sd_bus_message *raw = nullptr;
    Outcome o;
    o.r = sd_bus_message_new_method_call(bus, &raw, service_name, object, iface, member);
    MessageRef m(raw);
    if (o.r >= 0)
        o.r = fill(m.get());
    if (o.r < 0)
        return o;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    raw = nullptr;
    o.r = sd_bus_call(bus, m.get(), 0, &error, &raw);
    MessageRef reply(raw);
    if (error.name)
        o.error = error.name;
    sd_bus_error_free(&error);
    return o;
}

Outcome enable(sd_bus *bus, const char *path, const std::vector<std::string> &apps, bool allow)
{
    return call(bus, path ? file_object : camera_object, path ? file_iface : camera_iface, "Enable",
                [&](sd_bus_message *m) {
                    int r = path ? sd_bus_message_append(m, "s", path) : 0;
                    if (r >= 0)
                        r = sd_bus_message_open_container(m, 'a', "s");
                    for (const auto &a : apps)
                        if (r >= 0)
                            r = sd_bus_message_append(m, "s", a.c_str());
                    if (r >= 0)
                        r = sd_bus_message_close_container(m);
                    return r >= 0 ? sd_bus_message_append(m, "b", allow) : r;
                });
}

Outcome setmode(sd_bus *bus, const char *path, int mode)
{
    return call(bus, file_object, file_iface, "SetMode",
                [&](sd_bus_message *m) { return sd_bus_message_append(m, "si", path, mode); });
}

int serve(sd_bus *bus)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string op, path, word;
        words >> op >> path >> word;
        Outcome o;
        if (op == "E") {
            std::vector<std::string> apps;
            for (std::string a; words >> a;)
                apps.push_back(a);
            o = enable(bus, path.c_str(), apps, word == "1");
        } else {
            o = setmode(bus, path.c_str(), std::atoi(word.c_str()));
        }
        std::cout << (o.r < 0 ? std::to_string(o.r) + " " + o.error : "0") << std::endl;
    }
    return 0;
}

int load(sd_bus *bus, int id, int calls)
{
    const std::string own = "/home/load" + std::to_string(id) + "/p";
    const auto no_args = [](sd_bus_message *) { return 0; };
    const auto shared_path = [](sd_bus_message *m) { return sd_bus_message_append(m, "s", "/home/shared/0"); };
    long replies = 0, failures = 0;
    for (int i = 0; i < calls; ++i) {
        Outcome o;
        bool must_fail = false;
        switch (i % 10) {
        case 0: o = call(bus, file_object, file_iface, "GetMode", shared_path); break;
        case 1: o = call(bus, file_object, file_iface, "GetApps", shared_path); break;
        case 2:
            // List reads every profile file: a small share of the mix.
            if (i % 50 == 2) {
                o = call(bus, file_object, file_iface, "List", no_args);
                break;
            }
            [[fallthrough]];
        case 3: o = call(bus, file_object, "org.freedesktop.DBus.Peer", "Ping", no_args); break;
        case 4: o = call(bus, camera_object, camera_iface, "GetMode", no_args); break;
        case 5: o = call(bus, camera_object, camera_iface, "GetApps", no_args); break;
        case 6:
            // A path argument missing: the daemon answers with an error.
            o = call(bus, file_object, file_iface, "GetMode", no_args);
            must_fail = true;
            break;
        case 7:
            if (i % 100 == 7) {
                std::string path = own + std::to_string(i / 100 % 5);
                o = (i / 100) % 3 == 2 ? setmode(bus, path.c_str(), (i / 300) % 2)
                                       : enable(bus, path.c_str(), {"/usr/bin/a" + std::to_string(i)}, i % 2);
                break;
            }
            [[fallthrough]];
        default:
            o = call(bus, file_object, file_iface, "GetMode", shared_path);
            break;
        }
        // SetMode 1 on a path with no profile is a silent no-op, never an error.
        bool failed = o.r < 0;
        replies += failed == must_fail;
        if (failed != must_fail) {
            ++failures;
            std::fprintf(stderr, "call %d: r = %d %s\n", i, o.r, o.error.c_str());
        }
    }
    std::printf("calls %d replies %ld failures %ld\n", calls, replies, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char *argv[])
{
    sd_bus *raw = nullptr;
    int r = sd_bus_open_system(&raw);
    BusRef bus(raw);
    if (r < 0) {
        QV_LOG(stderr, "cannot connect to the system bus: %s\n", std::strerror(-r));
        return 2;
    }
    if (argc > 1 && std::strcmp(argv[1], "serve") == 0)
        return serve(bus.get());
    if (argc > 3 && std::strcmp(argv[1], "load") == 0)
        return load(bus.get(), std::atoi(argv[2]), std::atoi(argv[3]));
    QV_LOG(stderr, "usage: serve | load <id> <calls>\n");
    return 2;
}
