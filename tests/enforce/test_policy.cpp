// The loader's thinking, without a kernel: which paths may never be
// enforced, and what a stored profile becomes in the policy maps.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
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

const PolicyEntry *find(const Policy &p, uint32_t kind, uint32_t profile = 0)
{
    auto it = std::find_if(p.entries.begin(), p.entries.end(),
                           [&](const PolicyEntry &e) { return e.key.kind == kind && e.key.profile == profile; });
    return it == p.entries.end() ? nullptr : &*it;
}

TEST(Policy, ProfilesBecomeEntries)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string dir = sb.scratch + "/Private";
    ASSERT_EQ(qvt::mkdir_p(dir), 0);
    ASSERT_EQ(mknod((sb.scratch + "/cam").c_str(), S_IFCHR | 0600, makedev(81, 5)), 0);
    struct stat st, cat;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    ASSERT_EQ(stat("/bin/cat", &cat), 0);

    struct Row {
        const char *what;
        std::string path;
        PermitType type;
        ProfileMode mode;
        std::vector<std::string> apps;
        std::vector<uint32_t> uids;
        uint32_t perm;
        uint32_t flags;        // of the object's rule
        bool exe_entry;        // /bin/cat keyed by its inode
        bool uid_entry;        // uid 1000 keyed
        uint32_t object_kind;  // 0: not enforced
    };
    const Row rows[] = {
        {"an allow list", dir, Allow, Enforce, {"/bin/cat"}, {QV_UID_ALL}, 15,
         QV_RULE_ALLOW_LIST | QV_RULE_ALL_UIDS, true, false, QV_KEY_OBJECT},
        {"a deny list in complain mode", dir, Deny, Complain, {"/bin/cat"}, {QV_UID_ALL}, 15,
         QV_RULE_COMPLAIN | QV_RULE_ALL_UIDS, true, false, QV_KEY_OBJECT},
        {"every program, one user, read only", dir, Deny, Enforce, {"*"}, {1000}, 1 | 64,
         QV_RULE_ALL_APPS, false, true, QV_KEY_OBJECT},
        {"a program missing here is noted, not fatal", dir, Allow, Enforce, {"/nonexistent/viewer"},
         {QV_UID_ALL}, 15, QV_RULE_ALLOW_LIST | QV_RULE_ALL_UIDS, false, false, QV_KEY_OBJECT},
        {"a camera node by its device number", sb.scratch + "/cam", Deny, Enforce, {"*"}, {QV_UID_ALL}, 15,
         QV_RULE_ALL_APPS | QV_RULE_ALL_UIDS, false, false, QV_KEY_DEVICE},
        {"a path that does not exist", sb.scratch + "/gone", Allow, Enforce, {}, {QV_UID_ALL}, 15, 0, false,
         false, 0},
        {"a system tree", "/etc", Allow, Enforce, {}, {QV_UID_ALL}, 15, 0, false, false, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        QvProfile p;
        p.file = row.path;
        p.profile_mode = row.mode;
        QvRule rule;
        rule.deny = row.type;
        rule.app_paths = row.apps;
        rule.uids = row.uids;
        rule.permission = row.perm;
        p.rules = {rule};
        // A second profile first, so ids are positions.
        QvProfile other = p;
        other.file = "/usr";
        Policy out = build_policy({other, p});
        if (row.object_kind == 0) {
            EXPECT_EQ(out.enforced, 0u);
            EXPECT_EQ(out.not_enforced.size(), 2u);
            continue;
        }
        ASSERT_EQ(out.enforced, 1u);
        const PolicyEntry *object = find(out, row.object_kind);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->rule.profile, 1u);
        EXPECT_EQ(object->rule.flags, row.flags);
        EXPECT_EQ(object->rule.perm, row.perm & QV_PERM_ALL);
        if (row.object_kind == QV_KEY_OBJECT) {
            EXPECT_EQ(object->key.dev, kernel_dev(st.st_dev));
            EXPECT_EQ(object->key.ino, st.st_ino);
            EXPECT_NE(find(out, QV_KEY_SUPERBLOCK), nullptr);
        } else {
            EXPECT_EQ(object->key.dev, (81u << 20) | 5u);
            EXPECT_EQ(find(out, QV_KEY_SUPERBLOCK), nullptr);
        }
        const PolicyEntry *exe = find(out, QV_KEY_EXE, 1);
        EXPECT_EQ(exe != nullptr, row.exe_entry);
        if (exe) {
            EXPECT_EQ(exe->key.dev, kernel_dev(cat.st_dev));
            EXPECT_EQ(exe->key.ino, cat.st_ino);
        }
        const PolicyEntry *uid = find(out, QV_KEY_UID, 1);
        EXPECT_EQ(uid != nullptr, row.uid_entry);
        if (uid) {
            EXPECT_EQ(uid->key.dev, 1000u);
        }
    }
    qvt::leave_sandbox(&sb);
}

}  // namespace
