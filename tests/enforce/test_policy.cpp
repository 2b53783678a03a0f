// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's thinking, without a kernel: which paths may never be
// enforced, and device numbers as the kernel keeps them. (What profiles do
// once in force is the VM test's business.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "enforce.h"
#include "harness.h"
#include "held.h"
#include "path_watch.h"
#include "policy.h"

namespace {

TEST(Policy, SystemTreesAreNeverEnforced)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string s = sb.scratch;
    ASSERT_EQ(symlink("/usr/lib", (s + "/libs").c_str()), 0);
    ASSERT_EQ(qvt::mkdir_p(s + "/etc-alias"), 0);
    ASSERT_EQ(mount("/etc", (s + "/etc-alias").c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mknod((s + "/cam").c_str(), S_IFCHR | 0600, makedev(81, 3)), 0);
    // A /dev of the sandbox's own, holding one disk node.
    ASSERT_EQ(qvt::mount_tmpfs("/dev"), 0);
    ASSERT_EQ(mknod("/dev/qvt-disk", S_IFCHR | 0600, makedev(8, 0)), 0);
    struct Row {
        std::string path;
        bool refused;
    };
    const Row rows[] = {
        {"/", true},
        {"/usr", true},
        {"/usr/share/doc", true},
        {"/home/../usr/bin", true},          // folded before the check
        {"//etc/", true},
        {"/var/lib/quorvane", true},
        {"/run/user/1000", true},
        {"/lib64", true},
        {s + "/libs", true},                  // a symbolic link into /usr
        {s + "/etc-alias/passwd", true},      // /etc under another name
        {"/dev/qvt-disk", true},              // a device node that is no camera
        {"/dev/video7", false},               // a camera node not there yet
        {s + "/cam", false},                  // a camera node
        {"/usrdata/x", false},                // a name that only begins like /usr
        {"/home/alice/Private", false},
        {"relative/path", true},
    };
    for (const auto &row : rows)
        EXPECT_EQ(!system_tree_reason(row.path).empty(), row.refused) << row.path;
    umount((s + "/etc-alias").c_str());
    qvt::leave_sandbox(&sb);
}

// A profile's path is resolved one name at a time: a symbolic link is
// followed only when root owns it in a folder only root may write. A
// camera node that is not there is no failure.
TEST(Policy, LinksAUserCouldPlantAreNotFollowed)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string s = sb.scratch;
    ASSERT_EQ(chmod(s.c_str(), 0755), 0);
    ASSERT_EQ(qvt::mount_tmpfs("/dev"), 0);
    for (const char *d : {"/bob/Private", "/alice", "/shared"})
        ASSERT_EQ(qvt::mkdir_p(s + d), 0);
    ASSERT_EQ(chown((s + "/alice").c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod((s + "/shared").c_str(), 01777), 0);
    ASSERT_EQ(symlink((s + "/bob").c_str(), (s + "/system-link").c_str()), 0);  // root's, in a root folder
    ASSERT_EQ(symlink((s + "/bob").c_str(), (s + "/alice/Docs").c_str()), 0);
    ASSERT_EQ(lchown((s + "/alice/Docs").c_str(), 1000, 1000), 0);
    ASSERT_EQ(symlink((s + "/bob").c_str(), (s + "/shared/root-link").c_str()), 0);
    struct Row {
        std::string path;
        std::string not_enforced;  // "" when in force or absent
    };
    const Row rows[] = {
        {s + "/system-link/Private", ""},
        {s + "/alice/Docs/Private", "the symbolic link " + s + "/alice/Docs belongs to uid 1000"},
        {s + "/shared/root-link", "the symbolic link " + s + "/shared/root-link sits in a folder other users"},
        {s + "/bob/nothing", "cannot be resolved: No such file or directory"},
        {"/dev/video9", ""},
    };
    std::vector<QvProfile> profiles;
    for (const Row &row : rows) {
        QvProfile p;
        p.file = row.path;
        p.rules = {QvRule{Allow, {QV_UID_ALL}, {"*"}, QV_PERM_ALL}};
        profiles.push_back(p);
    }
    Policy policy = build_policy(profiles);
    EXPECT_EQ(policy.enforced, 1u);
    EXPECT_EQ(policy.absent_cameras, std::vector<std::string>{"/dev/video9"});
    for (const Row &row : rows) {
        auto n = std::find_if(policy.not_enforced.begin(), policy.not_enforced.end(),
                              [&](const NotEnforced &x) { return x.path == row.path; });
        const std::string got = n == policy.not_enforced.end() ? "" : n->why;
        EXPECT_EQ(got.substr(0, row.not_enforced.size()), row.not_enforced) << row.path;
    }
    qvt::leave_sandbox(&sb);
}

// An object whose path stops leading to it (a folder above renamed) stays
// protected while it exists; a new folder at the old path is protected too.
TEST(Policy, AnObjectWhosePathMovedAwayIsKept)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string s = sb.scratch;
    ASSERT_EQ(qvt::mkdir_p(s + "/A/Docs"), 0);
    QvProfile p;
    p.file = s + "/A/Docs";
    p.rules = {QvRule{Allow, {QV_UID_ALL}, {"*"}, QV_PERM_ALL}};
    struct stat old;
    ASSERT_EQ(stat(p.file.c_str(), &old), 0);
    auto has_object = [&](const Policy &policy, const struct stat &st) {
        return std::any_of(policy.entries.begin(), policy.entries.end(), [&](const PolicyEntry &e) {
            return e.key.kind == QV_KEY_OBJECT && e.key.dev == kernel_dev(st.st_dev) && e.key.ino == st.st_ino;
        });
    };
    Held held;
    std::vector<std::string> notes;
    Policy first = build_policy({p});
    EXPECT_TRUE(held_apply(&held, &first, &notes).empty());

    ASSERT_EQ(rename((s + "/A").c_str(), (s + "/B").c_str()), 0);
    for (int reload = 0; reload < 3; ++reload) {
        Policy policy = build_policy({p});
        std::vector<Moved> moved = held_apply(&held, &policy, &notes);
        ASSERT_EQ(moved.size(), 1u) << (notes.empty() ? "" : notes.front());
        EXPECT_EQ(moved[0].path, p.file);
        EXPECT_EQ(moved[0].now_at, s + "/B/Docs");
        EXPECT_TRUE(has_object(policy, old)) << "reload " << reload;
    }
    ASSERT_EQ(qvt::mkdir_p(s + "/A/Docs"), 0);
    struct stat fresh;
    ASSERT_EQ(stat(p.file.c_str(), &fresh), 0);
    Policy both = build_policy({p});
    EXPECT_EQ(held_apply(&held, &both, &notes).size(), 1u);
    EXPECT_TRUE(has_object(both, old));
    EXPECT_TRUE(has_object(both, fresh));

    // Gone is gone: a deleted object is let go.
    ASSERT_EQ(rmdir((s + "/B/Docs").c_str()), 0);
    Policy after = build_policy({p});
    EXPECT_TRUE(held_apply(&held, &after, &notes).empty());
    EXPECT_FALSE(has_object(after, old));
    qvt::leave_sandbox(&sb);
}

// Only changes of names on the way to a watched path count.
TEST(Policy, WatchedWaysSeeOnlyTheirNames)
{
    char dir[] = "/tmp/qv-watch.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string s = dir;
    ASSERT_EQ(qvt::mkdir_p(s + "/a"), 0);
    auto create = [](const std::string &path) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0755);
        return fd < 0 ? -1 : close(fd);
    };
    PathWatch w;
    ASSERT_EQ(watch_open(&w), 0);
    EXPECT_EQ(watch_paths(&w, {s + "/a/b/Docs", s + "/bin/viewer"}), 0u);
    struct Row {
        const char *what;
        std::function<int()> act;
        bool changed;
    };
    const Row rows[] = {
        {"another name in a watched folder", [&] { return mkdir((s + "/a/other").c_str(), 0755); }, false},
        {"the next folder on the way appears", [&] { return mkdir((s + "/a/b").c_str(), 0755); }, true},
        {"a program's folder appears", [&] { return mkdir((s + "/bin").c_str(), 0755); }, true},
    };
    for (const Row &row : rows) {
        ASSERT_EQ(row.act(), 0) << row.what;
        EXPECT_EQ(watch_changed(&w), row.changed) << row.what;
        watch_paths(&w, {s + "/a/b/Docs", s + "/bin/viewer"});  // as a reload does
    }
    const Row after[] = {
        {"the path itself appears", [&] { return mkdir((s + "/a/b/Docs").c_str(), 0755); }, true},
        {"a file beside the program", [&] { return create(s + "/bin/cat"); }, false},
        {"the program is written", [&] { return create(s + "/bin/viewer"); }, true},
        {"a folder above is renamed", [&] { return rename((s + "/a").c_str(), (s + "/z").c_str()); }, true},
    };
    for (const Row &row : after) {
        ASSERT_EQ(row.act(), 0) << row.what;
        EXPECT_EQ(watch_changed(&w), row.changed) << row.what;
    }
    EXPECT_EQ(std::system(("rm -rf " + s).c_str()), 0);
}

TEST(Policy, DeviceNumbersInTheKernelsEncoding)
{
    EXPECT_EQ(kernel_dev(makedev(8, 1)), (8u << 20) | 1u);
    EXPECT_EQ(kernel_dev(makedev(259, 300)), (259u << 20) | 300u);  // minor past 8 bits
    EXPECT_EQ(kernel_dev(makedev(81, 0)), 81u << 20);
}

// One entry per listed executable (profiles list its number), flagged when
// an allow list names it; programs someone other than root may change are
// reported.
TEST(Policy, ProgramsAreNumberedAndWeakOnesReported)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string s = sb.scratch, kept = s + "/viewer", users = s + "/mine";
    ASSERT_EQ(chmod(s.c_str(), 0755), 0);
    ASSERT_EQ(qvt::mkdir_p(s + "/pub", 0777), 0);
    ASSERT_EQ(chmod((s + "/pub").c_str(), 0777), 0);
    for (const auto &f : {kept, users, s + "/pub/tool"})
        qvt::write_file(f, "x", 0755);
    ASSERT_EQ(chown(users.c_str(), 1000, 1000), 0);
    QvProfile a, b;
    a.file = s;
    a.rules = {QvRule{}};
    a.rules[0].deny = Deny;
    a.rules[0].app_paths = {kept, users, s + "/pub/tool"};
    b.file = s + "/pub";
    b.rules = {QvRule{}};
    b.rules[0].app_paths = {kept};
    Policy policy = build_policy({a, b});
    struct stat st;
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    std::vector<std::pair<uint32_t, uint32_t>> numbered, listed;  // ino, flags; profile, number
    for (const auto &e : policy.entries) {
        if (e.key.kind == QV_KEY_PROGRAM && e.key.ino == st.st_ino)
            numbered.emplace_back(e.rule.profile, e.rule.flags);
        if (e.key.kind == QV_KEY_EXE)
            listed.emplace_back(e.key.profile, e.key.dev);
    }
    ASSERT_EQ(numbered.size(), 1u);
    EXPECT_EQ(numbered[0].second, uint32_t{QV_RULE_IN_ALLOW_LIST});
    EXPECT_EQ(std::count(listed.begin(), listed.end(), std::make_pair(0u, numbered[0].first)), 1);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), std::make_pair(1u, numbered[0].first)), 1);
    ASSERT_EQ(policy.weak_programs.size(), 2u);
    EXPECT_EQ(policy.weak_programs[0].why, "uid 1000 owns it");
    EXPECT_EQ(policy.weak_programs[1].why, "its folder " + s + "/pub may be written by its group or everyone");
    qvt::leave_sandbox(&sb);
}

}  // namespace
