// SPDX-License-Identifier: GPL-2.0-or-later
// Caller vetting: the whitelist of executables that may change protection,
// the caller's executable learned from the bus and the proc file system, and
// polkit for the listed tools that act for whichever user runs them.
#include "callers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "diag.h"
#include "interface.h"

// Executables allowed to change protection, compared byte for byte with the
// kernel's view of the caller's executable, and then as files: the caller must
// run the very file the service finds under that path.
const std::vector<std::string> caller_whitelist = {
    "/usr/bin/nimbra-control-center",
    "/usr/bin/python3.7",
    "/usr/bin/dbus-send",
    "/usr/bin/quorvane-settings",
};

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

}  // namespace

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
