// SPDX-License-Identifier: GPL-2.0-or-later
// Hostile calls from accepted callers: wrong signatures, odd and overlong
// paths, huge argument lists and strings. The daemon runs with every mount
// but the store read-only, so a write that strays outside the store fails
// the call instead of landing unseen.
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>

#include "hostile_env.h"

namespace qvh {
namespace {

using HostileCalls = HostileEnv;

// List as Python sees it: the strings whole, newlines and all.
Strings list_whole(HostileEnv *t)
{
    qvt::RunResult r = t->python(
        "import json\n"
        "print(json.dumps([str(p) for p in svc('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1', 'List')]))\n");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? nlohmann::json::parse(r.out).get<Strings>() : Strings{};
}

TEST_F(HostileCalls, WrongSignaturesAreRefusedBeforeAnyHandler)
{
    enter();
    install_python37();
    launch();
    ASSERT_EQ(enable("/home/user/a", {"/usr/bin/a"}, true).status, 0);
    const auto before = tree_snapshot(QV_STORE_DIR);
    const size_t units = unit_calls().size();

    struct Row {
        const char *object;
        const char *member;
        const char *signature;
        const char *args;  // a Python tuple
    };
    const Row rows[] = {
        {qvt::file_object, "Enable", "", "()"},
        {qvt::file_object, "Enable", "sas", "('/home/user/a', ['/usr/bin/x'])"},
        {qvt::file_object, "Enable", "sasi", "('/home/user/a', ['/usr/bin/x'], 0)"},
        {qvt::file_object, "Enable", "ssb", "('/home/user/a', '/usr/bin/x', False)"},
        {qvt::file_object, "Enable", "sasbs", "('/home/user/a', ['/usr/bin/x'], False, 'more')"},
        {qvt::file_object, "Enable", "asb", "(['/usr/bin/x'], False)"},
        {qvt::file_object, "SetMode", "s", "('/home/user/a',)"},
        {qvt::file_object, "SetMode", "ss", "('/home/user/a', '1')"},
        {qvt::file_object, "SetMode", "sx", "('/home/user/a', 1)"},
        {qvt::file_object, "GetMode", "", "()"},
        {qvt::file_object, "GetMode", "o", "('/home/user/a',)"},
        {qvt::file_object, "GetApps", "as", "(['/home/user/a'],)"},
        {qvt::file_object, "List", "s", "('/home/user/a',)"},
        {qvt::camera_object, "Enable", "sasb", "('/dev/video0', ['/usr/bin/x'], True)"},
        {qvt::camera_object, "Enable", "as", "(['/usr/bin/x'],)"},
        {qvt::camera_object, "SetMode", "s", "('0',)"},
        {qvt::camera_object, "SetMode", "", "()"},
        {qvt::camera_object, "GetMode", "s", "('/dev/video0',)"},
        {qvt::camera_object, "GetApps", "i", "(1,)"},
    };
    std::string code = "rows = [\n";
    for (const Row &row : rows) {
        std::string iface = row.object == std::string(qvt::file_object) ? qvt::file_iface : qvt::camera_iface;
        code += "    ('" + std::string(row.object) + "', '" + iface + "', '" + row.member + "', '" + row.signature +
                "', " + row.args + "),\n";
    }
    code +=
        "]\n"
        "for obj, iface, member, sig, args in rows:\n"
        "    try:\n"
        "        bus.call_blocking('com.zentavo.Quorvane1', obj, iface, member, sig, args)\n"
        "        print('answered')\n"
        "    except dbus.DBusException as e:\n"
        "        print(e.get_dbus_name())\n";
    qvt::RunResult r = python(code);
    ASSERT_EQ(r.status, 0) << r.err;
    Strings got;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
        got.push_back(r.out.substr(at, end - at));
    ASSERT_EQ(got.size(), std::size(rows)) << r.out;
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], "org.freedesktop.DBus.Error.InvalidArgs")
            << rows[i].object << " " << rows[i].member << "(" << rows[i].signature << ")";
    EXPECT_EQ(tree_snapshot(QV_STORE_DIR), before);
    EXPECT_EQ(unit_calls().size(), units);
    EXPECT_EQ(getapps("/home/user/a"), std::make_pair(Strings{"/usr/bin/a"}, 1));
}

TEST_F(HostileCalls, OddPathsAreStoredAsGivenAndInsideTheStore)
{
    enter();
    install_python37();
    launch();
    const Strings paths = {
        "/home/u/../../etc/passwd", "../../../tmp/escape", "//etc//shadow", "/home/u/dir/", "/home/u/new\nline",
        "/home/u/tab\there", "/home/u/ünïcödé", "/x@0000000000000000000000000000000000000000000000000000000000000000.json",
        QV_STORE_DIR, QV_STORE_DIR "/.staging/lock", ".", "..", "/", "*", "-", " ",
    };
    // Nothing but the store is writable for the daemon.
    for (const char *mount : {"/", "/etc", "/tmp", "/dev", "/dev/shm", env.sb.scratch.c_str()}) {
        std::string options = daemon_mount_options(mount);
        EXPECT_TRUE(options.empty() || options.compare(0, 3, "ro,") == 0) << mount << ": " << options;
    }
    EXPECT_EQ(daemon_mount_options("/").compare(0, 3, "ro,"), 0);
    EXPECT_EQ(daemon_mount_options(QV_STORE_DIR).compare(0, 3, "rw,"), 0);
    for (const auto &path : paths) {
        SCOPED_TRACE(path);
        qvt::RunResult r = enable(path, {"/usr/bin/a"}, false);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(getmode(path), 2);
    }
    Strings want = paths;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(list_whole(this), want);
    // One regular file per path, directly in the store; the staging area
    // holds its lock and nothing else.
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), paths.size());
    EXPECT_EQ(qvt::list_dir(QV_STORE_DIR).size(), paths.size() + 1);
    EXPECT_EQ(qvt::list_dir(QV_STORE_DIR "/.staging"), Strings{"lock"});
    for (const auto &path : paths)
        EXPECT_EQ(setmode(path, 1).status, 0) << path;
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR), Strings{});

    // What the bus cannot carry never reaches the daemon: the client library
    // refuses a string that is not UTF-8 before sending; the empty path is
    // refused by the store.
    qvt::RunResult r = python(
        "try:\n"
        "    svc('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1', 'Enable', '/home/u/\\udcff', ['/a'], True)\n"
        "except Exception as e:\n"
        "    print(type(e).__name__)\n");
    EXPECT_EQ(r.out, "UnicodeEncodeError\n") << r.err;
    r = enable("", {"/usr/bin/a"}, true);
    EXPECT_EQ(qvt::reply_error_line(r), "org.freedesktop.DBus.Error.InvalidArgs: Invalid argument");
    EXPECT_EQ(qvt::list_dir(QV_STORE_DIR), Strings{".staging"});
    EXPECT_TRUE(daemon_alive());
}

TEST_F(HostileCalls, LongPathsAndHugeArguments)
{
    // The bus's own message limit lowered to 4 MiB, so that crossing it is cheap.
    const std::string policy =
        "  <policy context=\"default\">\n"
        "    <allow user=\"*\"/>\n"
        "    <allow own=\"*\"/>\n"
        "    <allow send_destination=\"*\"/>\n"
        "    <allow receive_sender=\"*\"/>\n"
        "  </policy>\n"
        "  <limit name=\"max_message_size\">4194304</limit>\n";
    enter({}, policy);
    install_python37();
    launch();

    const std::string longest = "/" + std::string(4094, 'p');
    EXPECT_EQ(enable(longest, {"/usr/bin/a"}, true).status, 0);
    EXPECT_EQ(getmode(longest), 2);
    struct Row {
        const char *what;
        std::string path;
    };
    const Row too_long[] = {{"4096 bytes", longest + "p"}, {"100 KiB", "/" + std::string(100 << 10, 'p')}};
    for (const Row &row : too_long) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(qvt::reply_error_line(enable(row.path, {"/usr/bin/a"}, true)), "System.Error.ENAMETOOLONG: File name too long");
        EXPECT_EQ(qvt::reply_error_line(setmode(row.path, 0)), "System.Error.ENAMETOOLONG: File name too long");
        EXPECT_EQ(qvt::reply_error_line(setmode(row.path, 1)), "System.Error.ENAMETOOLONG: File name too long");
        EXPECT_EQ(getmode(row.path), 1);
    }
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 1u);

    // 10,000 applications and one application string of 1 MiB: stored and
    // read back whole.
    const std::string prelude = "F = ('/com/zentavo/Quorvane1', 'com.zentavo.Quorvane1')\n";
    auto t0 = std::chrono::steady_clock::now();
    qvt::RunResult r = python(prelude +
                              "many = ['/usr/bin/app-%05d' % i for i in range(10000)]\n"
                              "svc(*F, 'Enable', '/home/u/many', many, True)\n"
                              "apps, allow = svc(*F, 'GetApps', '/home/u/many')\n"
                              "print('many', list(map(str, apps)) == many and bool(allow))\n"
                              "big = '/usr/bin/' + 'b' * (1 << 20)\n"
                              "svc(*F, 'Enable', '/home/u/big', [big], False)\n"
                              "apps, allow = svc(*F, 'GetApps', '/home/u/big')\n"
                              "print('big', list(map(str, apps)) == [big] and not bool(allow))\n");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "many True\nbig True\n");
    std::printf("10,000 applications and a 1 MiB application, each stored and read back: %.2f s\n", seconds);

    // A message past the bus's limit is the bus's to refuse: it drops the
    // sender, and the daemon never sees the call.
    r = python(prelude +
               "try:\n"
               "    svc(*F, 'Enable', '/home/u/over', ['o' * (5 << 20)], True)\n"
               "except dbus.DBusException as e:\n"
               "    print(e.get_dbus_name())\n");
    EXPECT_EQ(r.out, "org.freedesktop.DBus.Error.Disconnected\n") << r.err;
    EXPECT_EQ(getmode("/home/u/over"), 1);
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 3u);
    EXPECT_TRUE(daemon_alive());
    EXPECT_EQ(getmode("/home/u/many"), 2);
}

}  // namespace
}  // namespace qvh
