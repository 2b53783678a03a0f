// SPDX-License-Identifier: GPL-2.0-or-later
// Untrusted callers (busctl, Python and bus_load run as nobody) against a
// large store: replies the bus would refuse, lookups that would bloat the
// service, a flood of List calls beside a caller of GetMode; and a reload
// that fails after a deletion.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include "hostile_env.h"
#include "profile_file.h"

namespace qvh {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;  // memory and timing are the sanitizer's
#else
constexpr bool sanitized = false;
#endif

const Strings as_nobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};

using HostileLimits = HostileEnv;

// Writes a profile file straight into the store, as another process could.
void plant(const std::string &path, const Strings &apps)
{
    QvProfile p;
    p.file = path;
    p.own_app = "/usr/bin/nimbra-control-center";
    p.profile_mode = Enforce;
    p.rules.resize(1);
    p.rules[0].deny = Allow;
    p.rules[0].uids = {4294967295u};
    p.rules[0].app_paths = apps;
    p.rules[0].permission = 15;
    qvt::write_file(QV_STORE_DIR "/" + qv_profile_file_name(path), qv_format_profile(p));
}

Strings numbered(const std::string &prefix, int count, size_t width = 0)
{
    Strings out;
    for (int i = 0; i < count; ++i) {
        std::string s = prefix + std::to_string(i);
        out.push_back(s.size() < width ? s + std::string(width - s.size(), 'x') : s);
    }
    return out;
}

qvt::RunResult busctl_as_nobody(const Strings &call)
{
    Strings argv = as_nobody;
    argv.insert(argv.end(), {"/usr/bin/busctl", "--system", "call", qvt::service_name});
    argv.insert(argv.end(), call.begin(), call.end());
    return qvt::run(argv);
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST_F(HostileLimits, RepliesTheBusWouldRefuseAreErrorsAndTheServiceStays)
{
    enter({"size=200m,mode=0755", true});
    // 8,500 paths of 4,095 bytes: List's reply would pass the bus's 32 MiB.
    for (const auto &path : numbered("/long-", 8500, 4095))
        plant(path, {"/usr/bin/a"});
    // 10,000 applications of 4,000 bytes: a GetApps reply of 40 MB.
    plant("/home/u/huge", numbered("/usr/bin/", 10000, 4000));
    launch();
    struct Row {
        const char *what;
        Strings call;
        const char *printed;
        long rss_max_kib;  // afterwards
    } rows[] = {
        {"GetApps", {qvt::file_object, qvt::file_iface, "GetApps", "s", "/home/u/huge"}, "GetApps reply of ",
         32 << 10},
        {"List", {qvt::file_object, qvt::file_iface, "List"}, "List reply of ", 32 << 10},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        qvt::RunResult r = busctl_as_nobody(row.call);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.err, "Call failed: Argument list too long\n");
        EXPECT_TRUE(daemon_alive());
        EXPECT_EQ(count_of(daemon_err(), row.printed), 1u) << daemon_err();
        EXPECT_EQ(getmode("/home/u/huge"), 2);  // still serving
        // Answered once the service is done with the large calls.
        EXPECT_EQ(getmode("/home/u/unprotected"), 1);
        const long rss = qvt::vm_rss_kib(env.daemon.pid);
        std::printf("VmRSS after the refused %s: %ld KiB\n", row.what, rss);
        if (!sanitized) {  // a sanitizer's allocator keeps what is freed
            EXPECT_LT(rss, row.rss_max_kib);
        }
    }
}

TEST_F(HostileLimits, HostileLookupsKeepTheServiceSmall)
{
    if (sanitized)
        GTEST_SKIP() << "a sanitizer's own memory would be measured";
    enter({"size=64m,mode=0755", true});
    const Strings paths = numbered("/home/u/many-", 60);
    for (const auto &path : paths)
        plant(path, numbered("/usr/bin/application-", 10000));
    launch();
    const long idle = qvt::vm_rss_kib(env.daemon.pid);
    // 1,100 lookups that each parse a profile of 10,000 applications.
    std::string code =
        "import dbus\n"
        "bus = dbus.SystemBus()\n"
        "get = bus.get_object('com.zentavo.Quorvane1', '/com/zentavo/Quorvane1').get_dbus_method("
        "'GetMode', 'com.zentavo.Quorvane1')\n"
        "paths = ['/home/u/many-%d' % i for i in range(60)]\n"
        "print(sum(1 for i in range(1100) if get(paths[i % 60]) == 2))\n";
    Strings argv = as_nobody;
    argv.insert(argv.end(), {"/usr/bin/python3", "-c", code});
    qvt::RunResult r = qvt::run(argv, {}, "", 120000);
    EXPECT_EQ(r.out, "1100\n") << r.err;
    const long after = qvt::vm_rss_kib(env.daemon.pid);
    std::printf("VmRSS idle %ld KiB, after 1,100 lookups of 60 profiles of 10,000 applications %ld KiB\n", idle,
                after);
    EXPECT_LT(after, 32 << 10);
}

TEST_F(HostileLimits, AFloodOfListsLeavesGetModeAnswered)
{
    enter({"size=128m,mode=0755", true});
    for (const auto &path : numbered("/home/flood/dir-", 10000))
        plant(path, {"/usr/bin/a"});
    launch();
    // A front end listing at once as often as a person could click is never refused.
    std::string code =
        "import dbus\n"
        "bus = dbus.SystemBus()\n"
        "ls = bus.get_object('com.zentavo.Quorvane1', '/com/zentavo/Quorvane1').get_dbus_method("
        "'List', 'com.zentavo.Quorvane1')\n"
        "print(sum(1 for i in range(20) if len(ls()) == 10000))\n";
    Strings python = as_nobody;
    python.insert(python.end(), {"/usr/bin/python3", "-c", code});
    qvt::RunResult burst = qvt::run(python, {}, "", 120000);
    EXPECT_EQ(burst.out, "20\n") << burst.err;

    const std::string load = qvt::binary_path("tests/hostile/bus_load"), stop = env.sb.scratch + "/stop";
    std::vector<qvt::Proc> floods;
    for (int i = 0; i < 4; ++i) {
        Strings argv = as_nobody;
        argv.insert(argv.end(), {load, "flood", "List", "100", stop});
        floods.push_back(qvt::spawn(&env.sb, argv));
    }
    for (const auto &f : floods)
        ASSERT_TRUE(qvt::wait_for_text(f.out_path, "in flight\n", 60000)) << qvt::read_file(f.err_path);
    Strings argv = as_nobody;
    argv.insert(argv.end(), {load, "probe", "/home/flood/dir-7", "200"});
    qvt::RunResult probe = qvt::run(argv, {}, "", 120000);
    qvt::write_file(stop, "");
    double p50 = -1, p99 = -1, max = -1;
    int failed = -1;
    ASSERT_EQ(std::sscanf(probe.out.c_str(), "p50 %lf ms p99 %lf ms max %lf ms failed %d", &p50, &p99, &max, &failed),
              4)
        << probe.out << probe.err;
    std::printf("GetMode beside 4 x 100 Lists in flight: %s", probe.out.c_str());
    EXPECT_EQ(failed, 0);
    if (!sanitized) {
        EXPECT_LE(p99, 250.0);
    }
    for (const auto &f : floods) {
        EXPECT_EQ(qvt::wait_exit(f.pid, 60000), 0);
        const std::string out = qvt::read_file(f.out_path);
        EXPECT_NE(out.find(" failed 0\n"), std::string::npos) << out;
        std::printf("List flood client: %s", out.substr(out.find("calls")).c_str());
    }
    EXPECT_TRUE(daemon_alive());
    // The refusals are told once, not once a call.
    EXPECT_EQ(count_of(daemon_err(), "List calls of uid 65534 refused: more than 10 a second.\n"), 1u) << daemon_err();
}

// A dead loader socket: every reload fails with ECONNREFUSED.
void kill_loader(const std::string &socket_path)
{
    int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(s);
}

TEST_F(HostileLimits, AFailedReloadAfterADeletionIsReturned)
{
    enter();
    // A tmpfs on all of /run, so not even the loader's folder is made on the host's.
    ASSERT_EQ(qvt::mount_tmpfs("/run"), 0);
    ASSERT_EQ(qvt::mkdir_p("/run/quorvane"), 0);
    launch();
    ASSERT_EQ(enable("/home/u/a", {"/usr/bin/a"}, true).status, 0);
    ASSERT_NO_FATAL_FAILURE(kill_loader("/run/quorvane/control"));
    const size_t units = unit_calls().size();
    struct Row {
        const char *what;
        std::string path;
        std::string error;    // the reply's error line, "" for success
        std::string printed;  // on the daemon's standard error
    } rows[] = {
        {"deleted, reload refused", "/home/u/a", "System.Error.ECONNREFUSED: Connection refused",
         ")-> qv_update failed. file = /home/u/a\n"},
        {"nothing to delete: no reload", "/home/u/none", "", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string before = daemon_err();
        EXPECT_EQ(qvt::reply_error_line(setmode(row.path, 1)), row.error);
        EXPECT_EQ(getmode(row.path), 1);
        const std::string printed = daemon_err().substr(before.size());
        if (row.printed.empty()) {
            EXPECT_EQ(printed, "");
        } else {
            EXPECT_NE(printed.find(row.printed), std::string::npos) << printed;
        }
    }
    // Only the harmless deletion went on to switch the unit.
    EXPECT_EQ(unit_calls().size(), units + 1);
}

}  // namespace
}  // namespace qvh
