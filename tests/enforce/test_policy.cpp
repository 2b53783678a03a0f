// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's thinking, without a kernel: which paths may never be
// enforced, and device numbers as the kernel keeps them. (What profiles do
// once in force is the VM test's business.)
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "enforce.h"
#include "harness.h"
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

TEST(Policy, DeviceNumbersInTheKernelsEncoding)
{
    EXPECT_EQ(kernel_dev(makedev(8, 1)), (8u << 20) | 1u);
    EXPECT_EQ(kernel_dev(makedev(259, 300)), (259u << 20) | 300u);  // minor past 8 bits
    EXPECT_EQ(kernel_dev(makedev(81, 0)), 81u << 20);
}

}  // namespace
