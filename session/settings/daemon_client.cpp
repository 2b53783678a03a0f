// SPDX-License-Identifier: GPL-2.0-or-later
#include "holders.h"
#include "daemon_client.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "diag.h"

namespace {


constexpr char service[] = "com.zentavo.Quorvane1";
constexpr char file_object[] = "/com/zentavo/Quorvane1";
constexpr char file_interface[] = "com.zentavo.Quorvane1";
constexpr char camera_object[] = "/com/zentavo/Quorvane1/CameraControl";
constexpr char camera_interface[] = "com.zentavo.Quorvane1.CameraControl";
constexpr char camera_prefix[] = "/dev/video";
// GetMode's answers.
constexpr int mode_blocked = 0, mode_listed = 2;
// SetMode's arguments.
constexpr int set_blocked = 0, set_unprotected = 1;
// Long enough for an administrator to type a password.
constexpr uint64_t change_timeout_us = 300ull * 1000 * 1000;

int fail(CallError *err, int r, const sd_bus_error *e = nullptr)
{
    err->name = e && e->name ? e->name : "System.Error";
    err->message = e && e->message ? e->message : std::strerror(-r);
    return r;
}

// One call to the service with the target's path first (file object only),
// then what append adds. A change may ask for a password.
template <typename Append>
int call(const Target &t, const char *member, bool change, Append append, MessageRef *reply, CallError *err)
{
    sd_bus *raw_bus = nullptr;
    int r = sd_bus_open_system(&raw_bus);
    BusRef bus(raw_bus);
    if (r < 0)
        return fail(err, r);
    sd_bus_message *raw = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &raw, service, t.camera ? camera_object : file_object,
                                       t.camera ? camera_interface : file_interface, member);
    MessageRef m(raw);
    if (r >= 0 && !t.camera)
        r = sd_bus_message_append(m.get(), "s", t.path.c_str());
    if (r >= 0)
        r = append(m.get());
    if (r >= 0 && change)
        r = sd_bus_message_set_allow_interactive_authorization(m.get(), 1);
    if (r < 0)
        return fail(err, r);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    raw = nullptr;
    r = sd_bus_call(bus.get(), m.get(), change ? change_timeout_us : 0, &e, &raw);
    reply->reset(raw);
    if (r < 0)
        fail(err, r, &e);
    sd_bus_error_free(&e);
    return r;
}

int no_arguments(sd_bus_message *)
{
    return 0;
}

int read_strings(sd_bus_message *m, std::vector<std::string> *out)
{
    char **strv = nullptr;
    int r = sd_bus_message_read_strv(m, &strv);
    for (char **s = strv; s && *s; ++s) {
        out->emplace_back(*s);
        free(*s);
    }
    free(strv);
    return r;
}

bool below(const std::string &object, const std::string &path)
{
    if (path == "/")
        return object[0] == '/';
    return object.compare(0, path.size(), path) == 0 && (object.size() == path.size() || object[path.size()] == '/');
}

}  // namespace

int daemon_list(std::vector<std::string> *paths, CallError *err)
{
    MessageRef reply;
    sd_bus *raw_bus = nullptr;
    int r = sd_bus_open_system(&raw_bus);
    BusRef bus(raw_bus);
    if (r < 0)
        return fail(err, r);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message *raw = nullptr;
    r = sd_bus_call_method(bus.get(), service, file_object, file_interface, "List", &e, &raw, "");
    reply.reset(raw);
    if (r < 0) {
        fail(err, r, &e);
        sd_bus_error_free(&e);
        return r;
    }
    std::vector<std::string> all;
    if ((r = read_strings(reply.get(), &all)) < 0)
        return fail(err, r);
    paths->clear();
    for (const std::string &p : all)
        if (p.compare(0, sizeof camera_prefix - 1, camera_prefix) != 0)
            paths->push_back(p);
    std::sort(paths->begin(), paths->end());
    return 0;
}

int daemon_read(const Target &target, Protection *out, CallError *err)
{
    MessageRef mode_reply, apps_reply;
    int r = call(target, "GetMode", false, no_arguments, &mode_reply, err);
    if (r < 0)
        return r;
    int mode = 1, allow = 0;
    out->target = target;
    out->apps.clear();
    if ((r = sd_bus_message_read(mode_reply.get(), "i", &mode)) < 0 ||
        (r = call(target, "GetApps", false, no_arguments, &apps_reply, err)) < 0 ||
        (r = read_strings(apps_reply.get(), &out->apps)) < 0 ||
        (r = sd_bus_message_read(apps_reply.get(), "b", &allow)) < 0)
        return err->message.empty() ? fail(err, r) : r;
    out->mode = mode == mode_blocked ? Mode::blocked
              : mode == mode_listed  ? (allow ? Mode::only_listed : Mode::all_but_listed)
                                     : Mode::unprotected;
    return 0;
}

int daemon_change(const Target &target, Mode mode, const std::vector<std::string> &apps, CallError *err)
{
    MessageRef reply;
    if (mode == Mode::unprotected || mode == Mode::blocked) {
        const int32_t set = mode == Mode::blocked ? set_blocked : set_unprotected;
        return call(target, "SetMode", true, [&](sd_bus_message *m) { return sd_bus_message_append(m, "i", set); },
                    &reply, err);
    }
    auto append = [&](sd_bus_message *m) {
        int r = sd_bus_message_open_container(m, 'a', "s");
        for (size_t i = 0; r >= 0 && i < apps.size(); ++i)
            r = sd_bus_message_append(m, "s", apps[i].c_str());
        if (r >= 0)
            r = sd_bus_message_close_container(m);
        return r < 0 ? r : sd_bus_message_append(m, "b", mode == Mode::only_listed ? 1 : 0);
    };
    return call(target, "Enable", true, append, &reply, err);
}

Protection allowing(const Protection &p, const std::string &app)
{
    Protection out = p;
    auto listed = std::find(out.apps.begin(), out.apps.end(), app);
    switch (p.mode) {
    case Mode::only_listed:
        if (listed == out.apps.end())
            out.apps.push_back(app);
        break;
    case Mode::all_but_listed:
        if (listed != out.apps.end())
            out.apps.erase(listed);
        break;
    case Mode::blocked:
        out.mode = Mode::only_listed;
        out.apps = {app};
        break;
    case Mode::unprotected:
        break;
    }
    return out;
}

std::string nearest_protection(const std::vector<std::string> &paths, const std::string &object)
{
    std::string best;
    for (const std::string &p : paths)
        if (below(object, p) && p.size() > best.size())
            best = p;
    return best;
}
