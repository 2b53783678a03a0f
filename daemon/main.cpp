// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_daemon: start-up and the bus loop. Publishes the two objects of the
// bus interface, claims the service's name, and serves calls until the bus
// fails.
#include <libintl.h>

#include <systemd/sd-bus.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "diag.h"
#include "interface.h"

int main(int argc, char *argv[])
{
    (void)argc;
    (void)argv;
    // Each diagnostic line reaches the log at once, even if the service is killed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);

    std::setlocale(LC_ALL, "");
    bindtextdomain("quorvane_daemon", "locale");
    textdomain("quorvane_daemon");

    // Released in reverse order: the bus first, then the registrations.
    SlotRef file_slot, camera_slot;
    BusRef bus;
    sd_bus *raw_bus = nullptr;
    sd_bus_slot *raw_slot = nullptr;

    int r = sd_bus_default_system(&raw_bus);
    bus.reset(raw_bus);
    if (r < 0) {
        QV_LOG(stderr, "Failed to connect to system bus: %s\n\n", std::strerror(-r));
        return r;
    }

    r = sd_bus_add_object_vtable(bus.get(), &raw_slot, quorvane_dbus_path.c_str(), quorvane_dbus_interface.c_str(),
                                 quorvane_vtable, nullptr);
    file_slot.reset(raw_slot);
    if (r < 0) {
        QV_LOG(stderr, "sd_bus_add_object_vtable quorvane_vtable failed.\n\n");
        return r;
    }

    raw_slot = nullptr;
    r = sd_bus_add_object_vtable(bus.get(), &raw_slot, camera_control_dbus_path.c_str(),
                                 camera_control_dbus_interface.c_str(), camera_control_vtable, nullptr);
    camera_slot.reset(raw_slot);
    if (r < 0) {
        QV_LOG(stdout, "sd_bus_add_object_vtable camera_control_vtable failed.\n\n");
        return r;
    }

    r = sd_bus_request_name(bus.get(), quorvane_dbus_interface.c_str(), 0);
    if (r < 0) {
        QV_LOG(stdout, "sd_bus_request_name quorvane_dbus_interface failed.\n\n");
        return r;
    }

    for (;;) {
        r = sd_bus_process(bus.get(), nullptr);
        if (r < 0) {
            QV_LOG(stdout, "Failed to process bus: \n\n");
            break;
        }
        release_spent_heap();
        if (r > 0)
            continue;
        r = sd_bus_wait(bus.get(), UINT64_MAX);
        if (r < 0) {
            QV_LOG(stdout, "Failed to wait on bus: \n");
            break;
        }
    }
    return r;
}
