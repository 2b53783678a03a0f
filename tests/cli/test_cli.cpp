// SPDX-License-Identifier: GPL-2.0-or-later
// quorvanectl against the real quorvane_daemon on a private system bus, as
// root: odd and unnormalised paths, arguments it must refuse, paths crafted
// by another client, the loader's status, and the shape of --json. The rows
// run in order on one daemon; each row is one call.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "daemon_env.h"

namespace {

const char boot_id_file[] = "/proc/sys/kernel/random/boot_id";

using Strings = std::vector<std::string>;

enum Match { Contains, Exactly, Lacks };

struct Row {
    Strings args;
    int status;
    Match match;
    std::string text;  // in standard output, or standard error when status != 0
};

// What the enforcement loader writes while it runs, naming its writer:
// this test's process, or (started + 1) one that is gone, or another boot.
std::string loader_status(int started_offset = 0, const std::string &boot = qvt::read_file(boot_id_file))
{
    std::string stat = qvt::read_file("/proc/self/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i)
        fields >> field;
    std::string b = boot.substr(0, boot.find('\n'));
    return R"({"active": true, "reason": "", "profiles": 3, "enforced": 2,)"
           R"( "not_enforced": [{"path": "/usr", "why": "a tree the system needs"}],)"
           R"( "records": {"sent": 4, "dropped": 1}, "pid": )" + std::to_string(getpid()) +
           R"(, "started": )" + std::to_string(std::stoull(field) + started_offset) + R"(, "boot_id": ")" + b +
           R"(", "moved": [{"path": "/home/a/Docs", "now_at": "/home/a/old/Docs"}]})";
}

const std::string crafted = "/tmp/x\n/etc/shadow";

const Row rows[] = {
    // Paths are normalised the same way for every verb.
    {{"allow", "/tmp/docs/", "/usr/bin/cat"}, 0, Contains,
     "/tmp/docs: protected by an allow list: only these applications may access it:\n  /usr/bin/cat\n"},
    {{"show", "/tmp/docs/"}, 0, Contains, "/tmp/docs: protected by an allow list"},
    {{"show", "/tmp//./x/../docs/."}, 0, Contains, "/tmp/docs: protected by an allow list"},
    {{"--json", "show", "/tmp/docs"}, 0, Exactly,
     R"({"target":"/tmp/docs","mode":2,"protection":"allow","applications":["/usr/bin/cat"]})" "\n"},
    {{"unprotect", "/tmp/docs/"}, 0, Contains, "/tmp/docs: not protected"},
    {{"deny", "/data/home/alice/Documents/", "/usr/bin/./cat"}, 0, Contains,
     "/home/alice/Documents: protected by a deny list: every application but these may access it:\n"
     "  /usr/bin/cat\n"},
    {{"show", "/data/home/alice/Documents"}, 0, Contains, "/home/alice/Documents: protected by a deny list"},
    {{"block", "/data/home/alice/../alice/Documents"}, 0, Contains, "/home/alice/Documents: blocked"},
    {{"list"}, 0, Exactly, "/home/alice/Documents\n"},
    {{"unprotect", "/data/home/alice/Documents"}, 0, Contains, "/home/alice/Documents: not protected"},
    {{"--json", "list"}, 0, Exactly, "{\"paths\":[]}\n"},
    {{"--", "show", "/"}, 0, Contains, "/: not protected"},
    {{"camera", "--json", "show"}, 0, Exactly,
     R"({"target":"camera","mode":1,"protection":"none","applications":[]})" "\n"},
    {{"--version"}, 0, Exactly, "quorvanectl 0.1.0\n"},

    // Refused before any call.
    {{"allow", "/tmp/a\nb", "/usr/bin/cat"}, 2, Contains,
     "may not hold a line feed, another control character or bytes that are not UTF-8: \"/tmp/a\\nb\""},
    {{"allow", "/tmp/docs", "/usr/bin/cat\t"}, 2, Contains, "may not hold a line feed"},
    {{"show", "/tmp/\x1b[2J"}, 2, Contains, "may not hold a line feed"},
    {{"show", "/tmp/caf\xc3"}, 2, Contains, "bytes that are not UTF-8"},
    {{"show", "/tmp/\xc2\x85next"}, 2, Contains, "may not hold a line feed"},
    {{"allow", "/tmp/docs", "/usr/bin/evnice"}, 2, Contains,
     "not an executable file: /usr/bin/evnice (--force names it all the same)"},
    {{"camera", "allow", "/etc/passwd"}, 2, Contains, "not an executable file: /etc/passwd"},
    {{"deny", "/tmp/docs", "/usr/bin"}, 2, Contains, "not an executable file: /usr/bin"},
    {{"--bogus", "list"}, 2, Contains, "unknown option: --bogus"},
    {{"--", "--json", "list"}, 2, Contains, "unknown command: --json"},
    {{"status", "now"}, 2, Contains, "status takes no arguments"},
    {{"--json", "list"}, 0, Exactly, "{\"paths\":[]}\n"},

    // --force names an application that is not installed yet.
    {{"camera", "allow", "--force", "/opt/new/bin/app"}, 0, Contains, "  /opt/new/bin/app\n"},
};

class Cli : public testing::Test {
protected:
    void SetUp() override
    {
        std::string why = qvt::start_daemon_env(&env);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override { qvt::stop_daemon_env(&env); }
    static qvt::RunResult ctl(const Strings &args)
    {
        Strings argv = {qvt::source_path("tools/quorvanectl")};
        argv.insert(argv.end(), args.begin(), args.end());
        return qvt::run(argv);
    }
    static void check(const Row &row)
    {
        std::string line;
        for (const auto &a : row.args)
            line += " " + a;
        SCOPED_TRACE("quorvanectl" + line);
        auto r = ctl(row.args);
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        const std::string &text = row.status == 0 ? r.out : r.err;
        switch (row.match) {
        case Contains:
            EXPECT_NE(text.find(row.text), std::string::npos) << "stdout:\n" << r.out << "stderr:\n" << r.err;
            break;
        case Exactly:
            EXPECT_EQ(text, row.text) << r.err;
            break;
        case Lacks:
            EXPECT_EQ(text.find(row.text), std::string::npos) << text;
            break;
        }
    }
    qvt::DaemonEnv env;
};

TEST_F(Cli, PathsUsageAndJson)
{
    for (const auto &row : rows)
        check(row);
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 9u) << "only the camera's nine profiles are stored";
}

// Another client stores a path and an application with a line feed in them;
// quorvanectl never shows either as two lines.
TEST_F(Cli, CraftedNamesFromTheServiceStayOneLine)
{
    auto r = qvt::dbus_send(qvt::file_object, qvt::file_iface, "Enable",
                            {"string:" + crafted, "array:string:/usr/bin/a\n/usr/bin/b", "boolean:true"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Row crafted_rows[] = {
        {{"list"}, 0, Exactly, "\"/tmp/x\\n/etc/shadow\"\n"},
        {{"--json", "list"}, 0, Exactly, "{\"paths\":[\"/tmp/x\\n/etc/shadow\"]}\n"},
        {{"list"}, 0, Lacks, "\n/etc/shadow"},
    };
    for (const auto &row : crafted_rows)
        check(row);
    r = qvt::dbus_send(qvt::file_object, qvt::file_iface, "Enable",
                       {"string:/tmp/y", "array:string:/usr/bin/a\n/usr/bin/b", "boolean:true"});
    ASSERT_EQ(r.status, 0) << r.err;
    check({{"show", "/tmp/y"}, 0, Contains,
           "/tmp/y: protected by an allow list: only these applications may access it:\n"
           "  \"/usr/bin/a\\n/usr/bin/b\"\n"});
}

TEST_F(Cli, StatusWithAndWithoutTheLoader)
{
    check({{"status"}, 0, Exactly,
           "service: reachable\n"
           "enforcement: not active: enforcement is not installed or not running (no /run/quorvane/status.json)\n"
           "profiles: 0\n"
           "camera: not protected\n"});
    ASSERT_EQ(qvt::mount_tmpfs("/run"), 0);
    ASSERT_EQ(qvt::mkdir_p("/run/quorvane"), 0);
    ASSERT_EQ(qvt::mount_tmpfs("/sys/fs/bpf"), 0);  // no pins in this namespace
    qvt::write_file("/run/quorvane/status.json", loader_status());
    check({{"camera", "block"}, 0, Contains, "the camera: blocked"});
    check({{"status"}, 0, Exactly,
           "service: reachable\n"
           "enforcement: active, 2 of 3 profiles in force\n"
           "  moved: /home/a/Docs no longer leads to what it protected, now at /home/a/old/Docs; that stays protected\n"
           "  not in force: /usr: a tree the system needs\n"
           "  block records: 4 sent, 1 dropped\n"
           "profiles: 9\n"
           "camera: blocked\n"});
    check({{"status", "--json"}, 0, Contains,
           R"({"service":{"reachable":true,"error":""},"enforcement":{"installed":true,"active":true,"reason":"",)"
           R"("profiles":3,"enforced":2,"not_enforced":[{"path":"/usr","why":"a tree the system needs"}],)"
           R"("records":{"sent":4,"dropped":1},"pid":)"});
    check({{"status", "--json"}, 0, Contains,
           R"("loader_running":true,"pinned":false},"profiles":9,)"
           R"("camera":{"target":"camera","mode":0,"protection":"blocked","applications":[]}})" "\n"});

    // A status file whose loader is gone says active only while its program is pinned.
    const std::string pid = std::to_string(getpid());
    qvt::write_file("/run/quorvane/status.json", loader_status(1));
    check({{"status"}, 0, Contains,
           "enforcement: not active: the loader (pid " + pid +
               ") is not running and nothing is pinned in /sys/fs/bpf/quorvane; /run/quorvane/status.json is left over\n"});
    ASSERT_EQ(qvt::mkdir_p("/sys/fs/bpf/quorvane"), 0);
    qvt::write_file("/sys/fs/bpf/quorvane/file_open", "");
    check({{"status"}, 0, Contains,
           "enforcement: active, 2 of 3 profiles in force\n  the loader (pid " + pid +
               ") is not running: its pinned program goes on enforcing; changes wait until it runs again\n"});
    qvt::write_file("/run/quorvane/status.json", loader_status(0, "another-boot"));
    check({{"status"}, 0, Contains, "enforcement: not active: /run/quorvane/status.json is from an earlier boot\n"});
    qvt::write_file("/run/quorvane/status.json", "{ half");
    check({{"status"}, 0, Contains, "enforcement: not active: the enforcement status /run/quorvane/status.json is unreadable"});
    qvt::kill_and_wait(env.daemon.pid);
    check({{"status"}, 4, Lacks, "x"});
    auto r = ctl({"--json", "status"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find(R"({"service":{"reachable":false,"error":"the Quorvane service is not available: )"),
              std::string::npos)
        << r.out << r.err;
    EXPECT_NE(r.out.find(R"("profiles":null,"camera":null})"), std::string::npos) << r.out;
}

}  // namespace
