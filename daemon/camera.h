// SPDX-License-Identifier: GPL-2.0-or-later
// The camera guard: the camera profile copied to the fixed video node paths,
// and a hot-plug monitor that keeps the camera nodes actually present under it.
#pragma once

#include <string>

#include <systemd/sd-device.h>

#include "quorvane.h"

// The camera's protection profile is stored under this device node path.
extern const char CAMERA_DEVPATH[];

// Copies a one-rule camera profile to /dev/video0../dev/video8 (profile.file
// ends as the last node path), deletes those nodes' profiles when it has no
// rules, and reloads once; with two or more rules it does nothing. Returns the
// reload's result, else the first failed node store's (every node is still
// tried), or 0 when nothing was done.
int update_all_device_video_profile(QvProfile &profile);

// Deletes the profiles of /dev/video0../dev/video8 and reloads once.
int delete_all_device_video_profile();

// Starts a detached thread running init_and_start_monitor; nothing is
// returned, a failed thread creation is only printed.
void init_device_camera_monitor();

// The monitor thread: reconciliation, then the device event loop. Ends with
// the failing step's non-zero result widened to a pointer, or null.
void *init_and_start_monitor(void *pvoid);

// Reconciliation: every present camera node but CAMERA_DEVPATH receives a copy
// of a one-rule camera profile (or loses its profile when the camera profile
// has no rules), then one reload. 0 with two or more rules (nothing done), -1
// when the devices cannot be enumerated, else the reload's result.
int update_camera_profile();

// Watches device events on the thread's default event loop until it fails.
// The failing step's negative result, or the loop's result.
int start_device_monitor();

// One device event: an "add" of a camera node other than CAMERA_DEVPATH gets a
// copy of a one-rule camera profile (no reload). Always 0: a failed store is
// printed, since a failing handler would stop the monitor for good.
int device_monitor_handler(sd_device_monitor *monitor, sd_device *device, void *userdata);

// 1 with devpath set to the device node name when the device is a camera
// ("ID_TYPE" exactly "video", node under "/dev/video"), else 0.
int is_camera_device(sd_device *device, std::string &devpath);

// Prints the device's system path, interface index and properties to stdout.
void dump_device_info(sd_device *device);
