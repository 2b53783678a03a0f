// SPDX-License-Identifier: GPL-2.0-or-later
// Storage faults under the running daemon: a full, a read-only, a misplaced
// and a foreign-owned store. Each failed change answers with the errno's
// error name, leaves the store byte for byte as it was and switches no unit;
// the daemon keeps serving and succeeds once the fault is gone.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "hostile_env.h"
#include "quorvane.h"
#include "quorvane.h"

namespace qvh {
namespace {

using HostileStorage = HostileEnv;

struct Change {
    const char *what;
    const char *object;
    const char *iface;
    const char *member;
    Strings args;
};

const char *const file_obj = qvt::file_object;
const char *const file_if = qvt::file_iface;
const char *const cam_obj = qvt::camera_object;
const char *const cam_if = qvt::camera_iface;

// Every kind of change the service makes, on a store that can take none.
const Change all_changes[] = {
    {"Enable of a new path", file_obj, file_if, "Enable", {"string:/home/user/new", "array:string:/usr/bin/a", "boolean:true"}},
    {"Enable replacing a profile", file_obj, file_if, "Enable", {"string:/home/user/a", "array:string:/usr/bin/b", "boolean:false"}},
    {"SetMode 0 of a new path", file_obj, file_if, "SetMode", {"string:/home/user/new", "int32:0"}},
    {"SetMode 1 removing a profile", file_obj, file_if, "SetMode", {"string:/home/user/a", "int32:1"}},
    {"camera Enable", cam_obj, cam_if, "Enable", {"array:string:/usr/bin/cheese", "boolean:true"}},
    {"camera SetMode 0", cam_obj, cam_if, "SetMode", {"int32:0"}},
    {"camera SetMode 1", cam_obj, cam_if, "SetMode", {"int32:1"}},
};

// Runs every change (those whose index is in skip excepted) and expects each
// to fail with the error ("name: message") and to change nothing.
void expect_all_refused(HostileEnv *t, const std::string &error, const std::vector<size_t> &skip = {})
{
    const auto before = tree_snapshot(QV_STORE_DIR);
    const size_t units = t->unit_calls().size();
    for (size_t i = 0; i < std::size(all_changes); ++i) {
        if (std::find(skip.begin(), skip.end(), i) != skip.end())
            continue;
        const Change &c = all_changes[i];
        SCOPED_TRACE(c.what);
        qvt::RunResult r = t->call(c.object, c.iface, c.member, c.args);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(qvt::reply_error_line(r), error) << r.err;
        EXPECT_EQ(tree_snapshot(QV_STORE_DIR), before);
        EXPECT_EQ(t->unit_calls().size(), units);
    }
}

// Stores what the daemon would: one profile of /home/user/a and the camera.
void store_profiles(HostileEnv *t)
{
    ASSERT_EQ(t->enable("/home/user/a", {"/usr/bin/a"}, true).status, 0);
    ASSERT_EQ(t->call(cam_obj, cam_if, "Enable", {"array:string:/usr/bin/cam", "boolean:true"}).status, 0);
}

// Fills the store's file system to the last page with a file the store never
// reads (a dot name in its staging area); returns its descriptor, which a
// later call fills up again.
int fill_store(int fd = -1)
{
    if (fd < 0)
        fd = open(QV_STORE_DIR "/.staging/.filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string chunk(1 << 16, 'x');
    while (fd >= 0 && write(fd, chunk.data(), chunk.size()) > 0) {
    }
    const std::string page(4096, 'x');
    while (fd >= 0 && write(fd, page.data(), page.size()) > 0) {
    }
    return fd;
}

TEST_F(HostileStorage, FullStoreRefusesEveryChangeButRemoval)
{
    qvt::SandboxOptions opts;
    opts.store_tmpfs = "size=256k,mode=0755";
    enter(opts);
    launch();
    store_profiles(this);
    int filler = fill_store();
    ASSERT_GE(filler, 0);

    // Removals need no room: they are not refused (rows 3 and 6).
    expect_all_refused(this, "System.Error.ENOSPC: No space left on device", {3, 6});
    EXPECT_NE(daemon_err().find("qv_set_and_update_profile failed. file = /dev/video0\n"), std::string::npos);
    EXPECT_EQ(getapps("/home/user/a"), std::make_pair(Strings{"/usr/bin/a"}, 1));
    EXPECT_EQ(getapps("/dev/video5"), std::make_pair(Strings{"/usr/bin/cam"}, 1));

    // With room for two more files, the camera's nine nodes cannot all be
    // stored: whatever the reply, no node holds a part of a profile and
    // every node left out is named.
    ASSERT_EQ(setmode("/home/user/a", 1).status, 0);
    ASSERT_EQ(call(cam_obj, cam_if, "SetMode", {"int32:1"}).status, 0);
    EXPECT_EQ(list(), Strings{});
    fill_store(filler);
    struct stat st;
    ASSERT_EQ(fstat(filler, &st), 0);
    ASSERT_EQ(ftruncate(filler, st.st_size - 2 * 4096), 0);
    qvt::RunResult r = call(cam_obj, cam_if, "Enable", {"array:string:/usr/bin/cam2", "boolean:true"});
    Strings stored = list();
    int named = 0;
    for (int n = 0; n <= 8; ++n) {
        std::string node = "/dev/video" + std::to_string(n);
        bool in_list = std::find(stored.begin(), stored.end(), node) != stored.end();
        bool reported = daemon_err().find("qv_set_profile failed: " + node + "\n") != std::string::npos;
        EXPECT_NE(in_list, reported) << node;
        if (in_list) {
            EXPECT_EQ(getapps(node), std::make_pair(Strings{"/usr/bin/cam2"}, 1)) << node;
        }
        named += reported;
    }
    std::printf("camera Enable with room for 2 files: reply %s, %zu of 9 nodes stored, %d named as failed\n",
                r.status == 0 ? "success" : qvt::reply_error(r).c_str(), stored.size(), named);

    // Room again: every change succeeds.
    ASSERT_EQ(ftruncate(filler, 0), 0);
    close(filler);
    r = call(cam_obj, cam_if, "Enable", {"array:string:/usr/bin/cam3", "boolean:true"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(getapps("/dev/video8"), std::make_pair(Strings{"/usr/bin/cam3"}, 1));
    EXPECT_EQ(setmode("/home/user/new", 0).status, 0);
    EXPECT_EQ(unit_calls().back(), "enable quorvane.service");
}

TEST_F(HostileStorage, ReadOnlyStoreRefusesEveryChange)
{
    enter();
    launch();
    store_profiles(this);
    // The store's own file system turns read-only, for the daemon too.
    ASSERT_EQ(mount(nullptr, QV_STORE_DIR, nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    expect_all_refused(this, "System.Error.EROFS: Read-only file system");
    EXPECT_EQ(getmode("/home/user/a"), 2);
    EXPECT_EQ(getmode("/dev/video3"), 2);
    EXPECT_EQ(list().size(), 10u);

    ASSERT_EQ(mount(nullptr, QV_STORE_DIR, nullptr, MS_REMOUNT, nullptr), 0);
    EXPECT_EQ(setmode("/home/user/a", 1).status, 0);
    EXPECT_EQ(getmode("/home/user/a"), 1);
    EXPECT_EQ(unit_calls().back(), "enable quorvane.service");
}

TEST_F(HostileStorage, StorePathThatIsNotADirectory)
{
    qvt::SandboxOptions opts;
    opts.store_present = false;
    enter(opts);
    qvt::write_file(QV_STORE_DIR, "not a directory\n");
    // The daemon must be able to make the store once the file is gone.
    launch({}, false);

    // Reads see no profile; changes fail with the file system's word for it.
    EXPECT_EQ(getmode("/home/user/a"), 1);
    EXPECT_EQ(list(), Strings{});
    expect_all_refused(this, "System.Error.ENOTDIR: Not a directory");
    EXPECT_EQ(qvt::read_file(QV_STORE_DIR), "not a directory\n");

    ASSERT_EQ(unlink(QV_STORE_DIR), 0);
    EXPECT_EQ(enable("/home/user/a", {"/usr/bin/a"}, true).status, 0);
    EXPECT_EQ(getmode("/home/user/a"), 2);
    EXPECT_EQ(unit_calls(), Strings{"enable quorvane.service"});

}

// A symbolic link in the store's place is refused, never written through.
TEST_F(HostileStorage, SymbolicLinkInTheStoresPlaceIsNotFollowed)
{
    qvt::SandboxOptions opts;
    opts.store_present = false;
    enter(opts);
    const std::string elsewhere = env.sb.scratch + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), QV_STORE_DIR), 0);
    launch({}, false);
    qvt::RunResult r = enable("/home/user/b", {"/usr/bin/b"}, true);
    EXPECT_EQ(qvt::reply_error(r), "System.Error.ENOTDIR") << r.err;
    EXPECT_EQ(qvt::list_dir(elsewhere), Strings{});
    EXPECT_EQ(getmode("/home/user/b"), 1);
    EXPECT_EQ(unit_calls(), Strings{});
}

// Reads the effective capability set of pid from /proc.
unsigned long long effective_caps(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 7, "CapEff:") == 0)
            return std::stoull(line.substr(7), nullptr, 16);
    return ~0ull;
}

void chown_tree(const std::string &dir, uid_t uid)
{
    ASSERT_EQ(lchown(dir.c_str(), uid, uid), 0);
    for (const auto &[path, desc] : tree_snapshot(dir))
        ASSERT_EQ(lchown(path.c_str(), uid, uid), 0) << path;
}

TEST_F(HostileStorage, StoreOfAnotherOwnerRefusesARootWithoutOverride)
{
    enter();
    // Profiles of another owner: /home/user/a readable, /home/user/secret not.
    QvProfile p;
    p.profile_mode = Enforce;
    p.rules.resize(1);
    p.rules[0].app_paths = {"/usr/bin/a"};
    p.rules[0].permission = 15;
    for (const char *path : {"/home/user/a", "/home/user/secret", "/dev/video0"}) {
        p.file = path;
        ASSERT_EQ(qv_set_profile(p), 0);
    }
    Strings names = qvt::regular_files(QV_STORE_DIR);
    chown_tree(QV_STORE_DIR, 1000);
    for (const auto &name : names) {
        if (qvt::read_file(QV_STORE_DIR "/" + name).find("secret") != std::string::npos) {
            ASSERT_EQ(chmod((QV_STORE_DIR "/" + name).c_str(), 0600), 0);
        }
    }

    launch({"/usr/bin/setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"});
    const unsigned long long dac_caps = (1ull << 1) | (1ull << 2) | (1ull << 3);  // dac_override, dac_read_search, fowner
    if (effective_caps(env.daemon.pid) & dac_caps)
        GTEST_SKIP() << "setpriv could not drop the DAC capabilities";

    // The caller is still learned (root keeps CAP_SYS_PTRACE for /proc/<pid>/exe).
    EXPECT_EQ(getmode("/home/user/a"), 2);
    EXPECT_EQ(getmode("/home/user/secret"), 1);
    EXPECT_NE(daemon_err().find("Permission denied"), std::string::npos) << daemon_err();
    // The bus library names EACCES as it names a refused caller's EPERM; the
    // message tells them apart.
    expect_all_refused(this, "org.freedesktop.DBus.Error.AccessDenied: Permission denied");
    EXPECT_NE(qvt::read_file(env.daemon.out_path).find("caller is: /usr/bin/dbus-send\n"), std::string::npos);

    chown_tree(QV_STORE_DIR, 0);
    EXPECT_EQ(getmode("/home/user/secret"), 2);
    EXPECT_EQ(enable("/home/user/new", {"/usr/bin/n"}, false).status, 0);
    EXPECT_EQ(getapps("/home/user/new"), std::make_pair(Strings{"/usr/bin/n"}, 0));
}

}  // namespace
}  // namespace qvh
