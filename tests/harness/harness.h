// SPDX-License-Identifier: GPL-2.0-or-later
// Test harness: every test runs in a private mount namespace of its own, with
// the fixed paths of the system (/etc/quorvane.d, the notifier's event file,
// /usr/bin) laid over by tmpfs or overlay mounts that vanish with the
// namespace, private buses started from generated configurations, and the
// real programs run as child processes.
//
// ctest runs each test case as its own process (gtest_discover_tests), so a
// sandbox lives exactly as long as one test. leave_sandbox() returns to the
// host namespace too, so a binary run by hand can run all its cases.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "quorvane.h"  // QV_STORE_DIR: the profile store every sandbox lays a tmpfs on

namespace qvt {

struct SandboxOptions {
    // Mount options of the tmpfs put on /etc/quorvane.d.
    std::string store_tmpfs = "size=16m,mode=0755";
    // false: no /etc/quorvane.d at all inside the sandbox.
    bool store_present = true;
};

struct Sandbox {
    std::string scratch;   // private tmpfs, holds sockets, logs, stubs
    int saved_ns = -1;     // host mount namespace, to return to
    std::vector<pid_t> children;  // killed by leave_sandbox
};

// Enters a fresh private mount namespace: a tmpfs on a new scratch folder, a
// writable overlay over /etc and the store tmpfs. Returns "" on success, or why
// the machine cannot give one (not root, no namespaces): the test then skips.
std::string enter_sandbox(Sandbox *sb, const SandboxOptions &opts = {});

// Kills the sandbox's children, returns to the host namespace, removes scratch.
void leave_sandbox(Sandbox *sb);

// A writable overlay over dir (e.g. "/usr/bin"), inside the sandbox only.
// Returns 0 or a negative errno.
int overlay_dir(Sandbox *sb, const std::string &dir);

// A tmpfs on path (created first if missing), e.g. "/sys/kernel/security".
int mount_tmpfs(const std::string &path, const std::string &options = "mode=0755");

// A private /tmp (X servers keep their sockets and locks there), with the
// sandbox's scratch folder, and the source and build trees where they lie
// in /tmp (a checkout there), bound back into it. 0 or -errno.
int private_tmp(const Sandbox &sb);

// Writes an executable stub `systemctl` into scratch/stubbin that appends its
// arguments, one line per call, to scratch/systemctl.log. Returns the folder
// to put first on PATH.
std::string install_systemctl_stub(Sandbox *sb);
// Lines recorded by the stub so far.
std::vector<std::string> systemctl_calls(const Sandbox &sb);

struct Proc {
    pid_t pid = -1;
    std::string out_path;  // its standard output
    std::string err_path;  // its standard error
};

// Starts argv[0] (a full path) with extra "NAME=value" entries on top of the
// current environment; stdout and stderr go to files in scratch. The child is
// recorded in sb->children.
Proc spawn(Sandbox *sb, const std::vector<std::string> &argv,
           const std::vector<std::string> &env = {});

struct RunResult {
    int status = -1;       // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv to completion (killed after timeout_ms), feeding input on stdin.
RunResult run(const std::vector<std::string> &argv,
              const std::vector<std::string> &env = {},
              const std::string &input = "", int timeout_ms = 30000);

// Waits for pid to exit; returns its status as RunResult::status, or -1 on
// timeout (the process is left running).
int wait_exit(pid_t pid, int timeout_ms = 30000);

// The resident memory of process pid in KiB (VmRSS), or -1.
long vm_rss_kib(pid_t pid);

// SIGKILL and reap.
void kill_and_wait(pid_t pid);

struct Bus {
    pid_t pid = -1;
    std::string address;   // "unix:path=...", for DBUS_*_BUS_ADDRESS
};

// Starts a private dbus-daemon of kind "system" or "session" with a
// permissive generated configuration on a socket in scratch; extra_config is
// inserted into <busconfig> (e.g. <includedir>). Returns "" or an error text.
std::string start_bus(Sandbox *sb, const std::string &kind, Bus *bus,
                      const std::string &extra_config = "");

// Waits until name has an owner on the bus at address (watches
// NameOwnerChanged; no sleeping). false on timeout.
bool wait_for_name(const std::string &address, const std::string &name,
                   int timeout_ms = 10000);

// Waits until the file at path contains needle (polled every few
// milliseconds, bounded by timeout_ms). false on timeout.
bool wait_for_text(const std::string &path, const std::string &needle,
                   int timeout_ms = 10000);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, int mode = 0644);
// Names in dir without "." and "..", sorted.
std::vector<std::string> list_dir(const std::string &dir);
// Names of the regular files directly in dir, sorted.
std::vector<std::string> regular_files(const std::string &dir);

// Creates path and its missing parents (like mkdir -p). 0 or -errno.
int mkdir_p(const std::string &path, mode_t mode = 0755);

struct Captured {
    std::string out, err;
};
// Runs fn with standard output and error sent to files in dir.
Captured capture(const std::string &dir, const std::function<void()> &fn);

// Built programs and source files.
std::string binary_path(const std::string &relative);  // in the build tree
std::string source_path(const std::string &relative);  // in the source tree

}  // namespace qvt
