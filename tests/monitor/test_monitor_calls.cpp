// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's exact library call sequences (how many stores, deletions and
// reloads), against a recording stand-in for libquorvane's functions, with
// devices that libsystemd builds from the stand-in device tree.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "camera.h"
#include "harness.h"
#include "monitor_env.h"
#include "quorvane.h"
#include "recording_library.h"

namespace {

using Strings = std::vector<std::string>;
qvt::RecordedLibrary &lib = qvt::library;

QvProfile camera_with(size_t rules)
{
    QvProfile p;
    p.file = CAMERA_DEVPATH;
    p.own_app = "/usr/bin/quorvane-settings";
    p.profile_mode = Enforce;
    for (size_t i = 0; i < rules; ++i) {
        QvRule r;
        r.app_paths = {"/usr/bin/cheese"};
        r.permission = 3;
        p.rules.push_back(r);
    }
    return p;
}

class MonitorCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = qvt::enter_sandbox(&sb);
        if (why.empty())
            why = qvt::build_device_tree(qvt::sample_machine());
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override { qvt::leave_sandbox(&sb); }
    void reset(size_t rules, std::map<std::string, int> set = {}, int update = 0)
    {
        lib = {};
        lib.profiles[CAMERA_DEVPATH] = camera_with(rules);
        lib.set_result = std::move(set);
        lib.update_result = update;
    }
    qvt::Sandbox sb;
};

TEST_F(MonitorCalls, HandlerStoresOnlyForAddedCameras)
{
    const Strings stores_video2 = {"get /dev/video0", "set /dev/video2"};
    struct Row {
        const char *what;
        std::string action;   // written to the device's uevent file; "" for none
        std::string name;
        size_t rules;
        int store_result;
        Strings calls;
        int result;
        const char *printed = "";
    } rows[] = {
        {"added camera: one store, no reload", "add", "video2", 1, 0, stores_video2, 0},
        {"a failed store is printed, and the monitor goes on", "add", "video2", 1, -ENOSPC, stores_video2, 0,
         "-> qv_set_profile failed: /dev/video2\n"},
        {"any number", "add", "video12", 1, 0, {"get /dev/video0", "set /dev/video12"}, 0},
        {"the camera's own node", "add", "video0", 1, 0, {}, 0},
        {"removal", "remove", "video2", 1, 0, {}, 0},
        {"change", "change", "video2", 1, 0, {}, 0},
        {"no action", "", "video2", 1, 0, {}, 0},
        {"no rules: nothing deleted", "add", "video2", 0, 0, {"get /dev/video0"}, 0},
        {"two rules: nothing copied", "add", "video2", 2, 0, {"get /dev/video0"}, 0},
        {"not a camera", "add", "video3", 1, 0, {}, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        reset(row.rules, {{"/dev/" + row.name, row.store_result}});
        const std::string syspath = "/sys/devices/virtual/video4linux/" + row.name;
        if (!row.action.empty())
            qvt::write_file(syspath + "/uevent",
                            qvt::read_file(syspath + "/uevent") + "ACTION=" + row.action + "\n");
        sd_device *device = nullptr;
        ASSERT_EQ(sd_device_new_from_syspath(&device, syspath.c_str()), 0);
        int res = -999;
        qvt::Captured c = qvt::capture(sb.scratch, [&] { res = device_monitor_handler(nullptr, device, nullptr); });
        sd_device_unref(device);
        ASSERT_EQ(qvt::build_device_tree(qvt::sample_machine()), "");  // drops the ACTION again
        EXPECT_EQ(lib.calls, row.calls);
        EXPECT_EQ(res, row.result);
        EXPECT_EQ(c.out, "");
        EXPECT_EQ(qvt::strip_heads(c.err), row.printed);
        if (!lib.stored.empty()) {
            EXPECT_EQ(lib.stored[0].rules.size(), 1u);
            EXPECT_EQ(lib.stored[0].own_app, lib.profiles[CAMERA_DEVPATH].own_app);
            EXPECT_EQ(lib.stored[0].profile_mode, Enforce);
        }
    }
}

TEST_F(MonitorCalls, ReconciliationReloadsOnce)
{
    struct Row {
        const char *what;
        bool cameras;
        size_t rules;
        std::map<std::string, int> set;
        int update;
        Strings calls;
        int result;
        std::string err;
    } rows[] = {
        {"one rule", true, 1, {}, 0,
         {"get /dev/video0", "set /dev/video12", "set /dev/video2", "update"}, 0, ""},
        {"no rules", true, 0, {}, 0,
         {"get /dev/video0", "del /dev/video12", "del /dev/video2", "update"}, 0, ""},
        {"two rules", true, 2, {}, 0, {"get /dev/video0"}, 0, ""},
        {"no camera", false, 1, {}, 0, {"get /dev/video0", "update"}, 0, ""},
        {"a failed store does not stop the walk", true, 1, {{"/dev/video12", -ENOSPC}}, 0,
         {"get /dev/video0", "set /dev/video12", "set /dev/video2", "update"}, 0,
         "-> qv_set_profile failed: /dev/video12\n"},
        {"the reload's failure is the result", true, 1, {}, -EIO,
         {"get /dev/video0", "set /dev/video12", "set /dev/video2", "update"}, -EIO, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(qvt::build_device_tree(row.cameras ? qvt::sample_machine() : qvt::no_camera()), "");
        reset(row.rules, row.set, row.update);
        int res = -999;
        qvt::Captured c = qvt::capture(sb.scratch, [&] { res = update_camera_profile(); });
        EXPECT_EQ(lib.calls, row.calls);
        EXPECT_EQ(res, row.result);
        EXPECT_EQ(qvt::strip_heads(c.err), row.err);
        for (const auto &p : lib.stored)
            EXPECT_EQ(p.rules.size(), 1u) << p.file;
    }
}

TEST_F(MonitorCalls, FailedReloadEndsTheThreadWithItsResult)
{
    reset(1, {}, -EIO);
    qvt::ThreadEnd end = qvt::run_monitor_thread_body(&sb);
    ASSERT_EQ(end.status, 0) << "the monitor started";
    EXPECT_EQ(end.result, -EIO);
    EXPECT_EQ(qvt::strip_heads(end.err), "-> update_camera_profile failed.\n");
}

TEST_F(MonitorCalls, MonitorSetUpFailuresEndTheThread)
{
    struct Row {
        int fd_room;
        std::string err;
    } rows[] = {
        {0, "-> device_protect: Failed to get default event: -24\n"
            "-> device_protect: start_device_monitor failed. res = -24\n"},
        {1, "-> device_protect: Failed to initialize device monitor -24\n"
            "-> device_protect: start_device_monitor failed. res = -24\n"},
    };
    for (const auto &row : rows) {
        reset(2);  // no enumeration: nothing else needs a descriptor
        qvt::ThreadEnd end = qvt::run_monitor_thread_body(&sb, row.fd_room);
        ASSERT_EQ(end.status, 0) << "the monitor started";
        EXPECT_EQ(end.result, -EMFILE);
        EXPECT_EQ(qvt::strip_heads(end.err), row.err);
    }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

TEST_F(MonitorCalls, FailedThreadCreationIsPrinted)
{
    if (sanitized)
        GTEST_SKIP() << "an address-space limit starves the sanitizer's runtime";
    const std::string err_path = sb.scratch + "/thread.err";
    pid_t pid = fork();
    if (pid == 0) {
        // No room for another thread's stack.
        struct rlimit as;
        getrlimit(RLIMIT_AS, &as);
        std::string status = qvt::read_file("/proc/self/statm");
        rlim_t pages = std::stoul(status);
        as.rlim_cur = pages * sysconf(_SC_PAGESIZE) + (1 << 20);
        if (setrlimit(RLIMIT_AS, &as) < 0 || !std::freopen(err_path.c_str(), "w", stderr))
            _exit(2);
        init_device_camera_monitor();
        std::fflush(stderr);
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    ASSERT_EQ(qvt::wait_exit(pid), 0);
    EXPECT_EQ(qvt::strip_heads(qvt::read_file(err_path)),
              "-> device_protect: pthread_create failed: Resource temporarily unavailable\n");
}

}  // namespace
