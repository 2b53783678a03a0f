// SPDX-License-Identifier: GPL-2.0-or-later
#include "holders.h"
#include "camera.h"

#include <pthread.h>

#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <systemd/sd-event.h>

#include "diag.h"

const char CAMERA_DEVPATH[] = "/dev/video0";

namespace {

// The fixed node paths are "/dev/video" and one digit, '0' to '8'.
constexpr char video_node_prefix[] = "/dev/video";
constexpr char first_node_digit = '0';
constexpr char last_node_digit = '8';

std::string video_node_path(char digit)
{
    return std::string(video_node_prefix) + digit;
}


// A camera device is one the device manager typed "video" with a node below
// "/dev/video" (any number: /dev/video12 counts too).
constexpr char camera_id_type[] = "video";
constexpr size_t video_node_prefix_length = sizeof(video_node_prefix) - 1;

void *thread_result(int result)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(result));
}

// One node follows the camera profile: a copy of its one rule, or no profile
// at all when the camera has none. A failed store is printed and returned;
// callers go on with the other nodes, which are still worth protecting.
int copy_camera_profile(QvProfile &profile, const std::string &node)
{
    if (profile.rules.empty()) {
        qv_del_profile(node);
        return 0;
    }
    profile.file = node;
    int r = qv_set_profile(profile);
    if (r != 0)
        QV_LOG(stderr, "qv_set_profile failed: %s\n", node.c_str());
    return r;
}

}  // namespace

int update_all_device_video_profile(QvProfile &profile)
{
    const size_t rule_count = profile.rules.size();
    if (rule_count != 0 && rule_count != 1)
        return 0;

    // A node left unprotected fails the call, so the caller is never told
    // the camera is guarded when a node is not.
    int failed = 0;
    for (char digit = first_node_digit; digit <= last_node_digit; ++digit) {
        int r = copy_camera_profile(profile, video_node_path(digit));
        if (failed == 0)
            failed = r;
    }
    int r = qv_update();
    return r != 0 ? r : failed;
}

int delete_all_device_video_profile()
{
    for (char digit = first_node_digit; digit <= last_node_digit; ++digit)
        qv_del_profile(video_node_path(digit));
    return qv_update();
}

void init_device_camera_monitor()
{
    pthread_t thread;
    int r = pthread_create(&thread, nullptr, init_and_start_monitor, nullptr);
    if (r != 0) {
        QV_LOG(stderr, "device_protect: pthread_create failed: %s\n", std::strerror(r));
        return;
    }
    pthread_detach(thread);
}

void *init_and_start_monitor(void * /* pvoid */)
{
    int res = update_camera_profile();
    if (res != 0) {
        QV_LOG(stderr, "update_camera_profile failed.\n");
        return thread_result(res);
    }
    res = start_device_monitor();
    if (res != 0) {
        QV_LOG(stderr, "device_protect: start_device_monitor failed. res = %d\n", res);
        return thread_result(res);
    }
    return nullptr;
}

int update_camera_profile()
{
    QvProfile profile = qv_get_profile(CAMERA_DEVPATH);
    const size_t rule_count = profile.rules.size();
    if (rule_count != 0 && rule_count != 1)
        return 0;

    sd_device_enumerator *raw = nullptr;
    int res = sd_device_enumerator_new(&raw);
    if (res < 0) {
        QV_LOG(stdout, "device_protect: sd_device_enumerator_new failed. res = %d\n", res);
        return -1;
    }
    DeviceEnumeratorRef enumerator(raw);
    res = sd_device_enumerator_allow_uninitialized(enumerator.get());
    if (res < 0) {
        QV_LOG(stderr, "device_protect: sd_device_enumerator_allow_uninitialized failed. res = %d\n", res);
        return -1;
    }

    for (sd_device *device = sd_device_enumerator_get_device_first(enumerator.get()); device;
         device = sd_device_enumerator_get_device_next(enumerator.get())) {
        std::string node;
        if (!is_camera_device(device, node))
            continue;
        dump_device_info(device);
        if (node == CAMERA_DEVPATH)
            continue;
        copy_camera_profile(profile, node);
    }
    enumerator.reset();
    return qv_update();
}

int start_device_monitor()
{
    // Declared first so the monitor is released (and detached) before the loop.
    sd_event *raw_event = nullptr;
    int res = sd_event_default(&raw_event);
    if (res < 0) {
        QV_LOG(stderr, "device_protect: Failed to get default event: %d\n", res);
        return res;
    }
    EventRef event(raw_event);

    sd_device_monitor *raw_monitor = nullptr;
    res = sd_device_monitor_new(&raw_monitor);
    if (res < 0) {
        QV_LOG(stderr, "device_protect: Failed to initialize device monitor %d\n", res);
        return res;
    }
    DeviceMonitorRef monitor(raw_monitor);

    res = sd_device_monitor_attach_event(monitor.get(), event.get());
    if (res < 0) {
        QV_LOG(stderr, "device_protect: Failed to attach event to device monitor: %d\n", res);
        return res;
    }
    res = sd_device_monitor_start(monitor.get(), device_monitor_handler, nullptr);
    if (res < 0) {
        QV_LOG(stderr, "device_protect: Failed to start device monitor: %d\n", res);
        return res;
    }
    res = sd_event_loop(event.get());
    if (res < 0)
        QV_LOG(stderr, "device_protect: Event loop failed: %d\n", res);
    return res;
}

int device_monitor_handler(sd_device_monitor * /* monitor */, sd_device *device, void * /* userdata */)
{
    assert(device);
    const char *action = nullptr;
    if (sd_device_get_property_value(device, "ACTION", &action) < 0 || std::strcmp(action, "add") != 0)
        return 0;
    std::string node;
    if (!is_camera_device(device, node))
        return 0;
    if (node == CAMERA_DEVPATH)
        return 0;
    // The handler only copies: with no rules nothing is deleted here.
    QvProfile profile = qv_get_profile(CAMERA_DEVPATH);
    if (profile.rules.size() != 1)
        return 0;
    // A failed store is printed, not returned: libsystemd stops reading a
    // monitor whose handler fails, and later cameras would go unprotected.
    profile.file = node;
    int r = qv_set_profile(profile);
    if (r != 0)
        QV_LOG(stderr, "qv_set_profile failed: %s\n", node.c_str());
    return 0;
}

int is_camera_device(sd_device *device, std::string &devpath)
{
    const char *id_type = nullptr;
    if (sd_device_get_property_value(device, "ID_TYPE", &id_type) < 0 || std::strcmp(id_type, camera_id_type) != 0)
        return 0;
    const char *devname = nullptr;
    if (sd_device_get_devname(device, &devname) < 0 ||
        std::strncmp(devname, video_node_prefix, video_node_prefix_length) != 0)
        return 0;
    devpath = devname;
    return 1;
}

void dump_device_info(sd_device *device)
{
    const char *syspath = nullptr;
    if (sd_device_get_syspath(device, &syspath) >= 0)
        QV_LOG(stdout, "syspath = %s\n", syspath);
    int ifindex = 0;
    if (sd_device_get_ifindex(device, &ifindex) >= 0)
        QV_LOG(stdout, "ifindex = %d\n", ifindex);
    const char *value = nullptr;
    for (const char *key = sd_device_get_property_first(device, &value); key;
         key = sd_device_get_property_next(device, &value))
        QV_LOG(stdout, "%s: %s\n", key, value);
    QV_LOG(stdout, "\n\n");
}
