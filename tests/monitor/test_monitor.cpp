// SPDX-License-Identifier: GPL-2.0-or-later
// The camera hot-plug monitor with the real store: reconciliation over a
// stand-in device tree, device events delivered to a started monitor as the
// device manager sends them, and the bus thread's fan-out running beside it.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "camera.h"
#include "harness.h"
#include "monitor_env.h"
#include "quorvane.h"

namespace {

using Strings = std::vector<std::string>;
using qvt::FakeDevice;
using qvt::no_camera;
using qvt::sample_machine;

QvProfile camera_profile(size_t rules)
{
    QvProfile p;
    p.file = CAMERA_DEVPATH;
    p.own_app = "/usr/bin/quorvane-settings";
    p.profile_mode = Enforce;
    for (size_t i = 0; i < rules; ++i) {
        QvRule r;
        r.app_paths = {"/usr/bin/cheese", "/usr/bin/zoom-" + std::to_string(i)};
        r.permission = 7;
        p.rules.push_back(r);
    }
    return p;
}

QvProfile stale_profile(const std::string &node)
{
    QvProfile p = camera_profile(1);
    p.file = node;
    p.own_app = "/usr/bin/old-settings";
    p.rules[0].deny = Deny;
    return p;
}

// Everything but file, readable in a failure message.
std::string fields(const QvProfile &p)
{
    std::string s = p.own_app + "|" + p.version + "|" + std::to_string(p.profile_mode);
    for (const auto &r : p.rules) {
        s += "|" + std::to_string(r.deny) + ":" + std::to_string(r.permission);
        for (auto u : r.uids)
            s += " u" + std::to_string(u);
        for (const auto &a : r.app_paths)
            s += " " + a;
    }
    return s;
}

bool stored(const std::string &node)
{
    return !qv_get_profile(node).rules.empty();
}

// The syspaths that dump_device_info printed, in order.
Strings dumped_syspaths(const std::string &out)
{
    Strings paths;
    const std::string key = "-> syspath = ";
    for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1))
        paths.push_back(out.substr(at + key.size(), out.find('\n', at) - at - key.size()));
    return paths;
}

class Monitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = qvt::enter_sandbox(&sb);
        if (why.empty())
            why = qvt::build_device_tree(sample_machine());
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override
    {
        qvt::leave_sandbox(&sb);
        qvt::restore_netns();
    }
    void reset_store(const Strings &nodes, size_t camera_rules)
    {
        for (const auto &f : qv_get_files())
            qv_del_profile(f);
        for (const auto &n : nodes)
            ASSERT_EQ(qv_set_profile(stale_profile(n)), 0);
        if (camera_rules > 0) {
            ASSERT_EQ(qv_set_profile(camera_profile(camera_rules)), 0);
        }
    }
    // A started monitor in a child, in a network namespace of this test's own.
    // Callers return when it skipped or failed.
    void start_monitor(bool fanout = false)
    {
        std::string why = qvt::enter_private_netns();
        if (!why.empty())
            GTEST_SKIP() << why;
        child = qvt::start_monitor_child(&sb, fanout);
        ASSERT_GT(child.pid, 0);
        ASSERT_TRUE(qvt::wait_for_monitor()) << qvt::read_file(child.err_path);
    }
    qvt::Sandbox sb;
    qvt::MonitorChild child;
};

TEST_F(Monitor, ReconcilesThePresentCameraNodes)
{
    const Strings cameras = {"/sys/devices/virtual/video4linux/video0", "/sys/devices/virtual/video4linux/video12",
                             "/sys/devices/virtual/video4linux/video2"};
    struct Row {
        const char *what;
        size_t camera_rules;
        Strings before;                 // node profiles stored beforehand
        std::vector<FakeDevice> tree;
        Strings files;                  // stored afterwards
        Strings copies;                 // of those, copies of the camera profile
        Strings dumped;
    } rows[] = {
        {"one rule: every camera node but the camera's own gets a copy", 1, {"/dev/video2"}, sample_machine(),
         {"/dev/video0", "/dev/video12", "/dev/video2"}, {"/dev/video12", "/dev/video2"}, cameras},
        {"no rules: the camera nodes lose their profiles, others keep theirs", 0,
         {"/dev/video12", "/dev/video2", "/dev/video3", "/dev/video9"}, sample_machine(), {"/dev/video3", "/dev/video9"},
         {}, cameras},
        {"two rules: nothing at all", 2, {"/dev/video12"}, sample_machine(), {"/dev/video0", "/dev/video12"}, {}, {}},
        {"no camera on the machine", 1, {}, no_camera(), {"/dev/video0"}, {}, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(qvt::build_device_tree(row.tree), "");
        reset_store(row.before, row.camera_rules);
        int res = -999;
        qvt::Captured c = qvt::capture(sb.scratch, [&] { res = update_camera_profile(); });
        EXPECT_EQ(res, 0);
        EXPECT_EQ(c.err, "");
        EXPECT_EQ(qv_get_files(), row.files);
        for (const auto &node : row.copies)
            EXPECT_EQ(fields(qv_get_profile(node)), fields(camera_profile(1))) << node;
        if (row.camera_rules == 2) {
            EXPECT_EQ(fields(qv_get_profile("/dev/video12")), fields(stale_profile("/dev/video12")));
        }
        EXPECT_EQ(dumped_syspaths(qvt::strip_heads(c.out)), row.dumped);
        if (row.dumped.empty()) {
            EXPECT_EQ(c.out, "");
        }
    }
}

TEST_F(Monitor, DumpsDeviceDescriptions)
{
    FakeDevice lo;
    lo.subsystem = "net";
    lo.name = "lo";
    lo.ifindex = 1;
    lo.db = {"ID_NET_NAME=lo"};
    std::vector<FakeDevice> tree = sample_machine();
    tree.push_back(lo);
    ASSERT_EQ(qvt::build_device_tree(tree), "");
    struct Row {
        std::string syspath;
        std::string out;
    } rows[] = {
        {"/sys/devices/virtual/video4linux/video2",
         "-> syspath = /sys/devices/virtual/video4linux/video2\n"
         "-> DEVPATH: /devices/virtual/video4linux/video2\n"
         "-> DEVNAME: /dev/video2\n"
         "-> MAJOR: 81\n"
         "-> MINOR: 2\n"
         "-> SUBSYSTEM: video4linux\n"
         "-> USEC_INITIALIZED: 1000000\n"
         "-> ID_TYPE: video\n"
         "-> ID_V4L_PRODUCT: Integrated Camera\n"
         "-> \n\n"},
        {"/sys/devices/virtual/net/lo",
         "-> syspath = /sys/devices/virtual/net/lo\n"
         "-> ifindex = 1\n"
         "-> DEVPATH: /devices/virtual/net/lo\n"
         "-> INTERFACE: lo\n"
         "-> IFINDEX: 1\n"
         "-> SUBSYSTEM: net\n"
         "-> USEC_INITIALIZED: 1000000\n"
         "-> ID_NET_NAME: lo\n"
         "-> \n\n"},
    };
    for (const auto &row : rows) {
        sd_device *device = nullptr;
        ASSERT_EQ(sd_device_new_from_syspath(&device, row.syspath.c_str()), 0) << row.syspath;
        qvt::Captured c = qvt::capture(sb.scratch, [&] { dump_device_info(device); });
        sd_device_unref(device);
        EXPECT_EQ(qvt::strip_heads(c.out), row.out);
        EXPECT_EQ(c.err, "");
    }
}

TEST_F(Monitor, FailingReloadEndsTheThreadBeforeMonitoring)
{
    reset_store({"/dev/video2"}, 1);
    // Without its directory the store can be neither read nor put in force.
    ASSERT_EQ(umount(QV_STORE_DIR), 0);
    ASSERT_EQ(rmdir(QV_STORE_DIR), 0);
    qvt::ThreadEnd end = qvt::run_monitor_thread_body(&sb);
    ASSERT_EQ(end.status, 0) << "the monitor started";
    EXPECT_EQ(end.result, -ENOENT);
    EXPECT_EQ(qvt::strip_heads(end.err), "-> update_camera_profile failed.\n");
}

TEST_F(Monitor, TwoRulesStillStartTheMonitor)
{
    reset_store({}, 2);
    start_monitor();
    if (IsSkipped() || HasFatalFailure())
        return;
    EXPECT_EQ(qvt::read_file(child.out_path), "");
    EXPECT_EQ(qvt::read_file(child.err_path), "");
    EXPECT_EQ(qv_get_files(), Strings{"/dev/video0"});
}

TEST_F(Monitor, CopiesTheCameraProfileToAddedCameras)
{
    ASSERT_EQ(qvt::build_device_tree(no_camera()), "");
    reset_store({}, 1);
    start_monitor();
    if (IsSkipped() || HasFatalFailure())
        return;
    struct Step {
        const char *what;
        size_t camera_rules;            // stored under /dev/video0 before the events
        std::vector<qvt::DeviceEvent> events;
        Strings files;                  // stored once they are handled
    } steps[] = {
        {"an added camera gets a copy", 1, {{"add", "video2"}}, {"/dev/video0", "/dev/video2"}},
        {"removal keeps the node's profile; video12 counts", 1, {{"remove", "video2"}, {"add", "video12"}},
         {"/dev/video0", "/dev/video12", "/dev/video2"}},
        {"no rules: nothing stored, nothing deleted", 0, {{"add", "video5"}, {"change", "video2"}},
         {"/dev/video12", "/dev/video2"}},
        {"not cameras, and the camera's own node", 1,
         {{"add", "video6", "Video"}, {"add", "video7", ""}, {"bind", "video8"}, {"add", "video0"}},
         {"/dev/video0", "/dev/video12", "/dev/video2"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        if (step.camera_rules == 0) {
            ASSERT_EQ(qv_del_profile(CAMERA_DEVPATH), 0);
        } else if (!stored(CAMERA_DEVPATH)) {
            ASSERT_EQ(qv_set_profile(camera_profile(step.camera_rules)), 0);
        }
        for (const auto &ev : step.events)
            ASSERT_EQ(qvt::send_device_event(ev), 0);
        ASSERT_TRUE(qvt::wait_for_monitor_idle(child.pid));
        EXPECT_EQ(qv_get_files(), step.files);
        for (const auto &f : step.files)
            EXPECT_EQ(fields(qv_get_profile(f)), fields(camera_profile(1))) << f;
    }
    EXPECT_EQ(qvt::read_file(child.out_path), "");
    EXPECT_EQ(qvt::read_file(child.err_path), "");
}

TEST_F(Monitor, AFailedStoreIsPrintedAndLaterCamerasAreStillHeard)
{
    ASSERT_EQ(qvt::build_device_tree(no_camera()), "");
    reset_store({}, 1);
    start_monitor();
    if (IsSkipped() || HasFatalFailure())
        return;
    struct Step {
        const char *what;
        unsigned long store_flags;  // the store's mount, remounted so
        const char *name;
        const char *printed;        // on standard error, heads stripped
        Strings files;
    } steps[] = {
        {"a read-only store: printed", MS_RDONLY, "video2", "-> qv_set_profile failed: /dev/video2\n",
         {"/dev/video0"}},
        {"writable again: the next camera is stored", 0, "video12", "-> qv_set_profile failed: /dev/video2\n",
         {"/dev/video0", "/dev/video12"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_EQ(mount(nullptr, QV_STORE_DIR, nullptr, MS_REMOUNT | MS_BIND | step.store_flags, nullptr), 0);
        ASSERT_EQ(qvt::send_device_event({"add", step.name}), 0);
        ASSERT_TRUE(qvt::wait_for_monitor_idle(child.pid));
        EXPECT_EQ(qvt::strip_heads(qvt::read_file(child.err_path)), step.printed);
        EXPECT_EQ(qv_get_files(), step.files);
    }
}

TEST_F(Monitor, FanOutBesideTheMonitorIsRaceFree)
{
    reset_store({}, 1);
    start_monitor(true);
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(qvt::wait_for_text(child.out_path, "fanning\n"));
    // /dev/video1../dev/video8 are written by both threads; the rest only by
    // the monitor, so they show when it is done.
    const int last_node = 32;
    for (int n = 1; n <= last_node; ++n)
        ASSERT_EQ(qvt::send_device_event({"add", "video" + std::to_string(n)}), 0);
    ASSERT_TRUE(qvt::wait_until([&] {
        for (int n = 9; n <= last_node; ++n)
            if (!stored("/dev/video" + std::to_string(n)))
                return false;
        return true;
    }));
    EXPECT_EQ(qvt::stop_monitor_child(&sb, &child), 0) << qvt::read_file(child.err_path);
    const std::string out = qvt::read_file(child.out_path);
    EXPECT_NE(out.find("failed 0\n"), std::string::npos) << out;
    if (size_t at = out.rfind("fan-outs"); at != std::string::npos)
        std::printf("%s", out.substr(at).c_str());
    // ThreadSanitizer reports go to standard error; so would any store failure.
    EXPECT_EQ(qvt::read_file(child.err_path), "");
    const Strings files = qv_get_files();
    EXPECT_EQ(files.size(), static_cast<size_t>(last_node + 1));
    for (const auto &f : files)
        EXPECT_EQ(fields(qv_get_profile(f)), fields(camera_profile(1))) << f;
}

}  // namespace
