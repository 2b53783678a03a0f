// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_notification_bridge: the nimbra desktop's notification service for
// every other desktop. Started by D-Bus activation when quorvane_notify calls
// com.zentavo.nimbra.Notification and nothing owns that name; shows each
// notification through the desktop's standard notification service and runs
// its button's show-page command when the user presses it.
//
// A button is offered only when the control center the command names can
// be reached (it owns its name or can be activated), or else Quorvane's own
// settings app can; otherwise the notification is shown without it, since a
// button that does nothing is worse than none (the body still says where the
// setting lives).
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "holders.h"
#include "diag.h"

namespace {


constexpr char bridge_name[] = "com.zentavo.nimbra.Notification";
constexpr char bridge_path[] = "/org/freedesktop/Notifications";
constexpr char bridge_interface[] = "com.zentavo.nimbra.Notification";
constexpr char desktop_name[] = "org.freedesktop.Notifications";
constexpr char desktop_path[] = "/org/freedesktop/Notifications";
constexpr char desktop_interface[] = "org.freedesktop.Notifications";
constexpr char dbus_name[] = "org.freedesktop.DBus";
constexpr char dbus_path[] = "/org/freedesktop/DBus";

constexpr char action_hint_prefix[] = "x-zentavo-action-";
// Clicking the notification itself does what its first button does.
constexpr char default_action[] = "default";
// Shown when the sender names no icon.
constexpr char fallback_icon[] = "preferences-system-privacy";
// The one command tool the show-page command names; the bridge makes its
// call itself, so the desktop needs no Qt tools.
constexpr char command_tool[] = "qdbus";
// Where the control center a command names cannot be reached, its page is
// opened in Quorvane's own settings app, which answers ShowPage alike.
struct Fallback {
    const char *name;         // the control center's bus name
    const char *replacement;  // bus name, object path, interface.method
};
const Fallback fallbacks[] = {
    {"com.zentavo.nimbra.ControlCenter",
     "com.zentavo.quorvane.settings,/com/zentavo/quorvane/settings,com.zentavo.quorvane.settings.ShowPage"},
};
// Buttons of so many shown notifications are remembered; older ones lapse.
constexpr size_t remembered_max = 64;

// Per shown notification id: action key to show-page command.
std::map<uint32_t, std::map<std::string, std::string>> commands;

std::vector<std::string> split_words(const std::string &command)
{
    std::vector<std::string> words;
    std::stringstream ss(command);
    std::string w;
    while (std::getline(ss, w, ','))
        words.push_back(w);
    return words;
}

// A show-page command: tool, bus name, object path, interface.method, and
// string arguments.
bool well_formed(const std::vector<std::string> &w)
{
    return w.size() >= 4 && w[0] == command_tool && sd_bus_object_path_is_valid(w[2].c_str()) &&
           w[3].rfind('.') != std::string::npos;
}

bool name_reachable(sd_bus *bus, const std::string &name)
{
    sd_bus_message *raw = nullptr;
    int has_owner = 0;
    if (sd_bus_call_method(bus, dbus_name, dbus_path, dbus_name, "NameHasOwner", nullptr, &raw, "s",
                           name.c_str()) >= 0) {
        MessageRef reply(raw);
        if (sd_bus_message_read(reply.get(), "b", &has_owner) >= 0 && has_owner)
            return true;
    }
    raw = nullptr;
    if (sd_bus_call_method(bus, dbus_name, dbus_path, dbus_name, "ListActivatableNames", nullptr, &raw, "") < 0)
        return false;
    MessageRef reply(raw);
    char **names = nullptr;
    if (sd_bus_message_read_strv(reply.get(), &names) < 0)
        return false;
    bool found = false;
    for (char **n = names; n && *n; ++n) {
        found = found || name == *n;
        free(*n);
    }
    free(names);
    return found;
}

bool command_reachable(sd_bus *bus, const std::string &command)
{
    std::vector<std::string> w = split_words(command);
    return well_formed(w) && name_reachable(bus, w[1]);
}

// The command to run for a button: command itself when its service can be
// reached, else its fallback when that can; "" when neither.
std::string runnable_command(sd_bus *bus, const std::string &command)
{
    if (command_reachable(bus, command))
        return command;
    std::vector<std::string> w = split_words(command);
    for (const Fallback &f : fallbacks) {
        if (!well_formed(w) || w[1] != f.name)
            continue;
        std::string other = w[0] + "," + f.replacement;
        for (size_t i = 4; i < w.size(); ++i)
            other += "," + w[i];
        if (command_reachable(bus, other))
            return other;
    }
    return "";
}

int show_page_done(sd_bus_message *reply, void *, sd_bus_error *)
{
    const sd_bus_error *e = sd_bus_message_get_error(reply);
    if (e)
        QV_LOG(stderr, "ShowPage failed: %s\n", e->message ? e->message : e->name);
    return 0;
}

int run_command(sd_bus *bus, const std::string &command)
{
    std::vector<std::string> w = split_words(command);
    if (!well_formed(w))
        return -EINVAL;
    size_t dot = w[3].rfind('.');
    std::string interface = w[3].substr(0, dot), member = w[3].substr(dot + 1);
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, w[1].c_str(), w[2].c_str(), interface.c_str(),
                                           member.c_str());
    if (r < 0)
        return r;
    MessageRef call(raw);
    for (size_t i = 4; i < w.size() && r >= 0; ++i)
        r = sd_bus_message_append(call.get(), "s", w[i].c_str());
    if (r < 0)
        return r;
    // Floating: the reply handler lives as long as the call.
    return sd_bus_call_async(bus, nullptr, call.get(), show_page_done, nullptr, 0);
}

struct Request {
    const char *app_name = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    uint32_t replaces_id = 0;
    int32_t expire = -1;
    std::vector<std::string> actions;             // key, label, key, label...
    std::map<std::string, std::string> commands;  // action key to command
};

int read_hints(sd_bus_message *m, Request *req)
{
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *key = nullptr, *contents = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0)
            return r;
        const char *value = nullptr;
        if (contents && std::strcmp(contents, "s") == 0 &&
            std::strncmp(key, action_hint_prefix, sizeof action_hint_prefix - 1) == 0) {
            if ((r = sd_bus_message_read(m, "v", "s", &value)) < 0)
                return r;
            req->commands[key + sizeof action_hint_prefix - 1] = value;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int read_request(sd_bus_message *m, Request *req)
{
    int r = sd_bus_message_read(m, "susss", &req->app_name, &req->replaces_id, &req->icon, &req->summary,
                                &req->body);
    if (r < 0)
        return r;
    char **actions = nullptr;
    if ((r = sd_bus_message_read_strv(m, &actions)) < 0)
        return r;
    for (char **a = actions; a && *a; ++a) {
        req->actions.emplace_back(*a);
        free(*a);
    }
    free(actions);
    if ((r = read_hints(m, req)) < 0)
        return r;
    return sd_bus_message_read(m, "i", &req->expire);
}

// The buttons the desktop is asked to show: those whose command can run,
// led by a default action that mirrors the first. Fills kept with the
// commands by the keys the desktop will report.
std::vector<std::string> offered_actions(sd_bus *bus, const Request &req, std::map<std::string, std::string> *kept)
{
    std::vector<std::string> out;
    for (size_t i = 0; i + 1 < req.actions.size(); i += 2) {
        auto c = req.commands.find(req.actions[i]);
        const std::string command = c == req.commands.end() ? "" : runnable_command(bus, c->second);
        if (command.empty())
            continue;
        if (kept->empty()) {
            out.insert(out.end(), {default_action, req.actions[i + 1]});
            (*kept)[default_action] = command;
        }
        out.insert(out.end(), {req.actions[i], req.actions[i + 1]});
        (*kept)[req.actions[i]] = command;
    }
    return out;
}

int method_notify(sd_bus_message *m, void *, sd_bus_error *error)
{
    Request req;
    int r = read_request(m, &req);
    if (r < 0)
        return r;
    sd_bus *bus = sd_bus_message_get_bus(m);

    std::map<std::string, std::string> kept;
    std::vector<std::string> actions = offered_actions(bus, req, &kept);
    std::vector<char *> strv;
    for (auto &a : actions)
        strv.push_back(a.data());
    strv.push_back(nullptr);

    sd_bus_message *raw = nullptr;
    if ((r = sd_bus_message_new_method_call(bus, &raw, desktop_name, desktop_path, desktop_interface, "Notify")) < 0)
        return r;
    MessageRef call(raw);
    const char *icon = *req.icon ? req.icon : fallback_icon;
    if ((r = sd_bus_message_append(call.get(), "susss", req.app_name, req.replaces_id, icon, req.summary,
                                   req.body)) < 0 ||
        (r = sd_bus_message_append_strv(call.get(), strv.data())) < 0 ||
        (r = sd_bus_message_append(call.get(), "a{sv}i", 0, req.expire)) < 0)
        return r;

    raw = nullptr;
    if ((r = sd_bus_call(bus, call.get(), 0, error, &raw)) < 0) {
        QV_LOG(stderr, "forwarding to %s failed: %s\n", desktop_name, error->message ? error->message : std::strerror(-r));
        return r;
    }
    MessageRef reply(raw);
    uint32_t id = 0;
    if ((r = sd_bus_message_read(reply.get(), "u", &id)) < 0)
        return r;
    if (!kept.empty()) {
        commands[id] = std::move(kept);
        if (commands.size() > remembered_max)
            commands.erase(commands.begin());
    }
    return sd_bus_reply_method_return(m, "u", id);
}

int on_action_invoked(sd_bus_message *m, void *, sd_bus_error *)
{
    uint32_t id = 0;
    const char *key = nullptr;
    if (sd_bus_message_read(m, "us", &id, &key) < 0)
        return 0;
    auto n = commands.find(id);
    if (n == commands.end())
        return 0;
    auto c = n->second.find(key);
    if (c == n->second.end())
        return 0;
    int r = run_command(sd_bus_message_get_bus(m), c->second);
    if (r < 0)
        QV_LOG(stderr, "cannot run %s: %s\n", c->second.c_str(), std::strerror(-r));
    return 0;
}

int on_closed(sd_bus_message *m, void *, sd_bus_error *)
{
    uint32_t id = 0;
    if (sd_bus_message_read(m, "u", &id) >= 0)
        commands.erase(id);
    return 0;
}

// The nimbra desktop's own service took the name over: its job now.
int on_name_lost(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    const char *name = nullptr;
    if (sd_bus_message_read(m, "s", &name) >= 0 && std::strcmp(name, bridge_name) == 0)
        *static_cast<bool *>(userdata) = true;
    return 0;
}

const sd_bus_vtable bridge_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", method_notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int, char **)
{
    std::setvbuf(stderr, nullptr, _IOLBF, 0);

    sd_bus *raw = nullptr;
    int r = sd_bus_open_user(&raw);
    if (r < 0) {
        QV_LOG(stderr, "Failed to connect to user bus: %s\n", std::strerror(-r));
        return 1;
    }
    BusRef bus(raw);

    bool lost = false;
    sd_bus_slot *slots[4] = {};
    if ((r = sd_bus_add_object_vtable(bus.get(), &slots[0], bridge_path, bridge_interface, bridge_vtable,
                                      nullptr)) < 0 ||
        (r = sd_bus_match_signal(bus.get(), &slots[1], desktop_name, desktop_path, desktop_interface,
                                 "ActionInvoked", on_action_invoked, nullptr)) < 0 ||
        (r = sd_bus_match_signal(bus.get(), &slots[2], desktop_name, desktop_path, desktop_interface,
                                 "NotificationClosed", on_closed, nullptr)) < 0 ||
        (r = sd_bus_match_signal(bus.get(), &slots[3], dbus_name, dbus_path, dbus_name, "NameLost",
                                 on_name_lost, &lost)) < 0) {
        QV_LOG(stderr, "cannot set up the bus objects: %s\n", std::strerror(-r));
        return 1;
    }
    SlotRef held[4] = {SlotRef(slots[0]), SlotRef(slots[1]), SlotRef(slots[2]), SlotRef(slots[3])};

    // Never queued, never taking the name from another owner; the desktop's
    // own service may take it from us.
    r = sd_bus_request_name(bus.get(), bridge_name, SD_BUS_NAME_ALLOW_REPLACEMENT);
    if (r == -EEXIST)
        return 0;  // the desktop provides the service itself
    if (r < 0) {
        QV_LOG(stderr, "cannot own %s: %s\n", bridge_name, std::strerror(-r));
        return 1;
    }

    while (!lost) {
        r = sd_bus_process(bus.get(), nullptr);
        if (r < 0) {
            if (r == -ECONNRESET || r == -ENOTCONN)
                return 0;  // the session ended
            QV_LOG(stderr, "bus processing failed: %s\n", std::strerror(-r));
            return 1;
        }
        if (r == 0 && (r = sd_bus_wait(bus.get(), UINT64_MAX)) < 0 && r != -EINTR) {
            QV_LOG(stderr, "bus wait failed: %s\n", std::strerror(-r));
            return 1;
        }
    }
    return 0;
}
