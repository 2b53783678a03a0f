// SPDX-License-Identifier: GPL-2.0-or-later
// Stand-in for the desktop's notification service on a private session bus.
// Owns com.zentavo.nimbra.Notification, serves Notify at
// /org/freedesktop/Notifications and appends every call to the file argv[1],
// one JSON object a line, before it answers: the header fields, the sender
// and the eight arguments. argv[2] is "ok" (answer with an id) or "error"
// (answer with an error reply).
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "holders.h"

namespace {

using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_flush_close_unref>>;

constexpr char service_name[] = "com.zentavo.nimbra.Notification";
constexpr char object_path[] = "/org/freedesktop/Notifications";

std::string record_path;
bool answer_error = false;
uint32_t next_id = 1;

std::string or_empty(const char *s)
{
    return s ? s : "";
}

// Reads the arguments into j; returns a negative errno when the body is not
// what the signature promised.
int read_arguments(sd_bus_message *m, nlohmann::json *j)
{
    const char *app_name = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    uint32_t replaces_id = 0;
    int32_t timeout = 0;
    int r = sd_bus_message_read(m, "susss", &app_name, &replaces_id, &icon, &summary, &body);
    if (r < 0)
        return r;
    (*j)["app_name"] = app_name;
    (*j)["replaces_id"] = replaces_id;
    (*j)["icon"] = icon;
    (*j)["summary"] = summary;
    (*j)["body"] = body;

    nlohmann::json actions = nlohmann::json::array();
    if ((r = sd_bus_message_enter_container(m, 'a', "s")) < 0)
        return r;
    const char *action = nullptr;
    while ((r = sd_bus_message_read(m, "s", &action)) > 0)
        actions.push_back(action);
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    (*j)["actions"] = actions;

    // Each hint as {"type": variant signature, "value": its string or null}.
    nlohmann::json hints = nlohmann::json::object();
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *key = nullptr, *contents = nullptr;
        char type = 0;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = sd_bus_message_peek_type(m, &type, &contents)) < 0)
            return r;
        nlohmann::json hint = {{"type", or_empty(contents)}, {"value", nullptr}};
        if (or_empty(contents) == "s") {
            const char *value = nullptr;
            if ((r = sd_bus_message_read(m, "v", "s", &value)) < 0)
                return r;
            hint["value"] = value;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        hints[key] = hint;
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    (*j)["hints"] = hints;

    if ((r = sd_bus_message_read(m, "i", &timeout)) < 0)
        return r;
    (*j)["timeout"] = timeout;
    return 0;
}

int notify(sd_bus_message *m, void *, sd_bus_error *error)
{
    nlohmann::json j = {
        {"sender", or_empty(sd_bus_message_get_sender(m))},
        {"destination", or_empty(sd_bus_message_get_destination(m))},
        {"path", or_empty(sd_bus_message_get_path(m))},
        {"interface", or_empty(sd_bus_message_get_interface(m))},
        {"member", or_empty(sd_bus_message_get_member(m))},
        {"signature", or_empty(sd_bus_message_get_signature(m, 1))},
    };
    int r = read_arguments(m, &j);
    if (r < 0)
        return r;

    if (FILE *f = std::fopen(record_path.c_str(), "a")) {
        std::fprintf(f, "%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        std::fclose(f);
    }
    if (answer_error)
        return sd_bus_error_set(error, "com.zentavo.nimbra.Error.Refused", "the stand-in refuses this notification");
    return sd_bus_reply_method_return(m, "u", next_id++);
}

const sd_bus_vtable notification_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[2], "ok") != 0 && std::strcmp(argv[2], "error") != 0)) {
        std::fprintf(stderr, "usage: %s RECORD-FILE ok|error\n", argv[0]);
        return 2;
    }
    record_path = argv[1];
    answer_error = std::strcmp(argv[2], "error") == 0;

    sd_bus *raw = nullptr;
    int r = sd_bus_open_user(&raw);
    if (r < 0) {
        std::fprintf(stderr, "cannot connect to the session bus: %s\n", std::strerror(-r));
        return 1;
    }
    BusRef bus(raw);
    r = sd_bus_add_object_vtable(bus.get(), nullptr, object_path, service_name, notification_vtable, nullptr);
    if (r >= 0)
        r = sd_bus_request_name(bus.get(), service_name, 0);
    if (r < 0) {
        std::fprintf(stderr, "cannot serve %s: %s\n", service_name, std::strerror(-r));
        return 1;
    }
    for (;;) {
        r = sd_bus_process(bus.get(), nullptr);
        if (r < 0)
            return 1;
        if (r == 0 && sd_bus_wait(bus.get(), UINT64_MAX) < 0)
            return 1;
    }
}
