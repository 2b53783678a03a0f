// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_daemon's bus interface: the names of the service and its objects,
// their method tables, and the protection methods behind them.
#include "interface.h"

#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "callers.h"
#include "camera.h"
#include "diag.h"
#include "profiles.h"
#include "quorvane.h"

const std::string quorvane_dbus_path = "/com/zentavo/Quorvane1";
const std::string quorvane_dbus_interface = "com.zentavo.Quorvane1";
const std::string camera_control_dbus_path = "/com/zentavo/Quorvane1/CameraControl";
const std::string camera_control_dbus_interface = "com.zentavo.Quorvane1.CameraControl";

// Paths below /data/home/ are the same files as below /home/.
static const char data_home_prefix[] = "/data/home/";
static const size_t data_home_strip = 5;  // "/data"

namespace {

// Reads the path argument of a file-object call; the camera object binds it.
int read_target(sd_bus_message *m, const char **filepath)
{
    int r = sd_bus_message_read_basic(m, 's', filepath);
    return r == 0 ? -EINVAL : r;
}

int enable(sd_bus_message *m, void *userdata, sd_bus_error *ret_error, const char *filepath)
{
    (void)userdata;
    (void)ret_error;
    std::string caller_path;
    int r = vet_caller(m, &caller_path);
    if (r != 0) {
        QV_LOG(stderr, "check_caller failed.\n");
        return r;
    }
    if (!filepath) {
        r = read_target(m, &filepath);
        if (r < 0) {
            QV_LOG(stderr, "sd_bus_message_read failed.\n");
            return r;
        }
    }

    std::string real_filepath = filepath;
    if (real_filepath.compare(0, sizeof data_home_prefix - 1, data_home_prefix) == 0)
        real_filepath.erase(0, data_home_strip);

    sd_bus_message_enter_container(m, 'a', "s");
    QV_LOG(stdout, "file %s.\n", qv_escape(real_filepath).c_str());
    std::vector<std::string> apps;
    const char *app = nullptr;
    while (sd_bus_message_read(m, "s", &app) > 0) {
        QV_LOG(stdout, "  app %s\n.\n", qv_escape(app).c_str());
        apps.emplace_back(app);
    }
    sd_bus_message_exit_container(m);

    int enabled = 1;
    r = sd_bus_message_read(m, "b", &enabled);
    QV_LOG(stdout, "enabled %d.\n", enabled);
    if (r < 0)
        return r;

    r = set_profile(real_filepath, apps, caller_path, enabled ? Allow : Deny);
    if (r != 0) {
        QV_LOG(stderr, "set_profile failed filepath = %s.\n", qv_escape(real_filepath).c_str());
        return r;
    }
    return sd_bus_reply_method_return(m, "");
}

// The system bus refuses a message past its size limit (32 MiB on a stock
// dbus-daemon) by dropping the sender's connection, which would end the
// service. A reply whose strings alone would come near it is refused here.
constexpr size_t bus_message_max = 32u << 20;
constexpr size_t reply_margin = 64u << 10;  // header, and the variable's rounding

// Bytes that strings take in an array of a message body: a 4-byte length,
// the text, its NUL, padded to 4 (the array's own length counted apart).
size_t strings_wire_size(const std::vector<std::string> &strings, const char *skip = nullptr)
{
    size_t size = 4;
    for (const auto &s : strings)
        if (!skip || s != skip)
            size += (4 + s.size() + 1 + 3) & ~size_t{3};
    return size;
}

// A call that took more than this much heap (a large profile parsed, a long
// reply built) hands its freed memory back to the system once it is answered:
// the allocator would otherwise keep it, and one hostile read would leave the
// service at many times its working size.
constexpr size_t heap_return_min = 1u << 20;
bool heap_to_return = false;

void note_heap_use(size_t bytes)
{
    if (bytes > heap_return_min)
        heap_to_return = true;
}

// -E2BIG, with one line, for a reply the bus would refuse.
int check_reply_size(const char *member, size_t size)
{
    if (size <= bus_message_max - reply_margin)
        return 0;
    QV_LOG(stderr, "%s reply of %zu bytes refused: the bus carries at most %zu.\n", member, size,
           bus_message_max - reply_margin);
    return -E2BIG;
}

int getapps(sd_bus_message *m, void *userdata, sd_bus_error *ret_error, const char *filepath)
{
    (void)userdata;
    (void)ret_error;
    if (!filepath) {
        int r = read_target(m, &filepath);
        if (r < 0) {
            QV_LOG(stderr, "sd_bus_message_read failed\n");
            return r;
        }
    }
    QvProfile profile = qv_get_profile(filepath);
    if (profile.rules.size() == 1) {
        const size_t size = strings_wire_size(profile.rules.front().app_paths, "*") + 4;
        note_heap_use(size);
        int r = check_reply_size("GetApps", size);
        if (r < 0)
            return r;
    }

    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_return(m, &raw);
    if (r < 0) {
        QV_LOG(stderr, "audit_get_path_list sd_bus_message_new_method_return error\n");
        return r;
    }
    MessageRef reply(raw);

    int enabled = 0;
    sd_bus_message_open_container(reply.get(), 'a', "s");
    if (profile.rules.size() == 1) {
        const QvRule &rule = profile.rules.front();
        for (const auto &app : rule.app_paths)
            if (app != "*")
                sd_bus_message_append_basic(reply.get(), 's', app.c_str());
        enabled = rule.deny == Allow ? 1 : 0;
    }
    sd_bus_message_close_container(reply.get());
    sd_bus_message_append_basic(reply.get(), 'b', &enabled);
    return sd_bus_send(sd_bus_message_get_bus(m), reply.get(), nullptr);
}

int setmode(sd_bus_message *m, void *userdata, sd_bus_error *ret_error, const char *filepath)
{
    (void)userdata;
    (void)ret_error;
    std::string caller_path;
    int r = vet_caller(m, &caller_path);
    if (r != 0) {
        QV_LOG(stderr, "check_caller failed\n");
        return r;
    }
    if (!filepath) {
        r = read_target(m, &filepath);
        if (r < 0) {
            QV_LOG(stderr, "sd_bus_message_read failed\n");
            return r;
        }
    }
    int32_t mode = 1;
    r = sd_bus_message_read(m, "i", &mode);
    if (r < 0) {
        QV_LOG(stderr, "sd_bus_message_read failed\n");
        return r;
    }

    PermitType type = mode == 0 ? Deny : Allow;
    if (type == Allow)
        r = delete_profile(filepath);
    else
        r = set_profile(filepath, {"*"}, caller_path, Deny);
    if (r != 0) {
        QV_LOG(stderr, "set_profile failed.\n");
        return r;
    }
    return sd_bus_reply_method_return(m, "");
}

int getmode(sd_bus_message *m, void *userdata, sd_bus_error *ret_error, const char *filepath)
{
    (void)userdata;
    (void)ret_error;
    if (!filepath) {
        int r = read_target(m, &filepath);
        if (r < 0) {
            QV_LOG(stderr, "sd_bus_message_read failed\n");
            return r;
        }
    }
    int32_t mode = 1;
    QvProfile profile = qv_get_profile(filepath);
    if (!profile.rules.empty()) {
        const QvRule &rule = profile.rules.front();
        note_heap_use(strings_wire_size(rule.app_paths));
        mode = 2;
        for (const auto &app : rule.app_paths)
            if (app == "*")
                mode = rule.deny == Allow ? 1 : 0;
    }
    // Built by hand: the formatted variant parses its signature on every call.
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_return(m, &raw);
    MessageRef reply(raw);
    if (r >= 0)
        r = sd_bus_message_append_basic(reply.get(), 'i', &mode);
    return r < 0 ? r : sd_bus_send(sd_bus_message_get_bus(m), reply.get(), nullptr);
}

int file_enable(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return enable(m, userdata, ret_error, nullptr);
}

// A budget of List calls per user, so that one user's flood of them cannot
// starve everyone else's calls: a burst of list_burst calls, refilled at
// list_per_second. A settings front end listing at human rates never meets
// it; root, who could stop the service anyway, has none.
constexpr double list_burst = 20;
constexpr double list_per_second = 10;
constexpr size_t budget_users_max = 4096;  // and as many senders remembered
constexpr std::chrono::seconds refusal_print_gap{60};

struct ListBudget {
    double tokens = list_burst;
    std::chrono::steady_clock::time_point refilled = std::chrono::steady_clock::now();
    // A refusal is printed at most once a minute per user.
    std::chrono::steady_clock::time_point printed = std::chrono::steady_clock::now() - refusal_print_gap;
};
std::unordered_map<uid_t, ListBudget> list_budgets;
// Unique bus names are never reused, so a sender's user is asked for once.
std::unordered_map<std::string, uid_t> sender_uids;

int sender_uid(sd_bus_message *m, uid_t *uid)
{
    const char *sender = sd_bus_message_get_sender(m);
    if (sender) {
        auto it = sender_uids.find(sender);
        if (it != sender_uids.end()) {
            *uid = it->second;
            return 0;
        }
    }
    sd_bus_creds *raw = nullptr;
    int r = sd_bus_query_sender_creds(m, SD_BUS_CREDS_EUID | SD_BUS_CREDS_UID, &raw);
    CredsRef creds(raw);
    if (r >= 0 && sd_bus_creds_get_euid(creds.get(), uid) < 0)
        r = sd_bus_creds_get_uid(creds.get(), uid);
    if (r < 0)
        return r;
    if (sender) {
        if (sender_uids.size() >= budget_users_max)
            sender_uids.clear();
        sender_uids.emplace(sender, *uid);
    }
    return 0;
}

// 0 when the sender's user may list now; else a negative result with
// LimitsExceeded set in ret_error (or the failure to learn the user).
int take_list_budget(sd_bus_message *m, sd_bus_error *ret_error)
{
    uid_t uid = 0;
    int r = sender_uid(m, &uid);
    if (r < 0)
        return r;
    if (uid == 0)
        return 0;
    if (list_budgets.size() >= budget_users_max && list_budgets.count(uid) == 0)
        list_budgets.clear();
    ListBudget &b = list_budgets[uid];
    const auto now = std::chrono::steady_clock::now();
    b.tokens = std::min(list_burst,
                        b.tokens + std::chrono::duration<double>(now - b.refilled).count() * list_per_second);
    b.refilled = now;
    if (b.tokens >= 1) {
        b.tokens -= 1;
        return 0;
    }
    if (now - b.printed >= refusal_print_gap) {
        QV_LOG(stderr, "List calls of uid %u refused: more than %.0f a second.\n", static_cast<unsigned>(uid),
               list_per_second);
        b.printed = now;
    }
    return sd_bus_error_set(ret_error, SD_BUS_ERROR_LIMITS_EXCEEDED, "Too many List calls; try again shortly.");
}

int file_list(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    (void)userdata;
    QV_LOG(stdout, "\n");
    int r = take_list_budget(m, ret_error);
    if (r < 0)
        return r;
    std::vector<std::string> files = qv_get_files();
    const size_t size = strings_wire_size(files);
    note_heap_use(size);
    r = check_reply_size("List", size);
    if (r < 0)
        return r;

    sd_bus_message *raw = nullptr;
    r = sd_bus_message_new_method_return(m, &raw);
    if (r < 0) {
        QV_LOG(stderr, "audit_get_path_list sd_bus_message_new_method_return error\n");
        return r;
    }
    MessageRef reply(raw);
    sd_bus_message_open_container(reply.get(), 'a', "s");
    for (const auto &file : files)
        sd_bus_message_append(reply.get(), "s", file.c_str());
    sd_bus_message_close_container(reply.get());
    return sd_bus_send(sd_bus_message_get_bus(m), reply.get(), nullptr);
}

int file_getapps(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return getapps(m, userdata, ret_error, nullptr);
}

int file_setmode(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return setmode(m, userdata, ret_error, nullptr);
}

int file_getmode(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return getmode(m, userdata, ret_error, nullptr);
}

int camera_control_enable(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return enable(m, userdata, ret_error, CAMERA_DEVPATH);
}

int camera_control_getapps(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return getapps(m, userdata, ret_error, CAMERA_DEVPATH);
}

int camera_control_setmode(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return setmode(m, userdata, ret_error, CAMERA_DEVPATH);
}

int camera_control_getmode(sd_bus_message *m, void *userdata, sd_bus_error *ret_error)
{
    QV_LOG(stdout, "\n");
    return getmode(m, userdata, ret_error, CAMERA_DEVPATH);
}

}  // namespace

void release_spent_heap()
{
    if (heap_to_return) {
        malloc_trim(0);
        heap_to_return = false;
    }
}

const sd_bus_vtable quorvane_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Enable", "sasb", "", file_enable, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("List", "", "as", file_list, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetApps", "s", "asb", file_getapps, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetMode", "si", "", file_setmode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetMode", "s", "i", file_getmode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable camera_control_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Enable", "asb", "", camera_control_enable, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetApps", "", "asb", camera_control_getapps, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetMode", "i", "", camera_control_setmode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetMode", "", "i", camera_control_getmode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
