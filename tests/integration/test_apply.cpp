// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_apply, the program quorvane.service runs at boot, on stores as
// they can be found after a crash, an edit by hand or a bad copy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "harness.h"
#include "profile_file.h"
#include "quorvane.h"

namespace {

QvProfile profile_of(const std::string &path)
{
    QvProfile p;
    p.file = path;
    p.own_app = "/usr/bin/dbus-send";
    p.profile_mode = Enforce;
    QvRule rule;
    rule.deny = Deny;
    rule.uids = {4294967295u};
    rule.app_paths = {"*"};
    rule.permission = 15;
    p.rules = {rule};
    return p;
}

// Stores path's profile the way the library names and writes it.
std::string store(const std::string &path)
{
    std::string name = qv_profile_file_name(path);
    qvt::write_file(QV_STORE_DIR "/" + name, qv_format_profile(profile_of(path)));
    return name;
}

TEST(Apply, ChecksEveryProfileFileAndFailsOnABadOne)
{
    struct Row {
        const char *what;
        bool store_present;
        std::function<void()> fill;
        int status;
        std::string out, err;  // parts of standard output and standard error
    };
    const std::string bad_name = "home_x@" + std::string(64, '0') + ".json";
    const Row rows[] = {
        {"an empty store", true, [] {}, 0, "0 profiles in force", ""},
        {"no store at all", false, [] {}, 0, "nothing to put into force", ""},
        {"two good profiles", true, [] { store("/home/a"); store("/dev/video0"); }, 0, "2 profiles in force", ""},
        {"a corrupt file beside a good one", true,
         [&] {
             store("/home/a");
             qvt::write_file(QV_STORE_DIR "/" + bad_name, "{ \"file\": ");
         },
         1, "", "unreadable profile " QV_STORE_DIR "/" + bad_name + ": "},
        {"an empty file", true, [&] { qvt::write_file(QV_STORE_DIR "/" + bad_name, ""); }, 1, "",
         "1 of 1 profile files unreadable; the other 0 are in force"},
        {"a good profile copied under another path's name", true,
         [&] {
             qvt::write_file(QV_STORE_DIR "/" + bad_name, qv_format_profile(profile_of("/home/a")));
         },
         1, "", "records a path that is not stored under this name"},
        {"only a subdirectory and a symbolic link", true,
         [] {
             mkdir(QV_STORE_DIR "/.staging", 0700);
             std::string name = store("/home/a");
             rename((QV_STORE_DIR "/" + name).c_str(), QV_STORE_DIR "/.staging/kept");
             symlink(".staging/kept", (QV_STORE_DIR "/" + name).c_str());
         },
         0, "0 profiles in force", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qvt::Sandbox sb;
        qvt::SandboxOptions opts;
        opts.store_present = row.store_present;
        std::string why = qvt::enter_sandbox(&sb, opts);
        if (!why.empty())
            GTEST_SKIP() << why;
        row.fill();
        auto r = qvt::run({qvt::binary_path("tools/quorvane_apply")});
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        if (row.status == 0) {
            EXPECT_EQ(r.err, "");
        }
        qvt::leave_sandbox(&sb);
    }
}

}  // namespace
