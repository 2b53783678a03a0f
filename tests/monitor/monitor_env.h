// SPDX-License-Identifier: GPL-2.0-or-later
// What the camera monitor sees, made real inside the test's sandbox: a stand-in
// device tree under /sys with its device database under /run/udev, device
// events sent as the device manager sends them on a private network
// namespace, and the monitor thread in a child process of its own.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"

namespace qvt {

struct FakeDevice {
    std::string subsystem = "video4linux";
    std::string name;               // kernel name, e.g. "video2"; devname "/dev/<name>"
    unsigned major = 81, minor = 0;
    std::vector<std::string> db;    // database "E:" properties, e.g. "ID_TYPE=video"
    bool in_db = true;              // false: never seen by the device manager
    int ifindex = 0;                // > 0: written to uevent as IFINDEX
    std::string devname = "";       // "" means the kernel name
};

FakeDevice v4l(const std::string &name, unsigned minor, std::vector<std::string> db, bool in_db = true);
// Cameras at /dev/video0, /dev/video2 and /dev/video12, and devices that only
// look like one (video3, video4, video5, video7 and media0).
std::vector<FakeDevice> sample_machine();
// Only the look-alikes video3 and video4.
std::vector<FakeDevice> no_camera();

// Lays a fresh tree holding exactly devices over /sys and /run (tmpfs, inside
// the sandbox's mount namespace). Returns "" or why it cannot be done.
std::string build_device_tree(const std::vector<FakeDevice> &devices);

// "/sys/devices/virtual/<subsystem>/<name>"
std::string device_syspath(const FakeDevice &d);

// text with every diagnostic head "camera.cpp(<line>)-> " shortened to
// "-> ", so whole outputs compare exactly whatever the line numbers.
std::string strip_heads(const std::string &text);

// Moves this process into a new network namespace, where device events sent
// to the device manager's multicast group reach no one else. Returns "" or
// why not; restore_netns() goes back.
std::string enter_private_netns();
void restore_netns();

struct DeviceEvent {
    std::string action;             // "add", "remove", ...
    std::string name;               // "video2"
    std::string id_type = "video";  // "" for none
};
// Sends one event as the device manager announces it (the "libudev" header).
// 0 or a negative errno.
int send_device_event(const DeviceEvent &ev);

// Waits until a device monitor socket is listening in this network namespace.
bool wait_for_monitor(int timeout_ms = 10000);

// Waits until every event sent so far has been handled by the monitor in
// process pid: its socket holds nothing and a thread of pid is back waiting
// in epoll (the socket is read, and the handler run, on that one thread).
bool wait_for_monitor_idle(pid_t pid, int timeout_ms = 10000);

// Polls pred every few milliseconds up to timeout_ms.
bool wait_until(const std::function<bool()> &pred, int timeout_ms = 10000);

struct ThreadEnd {
    int status = -1;                // the child's exit status; -1: still running
    long result = 0;                // init_and_start_monitor's result, as a number
    std::string out, err;
};
// Runs the monitor thread's body, init_and_start_monitor(nullptr), in a forked
// child: it returns only when the monitor ends or never starts, so a monitor
// that starts shows as a timeout rather than a hung test. fd_room >= 0 leaves
// the child only that many new file descriptors.
ThreadEnd run_monitor_thread_body(Sandbox *sb, int fd_room = -1, int timeout_ms = 10000);

struct MonitorChild {
    pid_t pid = -1;
    int stop_fd = -1;               // closing it tells the child to finish
    std::string out_path, err_path;
};
// Forks a child that calls init_device_camera_monitor() and, with fanout, runs
// update_all_device_video_profile on a second thread until told to stop; it
// prints "fanning" once that thread has finished its first fan-out. The child
// is recorded in sb->children.
MonitorChild start_monitor_child(Sandbox *sb, bool fanout);
// Closes stop_fd and waits for the child's exit status (-1 on timeout; the
// child is then left to leave_sandbox).
int stop_monitor_child(Sandbox *sb, MonitorChild *child, int timeout_ms = 10000);

}  // namespace qvt
