// SPDX-License-Identifier: GPL-2.0-or-later
#include "harness.h"
#include "profile_file.h"
#include "quorvane.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <functional>
#include <set>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const std::string STAGING = QV_STORE_DIR "/.staging";

// What the daemon writes for a path: one rule, uid -1, permission 15.
QvProfile service_profile(const std::string &path, std::vector<std::string> apps = {"/usr/bin/a"},
                          PermitType type = Allow)
{
    QvProfile p;
    p.file = path;
    p.own_app = "/usr/bin/settings";
    p.profile_mode = Enforce;
    QvRule r;
    r.deny = type;
    r.uids = {4294967295u};
    r.app_paths = std::move(apps);
    r.permission = 15;
    p.rules.push_back(r);
    return p;
}

void expect_same(const QvProfile &a, const QvProfile &b)
{
    EXPECT_EQ(a.file, b.file);
    EXPECT_EQ(a.own_app, b.own_app);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.profile_mode, b.profile_mode);
    ASSERT_EQ(a.rules.size(), b.rules.size());
    for (size_t i = 0; i < a.rules.size(); ++i) {
        EXPECT_EQ(a.rules[i].deny, b.rules[i].deny) << "rule " << i;
        EXPECT_EQ(a.rules[i].uids, b.rules[i].uids) << "rule " << i;
        EXPECT_EQ(a.rules[i].app_paths, b.rules[i].app_paths) << "rule " << i;
        EXPECT_EQ(a.rules[i].permission, b.rules[i].permission) << "rule " << i;
    }
}

std::string file_of(const std::string &path)
{
    return QV_STORE_DIR "/" + qv_profile_file_name(path);
}

TEST(ProfileFile, EveryFieldSurvivesARoundTrip)
{
    QvProfile bytes = service_profile("/home/u/caf\xe9", {"/opt/\xff\xfe", "*", std::string("a\0b", 3)});
    bytes.own_app = "/usr/bin/\xc0\xaf";           // overlong '/'
    bytes.version = "\xed\xa0\x80";                // a UTF-16 surrogate
    QvProfile many = service_profile("/dev/video3", {"*", "*"}, Deny);
    many.profile_mode = Complain;
    QvRule empty;                                   // no uids, no apps
    QvRule extremes;
    extremes.uids = {0, 1000, 4294967295u};
    extremes.permission = 0xffffffffu;
    many.rules = {empty, extremes, many.rules[0]};
    struct Row { const char *what; QvProfile profile; };
    const Row rows[] = {
        {"a new record", QvProfile{}},
        {"what the service writes", service_profile("/home/u/Documents")},
        {"bytes that are not UTF-8", bytes},
        {"several rules, empty lists, extreme values", many},
        {"valid UTF-8 and escapes", service_profile("/home/ü/\"x\"\\\n\t", {"/usr/bin/日本"})},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string text = qv_format_profile(row.profile);
        EXPECT_NE(text.find("\"format\": \"quorvane-profile\""), std::string::npos) << text;
        QvProfile back;
        std::string why;
        ASSERT_EQ(qv_parse_profile(text, &back, &why), 0) << why << "\n" << text;
        expect_same(back, row.profile);
    }
    EXPECT_NE(qv_format_profile(bytes).find("\"hex\": \"2f6f70742ffffe\""), std::string::npos);
}

TEST(ProfileFile, BrokenTextIsRefusedWithAReason)
{
    const std::string good = qv_format_profile(service_profile("/x"));
    auto edited = [&](const char *pointer, nlohmann::json value) {
        auto doc = nlohmann::json::parse(good);
        nlohmann::json::json_pointer at(pointer);
        if (value.is_discarded())
            doc[at.parent_pointer()].erase(at.back());
        else
            doc[at] = value;
        return doc.dump();
    };
    const auto gone = nlohmann::json(nlohmann::json::value_t::discarded);
    struct Row { const char *what; std::string text; const char *reason; };
    const Row rows[] = {
        {"empty file", "", "empty"},
        {"truncated", good.substr(0, good.size() / 2), "not JSON"},
        {"not JSON", "profile: yes\n", "not JSON"},
        {"a JSON list", "[1, 2]", "not a JSON object"},
        {"wrong marker", edited("/format", "other-profile"), "not a profile"},
        {"future format", edited("/format_version", 2), "unknown format_version 2"},
        {"missing field", edited("/rules", gone), "missing field rules"},
        {"wrongly typed field", edited("/own_app", 7), "own_app: not a string"},
        {"negative uid", edited("/rules/0/uids/0", -1), "outside"},
        {"uid past 32 bits", edited("/rules/0/uids/0", 4294967296ull), "outside"},
        {"fractional permission", edited("/rules/0/permission", 1.5), "permission: not an integer"},
        {"unknown permit word", edited("/rules/0/deny", "maybe"), "rules[0].deny"},
        {"mode as a number", edited("/profile_mode", 1), "profile_mode"},
        {"bad hex string", edited("/file", {{"hex", "2f7"}}), "odd number"},
        {"missing rule field", edited("/rules/0/uids", gone), "rules[0]: missing field uids"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        QvProfile out;
        std::string why;
        EXPECT_EQ(qv_parse_profile(row.text, &out, &why), -EBADMSG);
        EXPECT_NE(why.find(row.reason), std::string::npos) << why;
    }
}

TEST(ProfileFile, HostilePathsMapToDistinctSafeNames)
{
    EXPECT_EQ(qv_profile_file_name("/etc/passwd"),
              "etc_passwd@74acf31844532670be412c65b8251ee55d072549080b1cffdbea6b1a192230a0.json");
    const std::string rows[] = {
        std::string(4095, 'a'), std::string(4095, '/'), "/", "//", ".", "..", "/..", "../../etc",
        "/a/b", "/a_b", "a/b", "/a/b/", "/tmp/x\ny", "/home/ü", "/\xff\xfe", ".hidden", "-rf",
        std::string(4095, '.'),
    };
    std::set<std::string> seen;
    for (const std::string &path : rows) {
        std::string name = qv_profile_file_name(path);
        SCOPED_TRACE(name);
        EXPECT_LE(name.size(), size_t(NAME_MAX));
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789._-@"), std::string::npos);
        EXPECT_NE(name[0], '.');
        EXPECT_NE(name[0], '-');
        EXPECT_TRUE(qv_looks_like_profile_name(name));
        EXPECT_TRUE(seen.insert(name).second) << "shared by two paths";
    }
}

class Store : public testing::Test {
protected:
    void SetUp() override
    {
        std::string why = qvt::enter_sandbox(&sb, options);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override { qvt::leave_sandbox(&sb); }
    qvt::SandboxOptions options;
    qvt::Sandbox sb;
};

TEST_F(Store, PathsAreCheckedOrKeptExactly)
{
    struct Row { std::string path; int set; int del; };
    const Row rows[] = {
        {"", -EINVAL, -EINVAL},
        {std::string("/a\0b", 4), -EINVAL, -EINVAL},
        {std::string(4096, 'x'), -ENAMETOOLONG, -ENAMETOOLONG},
        {"/" + std::string(4094, 'x'), 0, 0},
        {"relative/../x", 0, 0}, {"//", 0, 0}, {"/tmp/dir/", 0, 0}, {"/tmp/a\nb", 0, 0},
        {"/\xff\xfe", 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path.substr(0, 40));
        EXPECT_EQ(qv_set_profile(service_profile(row.path)), row.set);
        QvProfile got = qv_get_profile(row.path);
        EXPECT_EQ(got.file, row.path);
        if (row.set == 0) {
            expect_same(got, service_profile(row.path));
            EXPECT_EQ(qv_get_files(), std::vector<std::string>{row.path});
        } else {
            EXPECT_TRUE(got.rules.empty());
        }
        EXPECT_EQ(qv_del_profile(row.path), row.del);
        EXPECT_EQ(qv_del_profile(row.path), row.del ? row.del : -ENOENT) << "second deletion";
        EXPECT_TRUE(qvt::regular_files(QV_STORE_DIR).empty());
    }
}

TEST_F(Store, UnusableFilesAreReportedSkippedAndReplaced)
{
    const std::string good = qv_format_profile(service_profile("/other"));
    struct Row { const char *what; std::function<void(const std::string &)> make; const char *reason; };
    const Row rows[] = {
        {"empty", [](auto &f) { qvt::write_file(f, ""); }, "empty file"},
        {"truncated", [&](auto &f) { qvt::write_file(f, good.substr(0, 40)); }, "not JSON"},
        {"not JSON", [](auto &f) { qvt::write_file(f, "\x7f" "ELF"); }, "not JSON"},
        {"wrong marker", [](auto &f) { qvt::write_file(f, R"({"format": "x"})"); }, "not a profile"},
        {"another path's profile", [&](auto &f) { qvt::write_file(f, good); }, "path"},
        {"FIFO", [](auto &f) { ASSERT_EQ(mkfifo(f.c_str(), 0644), 0); }, "not a regular file"},
        {"symlink", [](auto &f) { ASSERT_EQ(symlink(file_of("/good").c_str(), f.c_str()), 0); },
         "symbolic link"},
        {"directory", [](auto &f) { ASSERT_EQ(mkdir(f.c_str(), 0755), 0); qvt::write_file(f + "/x", ""); },
         "not a regular file"},
    };
    ASSERT_EQ(qv_set_profile(service_profile("/good")), 0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = std::string("/bad/") + row.what, file = file_of(path);
        row.make(file);
        CaptureStderr();
        QvProfile got = qv_get_profile(path);
        std::vector<std::string> files = qv_get_files();
        std::string err = GetCapturedStderr();
        EXPECT_TRUE(got.rules.empty());
        EXPECT_EQ(got.file, path);
        EXPECT_EQ(files, std::vector<std::string>{"/good"});
        // Once from each reader, in the usual "file(line)-> " form.
        EXPECT_NE(err.find("quorvane.cpp("), std::string::npos) << err;
        EXPECT_NE(err.find(")-> ignoring profile " + file), std::string::npos) << err;
        EXPECT_NE(err.find(row.reason), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;

        ASSERT_EQ(qv_set_profile(service_profile(path)), 0);
        expect_same(qv_get_profile(path), service_profile(path));
        EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 2u);
        ASSERT_EQ(qv_del_profile(path), 0);
    }
}

// Lookups answered from memory must still see every change another process
// makes, however quickly and whatever the size of the new file.
TEST_F(Store, ChangesByOthersAreSeenAtOnce)
{
    const std::string path = "/seen", file = file_of(path);
    const std::string text_a = qv_format_profile(service_profile(path, {"/usr/bin/a"}));
    const std::string text_b = qv_format_profile(service_profile(path, {"/usr/bin/b"}));
    const std::string text_other = qv_format_profile(service_profile("/seeN", {"/usr/bin/a"}));
    ASSERT_EQ(text_a.size(), text_b.size());
    ASSERT_EQ(text_a.size(), text_other.size());
    using Strings = std::vector<std::string>;
    struct Row { const char *what; std::function<void()> change; Strings apps; Strings listed; };
    const Row rows[] = {
        {"rewritten in place, same size", [&] {
             int fd = open(file.c_str(), O_WRONLY);
             ASSERT_EQ(pwrite(fd, text_b.data(), text_b.size(), 0), static_cast<ssize_t>(text_b.size()));
             close(fd);
         }, {"/usr/bin/b"}, {path}},
        {"renamed over, same size", [&] {
             qvt::write_file(file + ".new", text_b);
             ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
         }, {"/usr/bin/b"}, {path}},
        {"removed", [&] { ASSERT_EQ(unlink(file.c_str()), 0); }, {}, {}},
        {"corrupted, same size", [&] { qvt::write_file(file, std::string(text_a.size(), '{')); }, {}, {}},
        {"rewritten in place for another path", [&] {
             int fd = open(file.c_str(), O_WRONLY);
             ASSERT_EQ(pwrite(fd, text_other.data(), text_other.size(), 0), static_cast<ssize_t>(text_other.size()));
             close(fd);
         }, {}, {}},
        {"another profile added beside it",
         [&] { qvt::write_file(file_of("/seen/2"), qv_format_profile(service_profile("/seen/2"))); },
         {"/usr/bin/a"}, {path, "/seen/2"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(qv_set_profile(service_profile(path, {"/usr/bin/a"})), 0);
        // Old enough to be kept in memory once read.
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        for (timespec now{}; clock_gettime(CLOCK_REALTIME, &now) == 0 &&
                             (now.tv_sec - st.st_ctim.tv_sec) * 1000 + (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000 < 200;)
            usleep(10000);
        ASSERT_EQ(qv_get_profile(path).rules.at(0).app_paths, std::vector<std::string>{"/usr/bin/a"});
        ASSERT_EQ(qv_get_profile(path).rules.at(0).app_paths, std::vector<std::string>{"/usr/bin/a"});
        ASSERT_EQ(qv_get_files(), Strings{path});
        ASSERT_EQ(qv_get_files(), Strings{path});
        row.change();
        CaptureStderr();
        QvProfile got = qv_get_profile(path);
        Strings listed = qv_get_files();
        GetCapturedStderr();
        EXPECT_EQ(got.rules.empty() ? std::vector<std::string>{} : got.rules[0].app_paths, row.apps);
        EXPECT_EQ(listed, row.listed);
    }
}

// A directory squatting on a profile's name is cleared before the profile
// takes its place, but what is mounted there or only linked from there is
// never touched.
TEST_F(Store, ClearingASquattingDirectoryStopsAtMountsAndLinks)
{
    const std::string outside = sb.scratch + "/outside", same_fs = QV_STORE_DIR "/.kept";
    ASSERT_EQ(qvt::mkdir_p(outside), 0);
    ASSERT_EQ(qvt::mkdir_p(same_fs), 0);
    qvt::write_file(outside + "/keep", "outside");
    qvt::write_file(same_fs + "/keep", "same file system");
    struct Row {
        const char *what;
        std::function<void(const std::string &)> make;  // given the squatting directory
        int set;
        std::string kept;  // a file that must survive
    };
    const Row rows[] = {
        {"a tmpfs mounted inside", [&](const std::string &d) {
             ASSERT_EQ(qvt::mount_tmpfs(d + "/m"), 0);
             qvt::write_file(d + "/m/keep", "mounted");
         }, -EISDIR, "/m/keep"},
        {"a bind mount from the same file system", [&](const std::string &d) {
             ASSERT_EQ(qvt::mkdir_p(d + "/b"), 0);
             ASSERT_EQ(mount(same_fs.c_str(), (d + "/b").c_str(), nullptr, MS_BIND, nullptr), 0);
         }, -EISDIR, "/b/keep"},
        {"the directory itself a mount point", [&](const std::string &d) {
             ASSERT_EQ(mount(outside.c_str(), d.c_str(), nullptr, MS_BIND, nullptr), 0);
         }, -EISDIR, "/keep"},
        {"a symbolic link to a directory elsewhere", [&](const std::string &d) {
             ASSERT_EQ(symlink(outside.c_str(), (d + "/link").c_str()), 0);
             ASSERT_EQ(qvt::mkdir_p(d + "/deep/er"), 0);
             qvt::write_file(d + "/deep/er/gone", "");
         }, 0, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = std::string("/squat/") + row.what, dir = file_of(path);
        ASSERT_EQ(qvt::mkdir_p(dir), 0);
        row.make(dir);
        if (HasFatalFailure())
            return;
        EXPECT_EQ(qv_set_profile(service_profile(path)), row.set);
        if (row.set == 0)
            expect_same(qv_get_profile(path), service_profile(path));
        else
            EXPECT_TRUE(qvt::read_file(dir + row.kept).size() > 0) << dir + row.kept;
    }
    EXPECT_EQ(qvt::read_file(outside + "/keep"), "outside");
    EXPECT_EQ(qvt::read_file(same_fs + "/keep"), "same file system");
}

TEST_F(Store, MissingProfilesPrintNothing)
{
    CaptureStderr();
    EXPECT_TRUE(qv_get_profile("/nothing/here").rules.empty());
    EXPECT_EQ(qv_del_profile("/nothing/here"), -ENOENT);
    EXPECT_TRUE(qv_get_files().empty());
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(Store, FilesAreListedInByteOrder)
{
    for (const char *p : {"/b", "/\xff", "relative", "/a/b", "/Z", "/a", "/a b", "/\xc3\xa9"})
        ASSERT_EQ(qv_set_and_update_profile(service_profile(p)), 0) << p;
    EXPECT_EQ(qv_get_files(), (std::vector<std::string>{"/Z", "/a", "/a b", "/a/b", "/b",
                                                         "/\xc3\xa9", "/\xff", "relative"}));
}

TEST_F(Store, OneRegularFilePerProfileAndNoLitter)
{
    for (int round = 0; round < 30; ++round)
        for (int i = 0; i < 10; ++i)
            ASSERT_EQ(qv_set_profile(service_profile("/p" + std::to_string(i), {std::to_string(round)})), 0);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(qv_del_profile("/p" + std::to_string(i)), 0);
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 6u);
    EXPECT_EQ(qvt::list_dir(STAGING), std::vector<std::string>{"lock"});
    EXPECT_EQ(qv_get_profile("/p9").rules.at(0).app_paths, std::vector<std::string>{"29"});
    struct stat st;
    ASSERT_EQ(stat(file_of("/p9").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(STAGING.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    // A writer killed between creating and renaming left this behind.
    qvt::write_file(STAGING + "/new-" + qv_profile_file_name("/p9"), "{\"half");
    ASSERT_EQ(qv_set_profile(service_profile("/p5")), 0);
    EXPECT_EQ(qvt::list_dir(STAGING), std::vector<std::string>{"lock"});
}

TEST_F(Store, AKilledWriterLeavesTheOldOrTheNewProfile)
{
    const QvProfile small = service_profile("/k", {"/usr/bin/a"});
    const QvProfile large = service_profile("/k", std::vector<std::string>(20000, "/usr/bin/some/app"));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0;; ++i) {
            if (qv_set_profile(i % 2 ? small : large) != 0)
                _exit(1);
            if (i == 1 && write(ready[1], "x", 1) != 1)
                _exit(1);
        }
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    qvt::kill_and_wait(child);
    close(ready[0]);
    close(ready[1]);

    CaptureStderr();
    QvProfile got = qv_get_profile("/k");
    EXPECT_EQ(GetCapturedStderr(), "");
    ASSERT_EQ(got.rules.size(), 1u);
    expect_same(got, got.rules[0].app_paths.size() == 1 ? small : large);
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 1u);
    ASSERT_EQ(qv_set_profile(small), 0);
    EXPECT_EQ(qvt::list_dir(STAGING), std::vector<std::string>{"lock"});
}

TEST_F(Store, ThreadsAndAProcessStoreAtOnce)
{
    constexpr int rounds = 150;
    auto valid = [](const QvProfile &p) {
        return p.rules.empty() || (p.rules.size() == 1 && p.rules[0].permission == 15 &&
                                   p.rules[0].app_paths.size() == 1);
    };
    pid_t child = fork();  // before any thread exists
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < rounds; ++i)
            if (qv_set_profile(service_profile("/shared", {"child" + std::to_string(i)})) != 0)
                _exit(1);
        _exit(0);
    }
    std::atomic<int> failures{0};
    auto worker = [&](const std::string &me) {
        for (int i = 0; i < rounds; ++i) {
            if (qv_set_profile(service_profile(me + std::to_string(i % 7), {me})) != 0 ||
                qv_set_profile(service_profile("/shared", {me})) != 0 ||
                !valid(qv_get_profile("/shared")) || qv_get_files().empty())
                ++failures;
            if (i % 7 == 6 && qv_del_profile(me + "3") != 0)
                ++failures;
        }
    };
    CaptureStderr();
    std::thread a(worker, "/a"), b(worker, "/b");
    a.join();
    b.join();
    EXPECT_EQ(qvt::wait_exit(child), 0);
    EXPECT_EQ(GetCapturedStderr(), "") << "no reader saw a partial file";
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(qv_get_files().size(), 13u);  // 2 x 7 own paths, less /a3 and /b3, + /shared
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 13u);
    EXPECT_EQ(qvt::list_dir(STAGING), std::vector<std::string>{"lock"});
}

class TinyStore : public Store {
protected:
    TinyStore() { options.store_tmpfs = "size=64k,mode=0755"; }
};

TEST_F(TinyStore, AFullStoreKeepsTheOldProfile)
{
    const QvProfile old = service_profile("/f");
    ASSERT_EQ(qv_set_profile(old), 0);
    EXPECT_EQ(qv_set_and_update_profile(service_profile("/f", std::vector<std::string>(20000, "/usr/bin/x"))),
              -ENOSPC);
    expect_same(qv_get_profile("/f"), old);
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), 1u);
    EXPECT_EQ(qvt::list_dir(STAGING), std::vector<std::string>{"lock"});
}

TEST_F(Store, AReadOnlyStoreRefusesChanges)
{
    ASSERT_EQ(qv_set_profile(service_profile("/r")), 0);
    ASSERT_EQ(mount(nullptr, QV_STORE_DIR, nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
    EXPECT_EQ(qv_set_profile(service_profile("/r", {"/usr/bin/b"})), -EROFS);
    EXPECT_EQ(qv_set_profile(service_profile("/new")), -EROFS);
    EXPECT_EQ(qv_del_profile("/r"), -EROFS);
    EXPECT_EQ(qv_del_profile("/missing"), -ENOENT);
    expect_same(qv_get_profile("/r"), service_profile("/r"));
    EXPECT_EQ(qv_update(), 0);
}

class NoStore : public Store {
protected:
    NoStore() { options.store_present = false; }
};

TEST_F(NoStore, TheFirstStoreCreatesTheDirectory)
{
    EXPECT_EQ(qv_update(), -ENOENT);
    EXPECT_TRUE(qv_get_files().empty());
    EXPECT_EQ(qv_del_profile("/x"), -ENOENT);
    ASSERT_EQ(qv_set_and_update_profile(service_profile("/x")), 0);
    struct stat st;
    ASSERT_EQ(stat(QV_STORE_DIR, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(qv_get_files(), std::vector<std::string>{"/x"});
}

}  // namespace
