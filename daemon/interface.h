// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_daemon's bus interface: the names that publish the service, the
// method tables of its two objects, and the holders of sd-bus objects that
// the daemon's files share.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

#include "holders.h"


// The file-protection object's path and interface; the interface is also the
// well-known bus name the service claims.
extern const std::string quorvane_dbus_path;
extern const std::string quorvane_dbus_interface;
// The camera-control object's path and interface.
extern const std::string camera_control_dbus_path;
extern const std::string camera_control_dbus_interface;

// The method tables published at those paths under those interfaces.
extern const sd_bus_vtable quorvane_vtable[];
extern const sd_bus_vtable camera_control_vtable[];

// After a call that took more than a little heap has been answered, hands the
// freed memory back to the system; does nothing otherwise.
void release_spent_heap();
