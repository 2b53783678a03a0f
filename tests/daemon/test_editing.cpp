// SPDX-License-Identifier: GPL-2.0-or-later
// The exact library call sequences of profile editing and the camera fan-out,
// checked against a recording stand-in for libquorvane's functions. The unit
// commands still run, through the recording systemctl of the sandbox.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "camera.h"
#include "profiles.h"
#include "harness.h"
#include "quorvane.h"
#include "recording_library.h"

namespace {

using Strings = std::vector<std::string>;
qvt::RecordedLibrary &lib = qvt::library;

Strings nodes_with(const std::string &verb)
{
    Strings out;
    for (char d = '0'; d <= '8'; ++d)
        out.push_back(verb + " /dev/video" + d);
    return out;
}

Strings concat(std::initializer_list<Strings> parts)
{
    Strings out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Editing : public ::testing::Test {
protected:
    void SetUp() override
    {
        lib = {};
        std::string why = qvt::enter_sandbox(&sb);
        if (!why.empty())
            GTEST_SKIP() << why;
        old_path = getenv("PATH");
        setenv("PATH", (qvt::install_systemctl_stub(&sb) + ":/usr/bin:/bin").c_str(), 1);
    }
    void TearDown() override
    {
        if (!old_path.empty())
            setenv("PATH", old_path.c_str(), 1);
        qvt::leave_sandbox(&sb);
    }

    // Runs f with standard error captured into a file.
    template <typename F>
    std::string capture_stderr(F f)
    {
        return qvt::capture(sb.scratch, f).err;
    }

    qvt::Sandbox sb;
    std::string old_path;
};

TEST_F(Editing, CameraProfileIsStoredThenCopiedToNineNodes)
{
    int r = set_profile("/dev/video0", {"/usr/bin/cheese"}, "/usr/bin/dbus-send", Allow);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(lib.calls, concat({{"set+update /dev/video0"}, nodes_with("set"), {"update"}}));
    ASSERT_EQ(lib.stored.size(), 10u);
    for (size_t i = 1; i < lib.stored.size(); ++i) {
        EXPECT_EQ(lib.stored[i].rules.size(), 1u);
        EXPECT_EQ(lib.stored[i].rules[0].app_paths, Strings{"/usr/bin/cheese"});
        EXPECT_EQ(lib.stored[i].own_app, "/usr/bin/dbus-send");
    }
    EXPECT_EQ(qvt::systemctl_calls(sb), Strings{"disable quorvane.service"});  // the stand-in writes no files
}

TEST_F(Editing, EveryStoredRuleCarriesTheFixedFields)
{
    const Strings apps = {"/usr/bin/a", "*", "/usr/bin/a"};
    ASSERT_EQ(set_profile("/home/u/x", apps, "/usr/bin/python3.7", Deny), 0);
    ASSERT_EQ(set_profile("/home/u/y", {}, "", Allow), 0);
    EXPECT_EQ(lib.calls, (Strings{"set+update /home/u/x", "set+update /home/u/y"}));
    ASSERT_EQ(lib.stored.size(), 2u);
    const QvProfile &p = lib.stored[0];
    EXPECT_EQ(p.file, "/home/u/x");
    EXPECT_EQ(p.own_app, "/usr/bin/python3.7");
    EXPECT_EQ(p.version, "0.0.1");
    EXPECT_EQ(p.profile_mode, Enforce);
    ASSERT_EQ(p.rules.size(), 1u);
    EXPECT_EQ(p.rules[0].deny, Deny);
    EXPECT_EQ(p.rules[0].uids, std::vector<uint32_t>{4294967295u});
    EXPECT_EQ(p.rules[0].app_paths, apps);
    EXPECT_EQ(p.rules[0].permission, 15u);
    EXPECT_TRUE(lib.stored[1].rules[0].app_paths.empty());
    EXPECT_EQ(lib.stored[1].rules[0].deny, Allow);
}

TEST_F(Editing, FanOutFailures)
{
    // One node fails: one message naming it, the rest still stored and
    // reloaded, and the edit fails with the node's error: the camera is not
    // guarded while a node is not.
    lib.set_result["/dev/video4"] = -ENOSPC;
    std::string err = capture_stderr([] { EXPECT_EQ(set_profile("/dev/video0", {"/a"}, "/o", Allow), -ENOSPC); });
    EXPECT_EQ(lib.calls, concat({{"set+update /dev/video0"}, nodes_with("set"), {"update"}}));
    EXPECT_EQ(err.find("qv_set_profile failed: /dev/video4\n"), err.rfind("qv_set_profile failed"));
    EXPECT_NE(err.find("camera.cpp("), std::string::npos);
    EXPECT_NE(err.find("-> update_all_device_video_profile failed.\n"), std::string::npos);
    EXPECT_EQ(qvt::systemctl_calls(sb).size(), 0u);
    lib.set_result.clear();
    ASSERT_EQ(set_profile("/dev/video0", {"/a"}, "/o", Allow), 0);
    EXPECT_EQ(qvt::systemctl_calls(sb).size(), 1u);

    // A failed reload fails the edit; the unit is not switched.
    lib.calls.clear();
    lib.update_result = -EIO;
    err = capture_stderr([] { EXPECT_EQ(set_profile("/dev/video0", {"/a"}, "/o", Allow), -EIO); });
    EXPECT_NE(err.find("-> update_all_device_video_profile failed.\n"), std::string::npos);
    EXPECT_EQ(qvt::systemctl_calls(sb).size(), 1u);
    err = capture_stderr([] { EXPECT_EQ(delete_profile("/dev/video0"), -EIO); });
    EXPECT_NE(err.find("-> delete_all_device_video_profile failed.\n"), std::string::npos);
    EXPECT_EQ(qvt::systemctl_calls(sb).size(), 1u);

    // A positive failure from the library still reaches the caller as an error.
    lib.update_result = 7;
    capture_stderr([] { EXPECT_EQ(set_profile("/dev/video0", {"/a"}, "/o", Allow), -EIO); });
}

TEST_F(Editing, FanOutByRuleCount)
{
    QvProfile p;
    p.file = "/dev/video0";
    p.rules.resize(2);
    EXPECT_EQ(update_all_device_video_profile(p), 0);
    EXPECT_TRUE(lib.calls.empty());

    p.rules.clear();
    lib.update_result = -5;
    EXPECT_EQ(update_all_device_video_profile(p), -5);
    EXPECT_EQ(lib.calls, concat({nodes_with("del"), {"update"}}));
    EXPECT_EQ(p.file, "/dev/video0");

    lib.calls.clear();
    p.rules.resize(1);
    lib.update_result = 0;
    EXPECT_EQ(update_all_device_video_profile(p), 0);
    EXPECT_EQ(lib.calls, concat({nodes_with("set"), {"update"}}));
    EXPECT_EQ(p.file, "/dev/video8");
}

TEST_F(Editing, DeletionSequences)
{
    // A stored profile is deleted and reloaded, the camera's nodes follow.
    EXPECT_EQ(delete_profile("/dev/video0"), 0);
    EXPECT_EQ(lib.calls, concat({{"del /dev/video0", "update"}, nodes_with("del"), {"update"}}));
    // Nothing to delete: no reload, no message, still the unit switch.
    lib.calls.clear();
    lib.del_result = -ENOENT;
    std::string err = capture_stderr([] { EXPECT_EQ(delete_profile("/home/u/none"), 0); });
    EXPECT_EQ(lib.calls, Strings{"del /home/u/none"});
    EXPECT_EQ(err, "");
    EXPECT_EQ(qvt::systemctl_calls(sb), (Strings{"disable quorvane.service", "disable quorvane.service"}));
    // A failed store: the library's result, no fan-out, no unit switch.
    lib.calls.clear();
    lib.set_and_update_result = -EACCES;
    err = capture_stderr([] { EXPECT_EQ(set_profile("/dev/video0", {"*"}, "/o", Deny), -EACCES); });
    EXPECT_EQ(lib.calls, Strings{"set+update /dev/video0"});
    EXPECT_NE(err.find("-> qv_set_and_update_profile failed. file = /dev/video0\n"), std::string::npos);
    EXPECT_EQ(qvt::systemctl_calls(sb).size(), 2u);
    // No systemctl at all: said, and the deletion still stands.
    setenv("PATH", "/nonexistent", 1);
    lib.calls.clear();
    lib.del_result = 0;
    err = capture_stderr([] { EXPECT_EQ(delete_profile("/home/u/gone"), 0); });
    EXPECT_NE(err.find("-> \"systemctl disable quorvane.service\" failed with exit status 127\n"), std::string::npos)
        << err;
}

TEST_F(Editing, DirectoryCount)
{
    const std::string dir = sb.scratch + "/count";
    EXPECT_EQ(get_dir_file_count(dir.c_str()), -1);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(get_dir_file_count(dir.c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    qvt::write_file(dir + "/sub/inner", "x");
    qvt::write_file(sb.scratch + "/elsewhere", "x");
    ASSERT_EQ(symlink((sb.scratch + "/elsewhere").c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(get_dir_file_count(dir.c_str()), 0);
    qvt::write_file(dir + "/.dot", "");
    EXPECT_EQ(get_dir_file_count(dir.c_str()), 1);
    EXPECT_EQ(get_dir_file_count((dir + "/").c_str()), 1);  // doubled slash is fine
}

}  // namespace
