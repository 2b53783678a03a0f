// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon under attack: a private system bus, the real quorvane_daemon
// started after the test has laid out its store (the daemon gets a mount
// namespace of its own, so its view is fixed at launch), the accepted
// dbus-send for ordinary calls and an accepted Python for the rest.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "daemon_env.h"

namespace qvh {

using Strings = std::vector<std::string>;

// Every entry below dir, recursively, with its kind and contents: two equal
// snapshots mean nothing was written, renamed, left behind or removed.
std::map<std::string, std::string> tree_snapshot(const std::string &dir);

class HostileEnv : public ::testing::Test {
public:
    // Sandbox, bus and stub; the store is laid out by the test afterwards.
    // extra_bus_config replaces the bus's default policy (qvt::start_bus).
    void enter(const qvt::SandboxOptions &opts = {}, const std::string &extra_bus_config = "");
    // Starts the daemon through launcher (words put before the program) and
    // waits for its name. confined: every mount but the store and the
    // systemctl log is read-only for it.
    void launch(const Strings &launcher = {}, bool confined = true);
    void TearDown() override;

    // Makes /usr/bin/python3.7 an accepted interpreter (before launch).
    void install_python37();
    // Runs code with the accepted interpreter; svc() as in qvt::python_client.
    qvt::RunResult python(const std::string &code);

    // Calls through the accepted dbus-send, each timed into slowest_ms.
    qvt::RunResult call(const std::string &object, const std::string &iface, const std::string &member,
                        const Strings &args = {});
    qvt::RunResult enable(const std::string &path, const Strings &apps, bool allow);
    qvt::RunResult setmode(const std::string &path, int mode);
    int getmode(const std::string &path);
    std::pair<Strings, int> getapps(const std::string &path);
    Strings list();

    std::string daemon_err() const { return qvt::read_file(env.daemon.err_path); }
    Strings unit_calls() const { return qvt::systemctl_calls(env.sb); }
    // Per-mount options ("ro,..." or "rw,...") of the top mount at mountpoint
    // as the daemon sees it; "" when none.
    std::string daemon_mount_options(const std::string &mountpoint) const;
    // The daemon is still the process that was launched, alive.
    bool daemon_alive() const;

    qvt::DaemonEnv env;
    double slowest_ms = 0;
};

}  // namespace qvh
