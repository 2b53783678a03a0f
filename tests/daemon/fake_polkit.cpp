// SPDX-License-Identifier: GPL-2.0-or-later
// Stand-in for polkit's authority on a private system bus. It answers
// CheckAuthorization and appends what it was asked to the file argv[2], one
// line per call: the subject's kind and keys, its pid and start time (a
// "unix-process") or its name (a "system-bus-name"), the action, the flags
// (1: interaction allowed) and the cancellation id. The answer is read from
// the file argv[1] at every call: authorized, denied, challenge, dismissed
// (the user closed the password prompt) or error.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string mode_path;
std::string record_path;

std::string read_mode()
{
    char buf[64] = {0};
    if (FILE *f = std::fopen(mode_path.c_str(), "r")) {
        if (!std::fgets(buf, sizeof buf, f))
            buf[0] = 0;
        std::fclose(f);
    }
    std::string m = buf;
    while (!m.empty() && (m.back() == '\n' || m.back() == ' '))
        m.pop_back();
    return m;
}

int check_authorization(sd_bus_message *m, void *, sd_bus_error *error)
{
    const char *kind = nullptr, *key = nullptr, *action = nullptr, *cancel = nullptr, *name = nullptr;
    uint32_t pid = 0, flags = 0;
    uint64_t start_time = 99;
    std::string keys;

    sd_bus_message_enter_container(m, 'r', "sa{sv}");
    sd_bus_message_read(m, "s", &kind);
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        sd_bus_message_read(m, "s", &key);
        keys += std::string(key) + ";";
        if (std::strcmp(key, "pid") == 0)
            sd_bus_message_read(m, "v", "u", &pid);
        else if (std::strcmp(key, "start-time") == 0)
            sd_bus_message_read(m, "v", "t", &start_time);
        else if (std::strcmp(key, "name") == 0)
            sd_bus_message_read(m, "v", "s", &name);
        else
            sd_bus_message_skip(m, "v");
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    sd_bus_message_exit_container(m);
    sd_bus_message_read(m, "s", &action);
    sd_bus_message_skip(m, "a{ss}");
    sd_bus_message_read(m, "us", &flags, &cancel);

    if (FILE *f = std::fopen(record_path.c_str(), "a")) {
        if (std::strcmp(kind, "system-bus-name") == 0)
            std::fprintf(f, "%s %s name=%s %s flags=%u cancel='%s'\n", kind, keys.c_str(), name ? name : "(none)",
                         action, flags, cancel);
        else
            std::fprintf(f, "%s %s pid=%u start-time=%llu %s flags=%u cancel='%s'\n", kind, keys.c_str(), pid,
                         static_cast<unsigned long long>(start_time), action, flags, cancel);
        std::fclose(f);
    }

    const std::string mode = read_mode();
    if (mode == "error")
        return sd_bus_error_set(error, "org.freedesktop.PolicyKit1.Error.Failed", "stand-in refuses to answer");
    if (mode == "dismissed")  // the user closed the password prompt
        return sd_bus_reply_method_return(m, "(bba{ss})", 0, 0, 1, "polkit.dismissed", "true");
    int authorized = mode == "authorized";
    int challenge = mode == "challenge";
    return sd_bus_reply_method_return(m, "(bba{ss})", authorized, challenge, 2, "polkit.retains_authorization_after_challenge",
                                      "1", "stand-in", mode.c_str());
}

const sd_bus_vtable authority_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CheckAuthorization", "(sa{sv})sa{ss}us", "(bba{ss})", check_authorization,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    mode_path = argv[1];
    record_path = argv[2];
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/PolicyKit1/Authority",
                                 "org.freedesktop.PolicyKit1.Authority", authority_vtable, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.PolicyKit1", 0) < 0)
        return 1;
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return 1;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0)
            return 1;
    }
}
