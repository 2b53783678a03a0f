// SPDX-License-Identifier: GPL-2.0-or-later
// A running quorvane_daemon on a private system bus inside the test's sandbox,
// and the clients that talk to it.
#pragma once

#include <string>
#include <vector>

#include "harness.h"

namespace qvt {

constexpr char service_name[] = "com.zentavo.Quorvane1";
constexpr char file_object[] = "/com/zentavo/Quorvane1";
constexpr char file_iface[] = "com.zentavo.Quorvane1";
constexpr char camera_object[] = "/com/zentavo/Quorvane1/CameraControl";
constexpr char camera_iface[] = "com.zentavo.Quorvane1.CameraControl";

struct DaemonEnv {
    Sandbox sb;
    Bus bus;
    Proc daemon;
    std::string stub_path;  // folder of the recording systemctl
};

// Sandbox, private system bus (DBUS_SYSTEM_BUS_ADDRESS set for every child),
// and the daemon owning its name. Returns "" or the reason to skip.
std::string start_daemon_env(DaemonEnv *env, const SandboxOptions &opts = {});
void stop_daemon_env(DaemonEnv *env);

// Starts one more daemon process on the environment's bus.
Proc start_daemon(DaemonEnv *env);

// /usr/bin/dbus-send --system --print-reply to the service; args are
// dbus-send's own argument words ("string:/x", "array:string:/a,/b", ...).
RunResult dbus_send(const std::string &object, const std::string &iface, const std::string &member,
                    const std::vector<std::string> &args = {});

// Values of a --print-reply output, in order.
std::vector<std::string> reply_strings(const std::string &out);
int reply_int32(const std::string &out);       // -999 when absent
int reply_boolean(const std::string &out);     // 1, 0, or -1 when absent

// The error name printed by dbus-send for a failed call ("" when none).
std::string reply_error(const RunResult &r);
// The same with its message, "name: message" ("" when none).
std::string reply_error_line(const RunResult &r);

// Runs Python code with the given interpreter (e.g. /usr/bin/python3 or a
// copy at /usr/bin/python3.7); the code may use `bus`, a dbus.SystemBus(),
// and `svc`, a helper: svc(object, iface, member, *args).
RunResult python_client(const std::string &interpreter, const std::string &code);

}  // namespace qvt
