// SPDX-License-Identifier: GPL-2.0-or-later
// The settings app's only way to protection: calls to quorvane_daemon on the
// system bus. Reads are answered to everyone; changes carry the bus's
// allow-interactive-authorization flag, so polkit may ask the desktop's agent
// for an administrator's password while the call waits.
#pragma once

#include <string>
#include <vector>

// Who may open a protected object.
enum class Mode { unprotected, only_listed, all_but_listed, blocked };

// A protected object: the camera (through its own object), or a path.
struct Target {
    bool camera = false;
    std::string path;  // empty for the camera
};

struct Protection {
    Target target;
    Mode mode = Mode::unprotected;
    std::vector<std::string> apps;  // the listed programs' paths
};

// Why a call failed: the bus error's name and message.
struct CallError {
    std::string name, message;
};

// The protected paths, the camera's device nodes left out. 0 or -errno.
int daemon_list(std::vector<std::string> *paths, CallError *err);
int daemon_read(const Target &target, Protection *out, CallError *err);

// Stores target's protection as mode with apps (unprotected lifts it). May
// wait for a password: call it off the interface's thread. 0 or -errno.
int daemon_change(const Target &target, Mode mode, const std::vector<std::string> &apps, CallError *err);

// The protection after allowing app where p refused it: added to an allow
// list, taken off a deny list; a blocked object lets only app in.
Protection allowing(const Protection &p, const std::string &app);

// The nearest protected path at or above object (by whole path components),
// or "" when none of paths covers it.
std::string nearest_protection(const std::vector<std::string> &paths, const std::string &object);
