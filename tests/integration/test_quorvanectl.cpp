// SPDX-License-Identifier: GPL-2.0-or-later
// quorvanectl against the real quorvane_daemon on a private system bus in
// the test's sandbox: every verb, wrong usage, a refused caller, a failing
// store, and no service at all.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon_env.h"

namespace {

using Strings = std::vector<std::string>;

struct Step {
    Strings args;
    int status;
    std::string shown;  // a part of standard output (or of standard error when status != 0)
};

class Quorvanectl : public testing::Test {
protected:
    void start(const qvt::SandboxOptions &opts = {})
    {
        std::string why = qvt::start_daemon_env(&env, opts);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override { qvt::stop_daemon_env(&env); }

    static qvt::RunResult ctl(const Strings &args, const Strings &environment = {})
    {
        Strings argv = {qvt::source_path("tools/quorvanectl")};
        argv.insert(argv.end(), args.begin(), args.end());
        return qvt::run(argv, environment);
    }
    static void run_steps(const std::vector<Step> &steps, const Strings &environment = {})
    {
        for (const auto &step : steps) {
            std::string line;
            for (const auto &a : step.args)
                line += " " + a;
            SCOPED_TRACE("quorvanectl" + line);
            auto r = ctl(step.args, environment);
            EXPECT_EQ(r.status, step.status) << r.out << r.err;
            const std::string &text = step.status == 0 ? r.out : r.err;
            EXPECT_NE(text.find(step.shown), std::string::npos) << "stdout:\n" << r.out << "stderr:\n" << r.err;
        }
    }
    qvt::DaemonEnv env;
};

TEST_F(Quorvanectl, EveryVerbOnAPathAndTheCamera)
{
    start();
    run_steps({
        {{"show", "/home/alice/Documents"}, 0, "/home/alice/Documents: not protected"},
        {{"--force", "allow", "/home/alice/Documents", "/usr/bin/evince", "/usr/bin/okular"}, 0,
         "/home/alice/Documents: protected by an allow list: only these applications may access it:\n"
         "  /usr/bin/evince\n  /usr/bin/okular\n"},
        {{"list"}, 0, "/home/alice/Documents\n"},
        {{"deny", "--force", "/home/alice/Documents", "/usr/bin/curl"}, 0,
         "protected by a deny list: every application but these may access it:\n  /usr/bin/curl\n"},
        {{"block", "/home/alice/Documents"}, 0, "/home/alice/Documents: blocked: no application may access it"},
        {{"show", "/home/alice/Documents"}, 0, "blocked"},
        {{"camera", "allow", "--force", "/usr/bin/cheese"}, 0,
         "the camera: protected by an allow list: only these applications may use it:\n  /usr/bin/cheese\n"},
        {{"list"}, 0, "/dev/video0\n/dev/video1\n"},
        {{"camera", "deny", "/usr/bin/spy", "--force"}, 0, "the camera: protected by a deny list"},
        {{"camera", "block"}, 0, "the camera: blocked: no application may use it"},
        {{"camera", "show"}, 0, "the camera: blocked"},
        {{"camera", "unprotect"}, 0, "the camera: not protected: every application may use it"},
        {{"unprotect", "/home/alice/Documents"}, 0, "/home/alice/Documents: not protected"},
    });
    EXPECT_EQ(ctl({"list"}).out, "");
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR), Strings{});
    Strings calls = qvt::systemctl_calls(env.sb);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "disable quorvane.service");
}

TEST_F(Quorvanectl, WrongUsageIsRefusedBeforeAnyCall)
{
    start();
    run_steps({
        {{}, 2, "Usage: quorvanectl [OPTIONS] [--] COMMAND"},
        {{"frobnicate"}, 2, "unknown command: frobnicate"},
        {{"allow", "Documents", "/usr/bin/evince"}, 2, "not an absolute path: Documents"},
        {{"allow", "/home/alice/Documents"}, 2, "name at least one application"},
        {{"allow", "/home/alice/Documents", "evince"}, 2, "not an absolute executable path: evince"},
        {{"--force", "deny", "/home/alice/Documents", "/opt/a,b/run"}, 2, "may not contain a comma"},
        {{"block"}, 2, "a path is missing"},
        {{"show", "/home/alice/Documents", "extra"}, 2, "takes no further arguments"},
        {{"camera"}, 2, "camera needs a command"},
        {{"camera", "block", "/usr/bin/x"}, 2, "takes no applications"},
        {{"list", "x"}, 2, "list takes no arguments"},
        {{"--help"}, 0, "Exit status: 0 done"},
    });
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR), Strings{});
    EXPECT_EQ(qvt::systemctl_calls(env.sb), Strings{});
}

// A copy of dbus-send at another path is not an accepted caller: changes are
// refused, reads answered.
TEST_F(Quorvanectl, ARefusedCallerIsToldItIsNotPermitted)
{
    start();
    std::string copy = env.sb.scratch + "/dbus-send";
    ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/dbus-send", copy}).status, 0);
    const Strings through_copy = {"QUORVANECTL_DBUS_SEND=" + copy};
    run_steps({
        {{"allow", "--force", "/home/alice/Documents", "/usr/bin/evince"}, 3,
         "quorvanectl: not permitted: protect /home/alice/Documents: Operation not permitted\n"},
        {{"camera", "block"}, 3, "quorvanectl: not permitted: block the camera"},
        {{"show", "/home/alice/Documents"}, 0, "not protected"},
        {{"list"}, 0, ""},
    },
              through_copy);
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR), Strings{});
}

// Fills the store's file system; the filler sits in a subdirectory, which
// is never taken for a profile.
void fill_store()
{
    mkdir(QV_STORE_DIR "/filler", 0755);
    qvt::run({"/bin/dd", "if=/dev/zero", "of=" QV_STORE_DIR "/filler/zeros", "bs=4096", "count=1000"});
}

void make_store_read_only()
{
    mount(nullptr, QV_STORE_DIR, nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
}

TEST_F(Quorvanectl, AFailingStoreIsReported)
{
    struct Row {
        const char *what;
        void (*break_store)();
        const char *message;
    };
    const Row rows[] = {
        {"store full", fill_store,
         "quorvanectl: failed: protect /home/alice/Documents: the profile store is full (No space left on device)"},
        {"store read-only", make_store_read_only,
         "quorvanectl: failed: protect /home/alice/Documents: the profile store is read-only"},
    };
    qvt::SandboxOptions small;
    small.store_tmpfs = "size=64k,mode=0755";
    start(small);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        row.break_store();
        auto r = ctl({"allow", "--force", "/home/alice/Documents", "/usr/bin/evince"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
        EXPECT_EQ(qvt::regular_files(QV_STORE_DIR), Strings{});
        // Undo for the next row.
        mount(nullptr, QV_STORE_DIR, nullptr, MS_REMOUNT, nullptr);
        qvt::run({"/bin/rm", "-rf", QV_STORE_DIR "/filler"});
    }
}

TEST_F(Quorvanectl, NoServiceAndNoBusAreTold)
{
    start();
    qvt::kill_and_wait(env.daemon.pid);
    auto r = ctl({"show", "/home/alice/Documents"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("quorvanectl: the Quorvane service is not available:"), std::string::npos) << r.err;

    r = ctl({"list"}, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + env.sb.scratch + "/no-such-socket"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("quorvanectl: cannot reach the system bus:"), std::string::npos) << r.err;
}

}  // namespace
