// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_daemon end to end: the real service on a private system bus in the
// test's own mount namespace, driven by /usr/bin/dbus-send (an accepted
// caller) and by untrusted clients (python3, busctl, gdbus).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "daemon_env.h"
#include "quorvane.h"

namespace {

using qvt::camera_iface;
using qvt::camera_object;
using qvt::file_iface;
using qvt::file_object;
using Strings = std::vector<std::string>;

const Strings all_video_nodes = {"/dev/video0", "/dev/video1", "/dev/video2", "/dev/video3", "/dev/video4",
                                 "/dev/video5", "/dev/video6", "/dev/video7", "/dev/video8"};

class Daemon : public ::testing::Test {
protected:
    void start(const qvt::SandboxOptions &opts = {})
    {
        std::string why = qvt::start_daemon_env(&env, opts);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void SetUp() override { start(); }
    void TearDown() override { qvt::stop_daemon_env(&env); }

    std::string daemon_out() const { return qvt::read_file(env.daemon.out_path); }
    std::string daemon_err() const { return qvt::read_file(env.daemon.err_path); }
    Strings unit_calls() const { return qvt::systemctl_calls(env.sb); }

    qvt::RunResult enable(const std::string &path, const Strings &apps, bool allow)
    {
        std::string list;
        for (const auto &a : apps)
            list += (list.empty() ? "" : ",") + a;
        return qvt::dbus_send(file_object, file_iface, "Enable",
                              {"string:" + path, "array:string:" + list, allow ? "boolean:true" : "boolean:false"});
    }
    qvt::RunResult setmode(const std::string &path, int mode)
    {
        return qvt::dbus_send(file_object, file_iface, "SetMode", {"string:" + path, "int32:" + std::to_string(mode)});
    }
    int getmode(const std::string &path)
    {
        return qvt::reply_int32(qvt::dbus_send(file_object, file_iface, "GetMode", {"string:" + path}).out);
    }
    std::pair<Strings, int> getapps(const std::string &path)
    {
        auto r = qvt::dbus_send(file_object, file_iface, "GetApps", {"string:" + path});
        return {qvt::reply_strings(r.out), qvt::reply_boolean(r.out)};
    }
    Strings list() { return qvt::reply_strings(qvt::dbus_send(file_object, file_iface, "List").out); }
    // Every entry of the store, one level of subfolders included: litter shows.
    static Strings store_tree()
    {
        Strings all;
        for (const auto &name : qvt::list_dir(QV_STORE_DIR)) {
            all.push_back(name);
            for (const auto &inner : qvt::list_dir(QV_STORE_DIR "/" + name))
                all.push_back(name + "/" + inner);
        }
        return all;
    }
    size_t profile_files() const { return qvt::regular_files(QV_STORE_DIR).size(); }

    // Makes /usr/bin/python3.7 an accepted interpreter inside the sandbox.
    void install_python37_copy()
    {
        ASSERT_EQ(qvt::overlay_dir(&env.sb, "/usr/bin"), 0);
        ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/python3", "/usr/bin/python3.7"}).status, 0);
    }

    qvt::DaemonEnv env;
};

// Every protection state the methods write, read back through GetApps and
// GetMode, with the profile that the library holds afterwards.
TEST_F(Daemon, StatesWrittenAreReadBack)
{
    struct Row {
        const char *what;
        Strings apps;
        bool allow;
        Strings want_apps;
        int want_allow;
        int want_mode;
    };
    const Row rows[] = {
        {"allow list", {"/usr/bin/a", "/usr/bin/b"}, true, {"/usr/bin/a", "/usr/bin/b"}, 1, 2},
        {"deny list", {"/usr/bin/a", "/usr/bin/b"}, false, {"/usr/bin/a", "/usr/bin/b"}, 0, 2},
        {"allow everyone", {"*"}, true, {}, 1, 1},
        {"deny everyone", {"*"}, false, {}, 0, 0},
        {"star among apps, duplicates kept", {"/usr/bin/a", "*", "/usr/bin/a"}, true, {"/usr/bin/a", "/usr/bin/a"}, 1, 1},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string path = "/home/user/case" + std::to_string(n++);
        auto r = enable(path, row.apps, row.allow);
        ASSERT_EQ(r.status, 0) << r.err;
        auto [apps, allow] = getapps(path);
        EXPECT_EQ(apps, row.want_apps);
        EXPECT_EQ(allow, row.want_allow);
        EXPECT_EQ(getmode(path), row.want_mode);

        QvProfile stored = qv_get_profile(path);
        ASSERT_EQ(stored.rules.size(), 1u);
        EXPECT_EQ(stored.file, path);
        EXPECT_EQ(stored.own_app, "/usr/bin/dbus-send");
        EXPECT_EQ(stored.version, "0.0.1");
        EXPECT_EQ(stored.profile_mode, Enforce);
        EXPECT_EQ(stored.rules[0].deny, row.allow ? Allow : Deny);
        EXPECT_EQ(stored.rules[0].app_paths, row.apps);
        EXPECT_EQ(stored.rules[0].uids, std::vector<uint32_t>{4294967295u});
        EXPECT_EQ(stored.rules[0].permission, 15u);
    }
    EXPECT_EQ(profile_files(), std::size(rows));

    // SetMode 0 denies everyone; every other mode removes the protection.
    const std::pair<int, int> modes[] = {{0, 0}, {1, 1}, {0, 0}, {2, 1}, {0, 0}, {-5, 1}};
    for (auto [mode, want] : modes) {
        SCOPED_TRACE("SetMode " + std::to_string(mode));
        ASSERT_EQ(setmode("/home/user/case0", mode).status, 0);
        EXPECT_EQ(getmode("/home/user/case0"), want);
        EXPECT_EQ(getapps("/home/user/case0"), std::make_pair(Strings{}, 0));
        EXPECT_EQ(qv_get_profile("/home/user/case0").rules.empty(), want == 1);
    }

    // Never protected, or with two rules (not written by the service).
    EXPECT_EQ(getmode("/home/user/never"), 1);
    EXPECT_EQ(getapps("/home/user/never"), std::make_pair(Strings{}, 0));
    QvProfile two;
    two.file = "/home/user/two";
    two.rules.resize(2);
    two.rules[0].deny = Deny;
    two.rules[0].app_paths = {"*"};
    two.rules[1].app_paths = {"/usr/bin/a"};
    ASSERT_EQ(qv_set_profile(two), 0);
    EXPECT_EQ(getapps("/home/user/two"), std::make_pair(Strings{}, 0));
    EXPECT_EQ(getmode("/home/user/two"), 0);
}

TEST_F(Daemon, EmptyApplicationListAndPathsGoToTheStoreUnchecked)
{
    install_python37_copy();
    auto r = qvt::python_client("/usr/bin/python3.7",
                                "svc('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1', 'Enable',\n"
                                "    'relative/dir', dbus.Array([], signature='s'), True)\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(getmode("relative/dir"), 2);
    EXPECT_EQ(getapps("relative/dir"), std::make_pair(Strings{}, 1));
    EXPECT_EQ(qv_get_profile("relative/dir").own_app, "/usr/bin/python3.7");

    // The library refuses an empty path; the caller gets an error, not silence.
    r = enable("", {"/usr/bin/a"}, true);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(qvt::reply_error(r), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_NE(daemon_err().find("set_profile failed filepath = ."), std::string::npos);
}

TEST_F(Daemon, UntrustedCallersAreRefusedButAnsweredForReads)
{
    ASSERT_EQ(enable("/home/user/Documents", {"/usr/bin/a"}, true).status, 0);
    const Strings before_files = qvt::regular_files(QV_STORE_DIR);
    const size_t before_units = unit_calls().size();

    struct Client {
        const char *name;
        Strings argv;
        const char *says;  // how the client reports AccessDenied
    };
    const Client changes[] = {
        {"python3 Enable",
         {"/usr/bin/python3", "-c",
          "import dbus; dbus.SystemBus().get_object('com.zentavo.Quorvane1', '/com/zentavo/Quorvane1')"
          ".Enable('/home/user/Documents', ['/usr/bin/evil'], False, dbus_interface='com.zentavo.Quorvane1')"},
         "org.freedesktop.DBus.Error.AccessDenied"},
        {"busctl SetMode",
         {"/usr/bin/busctl", "--system", "call", "com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
          "com.zentavo.Quorvane1", "SetMode", "si", "/home/user/Documents", "1"},
         "Call failed: Access denied"},
        {"gdbus camera Enable",
         {"/usr/bin/gdbus", "call", "--system", "--dest", "com.zentavo.Quorvane1", "--object-path",
          "/com/zentavo/Quorvane1/CameraControl", "--method", "com.zentavo.Quorvane1.CameraControl.Enable",
          "['/usr/bin/evil']", "true"},
         "GDBus.Error:org.freedesktop.DBus.Error.AccessDenied"},
        {"busctl camera SetMode",
         {"/usr/bin/busctl", "--system", "call", "com.zentavo.Quorvane1", "/com/zentavo/Quorvane1/CameraControl",
          "com.zentavo.Quorvane1.CameraControl", "SetMode", "i", "0"},
         "Call failed: Access denied"},
    };
    for (const Client &c : changes) {
        SCOPED_TRACE(c.name);
        auto r = qvt::run(c.argv);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR), before_files);
    EXPECT_EQ(unit_calls().size(), before_units);
    EXPECT_EQ(getapps("/home/user/Documents"), std::make_pair(Strings{"/usr/bin/a"}, 1));
    EXPECT_NE(daemon_err().find("check_caller failed.\n"), std::string::npos);
    EXPECT_NE(daemon_err().find("check_caller failed\n"), std::string::npos);

    // Reads answer every caller.
    auto r = qvt::run({"/usr/bin/busctl", "--system", "call", "com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
                       "com.zentavo.Quorvane1", "GetApps", "s", "/home/user/Documents"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "asb 1 \"/usr/bin/a\" true\n");
    r = qvt::python_client("/usr/bin/python3",
                           "print(int(svc('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1', 'GetMode',"
                           " '/home/user/Documents')))\n"
                           "print(list(map(str, svc('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1', 'List'))))\n"
                           "print(int(svc('/com/zentavo/Quorvane1/CameraControl',"
                           " 'com.zentavo.Quorvane1.CameraControl', 'GetMode')))\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2\n['/home/user/Documents']\n1\n");
}

TEST_F(Daemon, InterpreterIsJudgedByTheFileItRuns)
{
    ASSERT_EQ(qvt::overlay_dir(&env.sb, "/usr/bin"), 0);
    const std::string code =
        "svc('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1', 'SetMode', '/home/user/py', 0)\n";

    // A symbolic link named python3.7 that leads to python3.11 runs python3.11.
    ASSERT_EQ(symlink("python3.11", "/usr/bin/python3.7"), 0);
    auto r = qvt::python_client("/usr/bin/python3.7", code);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("AccessDenied"), std::string::npos) << r.err;
    EXPECT_EQ(getmode("/home/user/py"), 1);

    // A copy at /usr/bin/python3.7 is accepted, also when started through a
    // link that leads to it.
    ASSERT_EQ(unlink("/usr/bin/python3.7"), 0);
    ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/python3.11", "/usr/bin/python3.7"}).status, 0);
    std::string link = env.sb.scratch + "/py";
    ASSERT_EQ(symlink("/usr/bin/python3.7", link.c_str()), 0);
    r = qvt::python_client(link, code);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(getmode("/home/user/py"), 0);
    EXPECT_NE(daemon_out().find("caller is: /usr/bin/python3.7\n\n"), std::string::npos);
}

TEST_F(Daemon, DataHomeIsRewrittenOnlyByEnableAndOnlyWithItsSlash)
{
    ASSERT_EQ(enable("/data/home/user/Documents", {"/usr/bin/a"}, true).status, 0);
    EXPECT_NE(daemon_out().find("file /home/user/Documents.\n"), std::string::npos);
    EXPECT_EQ(getmode("/home/user/Documents"), 2);
    EXPECT_EQ(getmode("/data/home/user/Documents"), 1);
    EXPECT_EQ(getapps("/data/home/user/Documents"), std::make_pair(Strings{}, 0));

    const char *near_misses[] = {"/data/home", "/data/homes/x", "/Data/home/x", "data/home/x"};
    for (const char *path : near_misses) {
        SCOPED_TRACE(path);
        ASSERT_EQ(enable(path, {"/usr/bin/a"}, false).status, 0);
        EXPECT_EQ(getmode(path), 2);
    }
    Strings want = {"/Data/home/x", "/data/home", "/data/homes/x", "/home/user/Documents", "data/home/x"};
    EXPECT_EQ(list(), want);

    // SetMode does not rewrite either.
    ASSERT_EQ(setmode("/data/home/user/Documents", 0).status, 0);
    EXPECT_EQ(getmode("/data/home/user/Documents"), 0);
    EXPECT_EQ(getmode("/home/user/Documents"), 2);
}

TEST_F(Daemon, CameraObjectAndFileObjectVideo0AreTheSameProfile)
{
    auto r = qvt::dbus_send(camera_object, camera_iface, "Enable", {"array:string:/usr/bin/cheese", "boolean:true"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list(), all_video_nodes);
    for (const auto &node : all_video_nodes) {
        SCOPED_TRACE(node);
        QvProfile p = qv_get_profile(node);
        ASSERT_EQ(p.rules.size(), 1u);
        EXPECT_EQ(p.rules[0].app_paths, Strings{"/usr/bin/cheese"});
        EXPECT_EQ(p.own_app, "/usr/bin/dbus-send");
    }
    EXPECT_EQ(getapps("/dev/video0"), std::make_pair(Strings{"/usr/bin/cheese"}, 1));
    r = qvt::dbus_send(camera_object, camera_iface, "GetApps");
    EXPECT_EQ(qvt::reply_strings(r.out), Strings{"/usr/bin/cheese"});
    EXPECT_EQ(qvt::reply_boolean(r.out), 1);

    // The file object's /dev/video0 fans out as the camera object does.
    ASSERT_EQ(setmode("/dev/video0", 0).status, 0);
    r = qvt::dbus_send(camera_object, camera_iface, "GetMode");
    EXPECT_EQ(qvt::reply_int32(r.out), 0);
    EXPECT_EQ(qv_get_profile("/dev/video8").rules[0].app_paths, Strings{"*"});

    // Other node paths, or /dev/video0 with a trailing slash, do not.
    ASSERT_EQ(enable("/dev/video0/", {"/usr/bin/x"}, true).status, 0);
    ASSERT_EQ(enable("/dev/video3", {"/usr/bin/x"}, true).status, 0);
    EXPECT_EQ(qv_get_profile("/dev/video4").rules[0].app_paths, Strings{"*"});

    r = qvt::dbus_send(camera_object, camera_iface, "SetMode", {"int32:1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list(), Strings{"/dev/video0/"});
    r = qvt::dbus_send(camera_object, camera_iface, "GetMode");
    EXPECT_EQ(qvt::reply_int32(r.out), 1);
}

TEST_F(Daemon, UnitFollowsTheProfileFiles)
{
    ASSERT_EQ(enable("/home/user/a", {"/usr/bin/a"}, true).status, 0);
    EXPECT_EQ(unit_calls(), Strings{"enable quorvane.service"});
    ASSERT_EQ(setmode("/home/user/b", 0).status, 0);
    ASSERT_EQ(setmode("/home/user/a", 1).status, 0);
    EXPECT_EQ(unit_calls().back(), "enable quorvane.service");
    ASSERT_EQ(setmode("/home/user/b", 1).status, 0);
    EXPECT_EQ(unit_calls().back(), "disable quorvane.service");
    // Removing what is not there still switches the unit.
    ASSERT_EQ(setmode("/home/user/none", 1).status, 0);
    EXPECT_EQ(unit_calls().size(), 5u);
    EXPECT_EQ(unit_calls().back(), "disable quorvane.service");

    // Only a subdirectory and a symbolic link to a regular file: nothing counts.
    ASSERT_EQ(mkdir(QV_STORE_DIR "/sub", 0755), 0);
    qvt::write_file(env.sb.scratch + "/target", "x");
    ASSERT_EQ(symlink((env.sb.scratch + "/target").c_str(), QV_STORE_DIR "/link"), 0);
    ASSERT_EQ(setmode("/home/user/none", 1).status, 0);
    EXPECT_EQ(unit_calls().back(), "disable quorvane.service");
    // One regular file whose name begins with a dot counts.
    qvt::write_file(QV_STORE_DIR "/.hidden", "");
    ASSERT_EQ(setmode("/home/user/none", 1).status, 0);
    EXPECT_EQ(unit_calls().back(), "enable quorvane.service");
}

TEST_F(Daemon, MissingStoreDirectoryDisablesTheUnit)
{
    qvt::stop_daemon_env(&env);
    env = {};
    qvt::SandboxOptions opts;
    opts.store_present = false;
    start(opts);
    ASSERT_EQ(setmode("/home/user/none", 1).status, 0);
    EXPECT_EQ(unit_calls(), Strings{"disable quorvane.service"});
    // The first store creates the directory.
    ASSERT_EQ(setmode("/home/user/a", 0).status, 0);
    EXPECT_EQ(unit_calls().back(), "enable quorvane.service");
    EXPECT_EQ(getmode("/home/user/a"), 0);
}

TEST_F(Daemon, CorruptProfileFileIsReportedAndReplaced)
{
    ASSERT_EQ(enable("/home/user/a", {"/usr/bin/a"}, true).status, 0);
    ASSERT_EQ(enable("/home/user/b", {"/usr/bin/b"}, true).status, 0);
    QvProfile b = qv_get_profile("/home/user/b");
    Strings files = qvt::regular_files(QV_STORE_DIR);
    ASSERT_EQ(files.size(), 2u);
    std::string victim;
    for (const auto &f : files)
        if (qvt::read_file(QV_STORE_DIR "/" + f).find("/home/user/a") != std::string::npos)
            victim = QV_STORE_DIR "/" + f;
    ASSERT_FALSE(victim.empty());
    qvt::write_file(victim, "{\"truncated\": ");

    EXPECT_EQ(getmode("/home/user/a"), 1);
    EXPECT_EQ(getapps("/home/user/a"), std::make_pair(Strings{}, 0));
    EXPECT_EQ(list(), Strings{"/home/user/b"});
    EXPECT_NE(daemon_err().find(victim.substr(victim.rfind('/') + 1)), std::string::npos) << daemon_err();
    std::regex diagnostic(R"(\w+\.cpp\(\d+\)-> .*)");
    EXPECT_TRUE(std::regex_search(daemon_err(), diagnostic));

    ASSERT_EQ(enable("/home/user/a", {"/usr/bin/c"}, false).status, 0);
    EXPECT_EQ(getapps("/home/user/a"), std::make_pair(Strings{"/usr/bin/c"}, 0));
    EXPECT_EQ(list(), (Strings{"/home/user/a", "/home/user/b"}));
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 2u);
}

TEST_F(Daemon, FullStoreGivesAnErrorAndKeepsTheOldProfile)
{
    qvt::stop_daemon_env(&env);
    env = {};
    qvt::SandboxOptions opts;
    opts.store_tmpfs = "size=64k,mode=0755";
    start(opts);
    ASSERT_EQ(enable("/home/user/a", {"/usr/bin/old"}, true).status, 0);
    const Strings before = store_tree();

    // Far more than the store can hold.
    install_python37_copy();
    auto r = qvt::python_client("/usr/bin/python3.7",
                                "apps = ['/usr/bin/' + 'x' * 200 + str(i) for i in range(2000)]\n"
                                "try:\n"
                                "    svc('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1', 'Enable',\n"
                                "        '/home/user/a', apps, False)\n"
                                "except dbus.DBusException as e:\n"
                                "    print(e.get_dbus_name())\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "System.Error.ENOSPC\n");
    EXPECT_NE(daemon_err().find("set_profile failed filepath = /home/user/a.\n"), std::string::npos);

    EXPECT_EQ(getapps("/home/user/a"), std::make_pair(Strings{"/usr/bin/old"}, 1));
    EXPECT_EQ(store_tree(), before);
    // Still serving, and a fitting change still succeeds.
    ASSERT_EQ(setmode("/home/user/a", 0).status, 0);
    EXPECT_EQ(getmode("/home/user/a"), 0);
}

TEST_F(Daemon, SecondInstanceCannotTakeTheName)
{
    qvt::Proc second = qvt::start_daemon(&env);
    EXPECT_EQ(qvt::wait_exit(second.pid), 239);
    std::regex claim(R"(^main\.cpp\(\d+\)-> sd_bus_request_name quorvane_dbus_interface failed\.\n\n$)");
    EXPECT_TRUE(std::regex_match(qvt::read_file(second.out_path), claim)) << qvt::read_file(second.out_path);
    // The first one still serves.
    EXPECT_EQ(getmode("/home/user/x"), 1);
}

TEST_F(Daemon, DiagnosticsOfAnEnableCall)
{
    ASSERT_EQ(enable("/home/user/Music", {"/usr/bin/a", "/usr/bin/b"}, false).status, 0);
    std::regex lines(
        R"(main\.cpp\(\d+\)-> \n)"
        R"(main\.cpp\(\d+\)-> caller is: /usr/bin/dbus-send\n\n)"
        R"(main\.cpp\(\d+\)-> file /home/user/Music\.\n)"
        R"(main\.cpp\(\d+\)->   app /usr/bin/a\n\.\n)"
        R"(main\.cpp\(\d+\)->   app /usr/bin/b\n\.\n)"
        R"(main\.cpp\(\d+\)-> enabled 0\.\n)");
    EXPECT_TRUE(std::regex_search(daemon_out(), lines)) << daemon_out();

    // Arguments that do not match the signature never reach a handler.
    auto r = qvt::dbus_send(file_object, file_iface, "Enable", {"string:/home/user/Music", "int32:3"});
    EXPECT_EQ(qvt::reply_error(r), "org.freedesktop.DBus.Error.InvalidArgs");
    r = qvt::dbus_send(camera_object, camera_iface, "List");
    EXPECT_EQ(qvt::reply_error(r), "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(getapps("/home/user/Music"), std::make_pair(Strings{"/usr/bin/a", "/usr/bin/b"}, 0));
}

}  // namespace
