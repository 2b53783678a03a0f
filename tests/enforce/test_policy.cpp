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
#include <map>
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

// Profiles list program numbers; each listed executable has one entry, so
// handing a listing to a new file is one entry. Programs someone other than
// root may change are reported.
TEST(Policy, ProgramsAreNumberedAndWeakOnesReported)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string s = sb.scratch;
    ASSERT_EQ(chmod(s.c_str(), 0755), 0);
    for (const char *f : {"/a", "/b"})
        ASSERT_EQ(qvt::mkdir_p(s + f), 0);
    const std::string root_kept = s + "/viewer", users = s + "/mine", open_folder = s + "/pub/tool";
    ASSERT_EQ(qvt::mkdir_p(s + "/pub"), 0);
    ASSERT_EQ(chmod((s + "/pub").c_str(), 0777), 0);
    for (const auto &f : {root_kept, users, open_folder})
        qvt::write_file(f, "x", 0755);
    ASSERT_EQ(chown(users.c_str(), 1000, 1000), 0);
    auto profile = [](const std::string &path, PermitType deny, std::vector<std::string> apps) {
        QvProfile p;
        p.file = path;
        QvRule r;
        r.deny = deny;
        r.permission = QV_PERM_ALL;
        r.uids = {QV_UID_ALL};
        r.app_paths = std::move(apps);
        p.rules = {r};
        return p;
    };
    Policy policy = build_policy({profile(s + "/a", Deny, {root_kept, users, open_folder}),
                                  profile(s + "/b", Allow, {root_kept})});
    std::map<uint64_t, qv_rule> programs;  // inode: entry
    std::vector<std::pair<uint32_t, uint32_t>> listings;  // profile, number
    for (const auto &e : policy.entries) {
        if (e.key.kind == QV_KEY_PROGRAM)
            programs[e.key.ino] = e.rule;
        if (e.key.kind == QV_KEY_EXE)
            listings.emplace_back(e.key.profile, e.key.dev);
    }
    struct stat st;
    ASSERT_EQ(stat(root_kept.c_str(), &st), 0);
    ASSERT_EQ(programs.size(), 3u);
    const qv_rule viewer = programs[st.st_ino];
    EXPECT_EQ(viewer.flags, QV_RULE_IN_ALLOW_LIST);  // also in the deny list: one number
    EXPECT_EQ(std::count(listings.begin(), listings.end(), std::make_pair(1u, viewer.profile)), 1);
    EXPECT_EQ(std::count(listings.begin(), listings.end(), std::make_pair(0u, viewer.profile)), 1);
    ASSERT_EQ(policy.weak_programs.size(), 2u);
    EXPECT_EQ(policy.weak_programs[0].path, users);
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
