// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's thinking, without a kernel: which paths may never be
// enforced, and device numbers as the kernel keeps them. (What profiles do
// once in force is the VM test's business.)
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

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

TEST(Policy, DeviceNumbersInTheKernelsEncoding)
{
    EXPECT_EQ(kernel_dev(makedev(8, 1)), (8u << 20) | 1u);
    EXPECT_EQ(kernel_dev(makedev(259, 300)), (259u << 20) | 300u);  // minor past 8 bits
    EXPECT_EQ(kernel_dev(makedev(81, 0)), 81u << 20);
}

}  // namespace
