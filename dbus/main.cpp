// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_daemon: the bus spine, caller vetting and the protection methods
// of the file-protection and camera-control objects.
#include <libintl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common.h"
#include "dbus_quorvane.h"
#include "quorvane.h"

namespace {

using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_unref>>;
using SlotRef = std::unique_ptr<sd_bus_slot, qv_release<sd_bus_slot_unref>>;
using MessageRef = std::unique_ptr<sd_bus_message, qv_release<sd_bus_message_unref>>;
using CredsRef = std::unique_ptr<sd_bus_creds, qv_release<sd_bus_creds_unref>>;
using ErrorRef = std::unique_ptr<sd_bus_error, qv_release<sd_bus_error_free>>;

}  // namespace

// Executables allowed to change protection, compared byte for byte with the
// kernel's view of the caller's executable, and then as files: the caller must
// run the very file the service finds under that path.
const std::vector<std::string> caller_whitelist = {
    "/usr/bin/nimbra-control-center",
    "/usr/bin/python3.7",
    "/usr/bin/dbus-send",
    "/usr/bin/quorvane-settings",
};

const std::string quorvane_dbus_path = "/com/zentavo/Quorvane1";
const std::string quorvane_dbus_interface = "com.zentavo.Quorvane1";
const std::string camera_control_dbus_path = "/com/zentavo/Quorvane1/CameraControl";
const std::string camera_control_dbus_interface = "com.zentavo.Quorvane1.CameraControl";

// Listed programs that act for whichever user runs them (tools that run
// whatever they are asked, and the desktop's settings app): their callers
// must also be root or authorized by polkit.
const std::vector<std::string> general_purpose_callers = {
    "/usr/bin/python3.7",
    "/usr/bin/dbus-send",
    "/usr/bin/quorvane-settings",
};

// polkit's reply detail saying the user dismissed the password prompt.
static const char polkit_dismissed[] = "polkit.dismissed";

// Paths below /data/home/ are the same files as below /home/.
static const char data_home_prefix[] = "/data/home/";
static const size_t data_home_strip = 5;  // "/data"

namespace {

// The sender's PID (and, when euid is given, its effective uid) from one
// credentials query to the bus, and the executable path behind the PID. The
// uid is (uid_t)-1 when the bus did not tell it.
std::string read_caller(sd_bus_message *m, pid_t *pid, uid_t *euid)
{
    sd_bus_creds *raw = nullptr;
    const uint64_t mask = euid ? SD_BUS_CREDS_PID | SD_BUS_CREDS_EUID : SD_BUS_CREDS_PID;
    if (sd_bus_query_sender_creds(m, mask, &raw) < 0) {
        QV_LOG(stderr, "sd_bus_message_get_creds error\n");
        return "";
    }
    CredsRef creds(raw);

    pid_t caller_pid = -1;
    if (sd_bus_creds_get_pid(creds.get(), &caller_pid) < 0) {
        QV_LOG(stderr, "sd_bus_creds_get_pid error\n");
        return "";
    }
    *pid = caller_pid;
    if (euid && sd_bus_creds_get_euid(creds.get(), euid) < 0)
        *euid = static_cast<uid_t>(-1);

    char exePath[4096];
    std::memset(exePath, 0, sizeof exePath);
    std::snprintf(exePath, sizeof exePath, "/proc/%d/exe", caller_pid);

    char buf[4096];
    ssize_t len = readlink(exePath, buf, sizeof buf);
    // A target that fills the buffer may have been cut: it names no path.
    if (len < 0 || static_cast<size_t>(len) >= sizeof buf) {
        QV_LOG(stderr, "readlink error exePath = %s!\n", exePath);
        return "";
    }
    buf[len] = '\0';
    QV_LOG(stdout, "caller is: %s\n\n", qv_escape(std::string(buf, len)).c_str());
    return std::string(buf, len);
}

}  // namespace

std::string get_caller_apppath(sd_bus_message *m, pid_t *pid)
{
    return read_caller(m, pid, nullptr);
}

int check_caller(std::string caller_path, pid_t pid)
{
    (void)pid;  // the decision rests on the executable alone
    int res = -1;
    for (const auto &entry : caller_whitelist) {
        if (caller_path == entry) {
            res = 0;
            break;
        }
    }
    return res;
}

int check_authorization(pid_t pid)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *raw_reply = nullptr;
    sd_bus *raw_bus = nullptr;
    unsigned is_authorized = 0, is_challenge = 0;
    const char *s1 = nullptr, *s2 = nullptr;
    int r;

    r = sd_bus_open_system(&raw_bus);
    BusRef bus(raw_bus);
    MessageRef m;
    if (r < 0) {
        QV_LOG(stderr, "Failed to connect to system bus: %s\n\n", std::strerror(-r));
        goto finish;
    }

    r = sd_bus_call_method(bus.get(), "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                           "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization", &error, &raw_reply,
                           "(sa{sv})sa{ss}us", "unix-process", 2, "pid", "u", static_cast<uint32_t>(pid),
                           "start-time", "t", static_cast<uint64_t>(0), quorvane_dbus_interface.c_str(), 0,
                           static_cast<uint32_t>(1), "");
    m.reset(raw_reply);
    if (r < 0) {
        QV_LOG(stderr, "Failed to Authority: %s\n\n", error.message ? error.message : std::strerror(-r));
        goto finish;
    }

    r = sd_bus_message_enter_container(m.get(), 'r', "bba{ss}");
    if (r < 0) {
        QV_LOG(stderr, "sd_bus_message_enter_container failed.\n\n");
        goto finish;
    }
    r = sd_bus_message_read(m.get(), "bb", &is_authorized, &is_challenge);
    if (r < 0) {
        QV_LOG(stderr, "sd_bus_message_read failed.\n\n");
        goto finish;
    }
    QV_LOG(stdout, "sd_bus_message_read is_authorized = %s, is_challenge = %s\n",
           is_authorized ? "true" : "false", is_challenge ? "true" : "false");

    sd_bus_message_enter_container(m.get(), 'a', "{ss}");
    while (sd_bus_message_read(m.get(), "{ss}", &s1, &s2) > 0)
        QV_LOG(stdout, " %s=%s\n", s1, s2);
    sd_bus_message_exit_container(m.get());
    r = sd_bus_message_exit_container(m.get());

finish:
    sd_bus_error_free(&error);
    return (r >= 0 && is_authorized) ? 0 : -1;
}

namespace {

// True when process pid runs the very file that path names in the service's
// own mount namespace. The link's text is decided by the caller's namespace
// (an overlay or a bind mount can put any file under a listed name); the file
// the kernel executes is not.
bool runs_file(pid_t pid, const std::string &path)
{
    char exe[64];
    std::snprintf(exe, sizeof exe, "/proc/%d/exe", pid);
    struct stat running, listed;
    if (stat(exe, &running) < 0 || stat(path.c_str(), &listed) < 0)
        return false;
    return running.st_dev == listed.st_dev && running.st_ino == listed.st_ino;
}

// Asks polkit whether the sender of m may change protection. The subject is
// the sender's unique bus name, so polkit learns uid and process from the bus
// itself and no PID can be reused in between. Anything but a readable "yes"
// refuses.
int authorize_sender(sd_bus_message *m)
{
    const std::string sender = qv_escape(sd_bus_message_get_sender(m));
    sd_bus *raw_bus = nullptr;
    int r = sd_bus_open_system(&raw_bus);
    BusRef bus(raw_bus);
    if (r < 0) {
        QV_LOG(stderr, "polkit not asked for %s: no system bus: %s\n", sender.c_str(), std::strerror(-r));
        return -1;
    }

    const uint32_t interactive = sd_bus_message_get_allow_interactive_authorization(m) > 0 ? 1 : 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ErrorRef error_holder(&error);
    sd_bus_message *raw_reply = nullptr;
    r = sd_bus_call_method(bus.get(), "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                           "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization", &error, &raw_reply,
                           "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s", sd_bus_message_get_sender(m),
                           quorvane_dbus_interface.c_str(), 0, interactive, "");
    MessageRef reply(raw_reply);
    if (r < 0) {
        QV_LOG(stderr, "polkit gave no answer for %s: %s\n", sender.c_str(),
               qv_escape(error.message ? error.message : std::strerror(-r)).c_str());
        return -1;
    }

    int is_authorized = 0, is_challenge = 0;
    r = sd_bus_message_enter_container(reply.get(), 'r', "bba{ss}");
    if (r >= 0)
        r = sd_bus_message_read(reply.get(), "bb", &is_authorized, &is_challenge);
    if (r < 0) {
        QV_LOG(stderr, "polkit's answer for %s is unreadable: %s\n", sender.c_str(), std::strerror(-r));
        return -1;
    }
    QV_LOG(stdout, "polkit for %s: is_authorized = %s, is_challenge = %s\n", sender.c_str(),
           is_authorized ? "true" : "false", is_challenge ? "true" : "false");
    if (is_authorized)
        return 0;
    // A dismissed prompt is told apart, so an interactive client can say so.
    const char *key = nullptr, *value = nullptr;
    if (sd_bus_message_enter_container(reply.get(), 'a', "{ss}") >= 0)
        while (sd_bus_message_read(reply.get(), "{ss}", &key, &value) > 0)
            if (std::strcmp(key, polkit_dismissed) == 0 && std::strcmp(value, "true") == 0)
                return -ECANCELED;
    return -1;
}

// Reads the path argument of a file-object call; the camera object binds it.
int read_target(sd_bus_message *m, const char **filepath)
{
    int r = sd_bus_message_read_basic(m, 's', filepath);
    return r == 0 ? -EINVAL : r;
}

// Vets the sender of a changing call; fills caller_path for the profile owner.
// A listed path is believed only for the file the service itself finds there;
// a general-purpose tool speaks for its user, who must be root or authorized.
int vet_caller(sd_bus_message *m, std::string *caller_path)
{
    pid_t pid = 0;
    uid_t euid = static_cast<uid_t>(-1);
    *caller_path = read_caller(m, &pid, &euid);
    int r = check_caller(*caller_path, pid);
    if (r != 0)
        return r;
    if (!runs_file(pid, *caller_path))
        return -1;
    for (const auto &tool : general_purpose_callers)
        if (*caller_path == tool)
            return euid == 0 ? 0 : authorize_sender(m);
    return 0;
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

}  // namespace

#ifndef QUORVANE_NO_MAIN
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
        if (heap_to_return) {
            malloc_trim(0);
            heap_to_return = false;
        }
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
#endif
