// SPDX-License-Identifier: GPL-2.0-or-later
// The reload handshake between the store (qv_update) and the enforcement
// loader, on this machine's kernel: the loader builds its maps but the
// kernel will not attach its program, so every reload must fail with
// EOPNOTSUPP, visibly; and the store-only and broken-loader cases.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "enforce.h"
#include "harness.h"
#include "quorvane.h"

namespace {

// A SEQPACKET socket bound at QV_CONTROL_SOCKET; listening or not.
int bind_control(bool listening)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, QV_CONTROL_SOCKET);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || (listening && listen(fd, 4) < 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

QvProfile profile_of(const std::string &path, const std::vector<std::string> &apps)
{
    QvProfile p;
    p.file = path;
    p.profile_mode = Enforce;
    QvRule rule;
    rule.deny = Allow;
    rule.uids = {QV_UID_ALL};
    rule.app_paths = apps;
    rule.permission = QV_PERM_ALL;
    p.rules = {rule};
    return p;
}

// A sandbox with its own /run/quorvane and its own BPF file system, so
// nothing of a loader can reach the host's.
void enter(qvt::Sandbox *sb)
{
    std::string why = qvt::enter_sandbox(sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    // A tmpfs on all of /run, so not even the folder is made on the host's.
    ASSERT_EQ(qvt::mount_tmpfs("/run"), 0);
    ASSERT_EQ(qvt::mkdir_p(QV_RUN_DIR), 0);
    mount("qvt-bpf", "/sys/fs/bpf", "bpf", 0, "mode=0700");
}

TEST(Handshake, QvUpdateWithoutAWorkingLoader)
{
    struct Row {
        const char *what;
        int (*setup)();  // the fd to keep open during the call, or -1
        int timeout_ms;
        int want;
    };
    const Row rows[] = {
        {"no loader installed: the store is all", [] { return -1; }, 1000, 0},
        {"a socket left behind by a loader that is gone", [] {
             int fd = bind_control(false);
             close(fd);
             return -1;
         }, 1000, -ECONNREFUSED},
        {"a loader that takes the request and never answers", [] { return bind_control(true); }, 300, -ETIMEDOUT},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qvt::Sandbox sb;
        enter(&sb);
        if (IsSkipped() || HasFatalFailure())
            return;
        int keep = row.setup();
        EXPECT_EQ(qv_reload_enforcement(QV_CONTROL_SOCKET, row.timeout_ms), row.want);
        if (row.want == 0) {
            EXPECT_EQ(qv_update(), 0);
        }
        if (keep >= 0)
            close(keep);
        qvt::leave_sandbox(&sb);
    }
}

TEST(Handshake, LoaderOnAKernelThatCannotRunItSaysWhyAndEveryReloadFails)
{
    qvt::Sandbox sb;
    enter(&sb);
    if (IsSkipped() || HasFatalFailure())
        return;
    // Only objects this test made, on the scratch tmpfs it mounted, and one
    // system tree the loader must refuse.
    const std::string folder = sb.scratch + "/Private";
    ASSERT_EQ(qvt::mkdir_p(folder), 0);
    ASSERT_EQ(qv_set_profile(profile_of(folder, {"/bin/cat"})), 0);
    ASSERT_EQ(qv_set_profile(profile_of("/usr", {"*"})), 0);

    // systemd's socket activation, as the socket unit does it: the request
    // waits on the socket while the loader starts.
    qvt::Proc loader = qvt::spawn(&sb, {"/usr/bin/timeout", "60", "/usr/bin/systemd-socket-activate", "--seqpacket",
                                        "-l", QV_CONTROL_SOCKET, "-l", QV_NOTIFY_SOCKET, "--fdname=control:notify",
                                        qvt::binary_path("enforce/quorvane_loader")});
    ASSERT_TRUE(qvt::wait_for_text(loader.err_path, "Listening on " QV_NOTIFY_SOCKET));
    int r = qv_update();
    if (r == 0) {
        kill(loader.pid, SIGTERM);
        qvt::wait_exit(loader.pid);
        qvt::leave_sandbox(&sb);
        GTEST_SKIP() << "this kernel runs BPF LSM programs; the VM test covers enforcement";
    }
    EXPECT_EQ(r, -EOPNOTSUPP);
    EXPECT_EQ(qvt::wait_exit(loader.pid), QV_LOADER_EXIT_UNSUPPORTED);
    const std::string err = qvt::read_file(loader.err_path);
    EXPECT_NE(err.find("add bpf to the lsm= kernel parameter"), std::string::npos) << err;
    EXPECT_NE(err.find("active LSMs: "), std::string::npos) << err;
    // The maps were built: the folder's object, its file system, its listing
    // and its program's number.
    EXPECT_NE(err.find("policy maps built (4 entries, filled)"), std::string::npos) << err;
    EXPECT_NE(err.find("not enforced: /usr: lies in /usr"), std::string::npos) << err;
    const std::string status = qvt::read_file(QV_STATUS_FILE);
    EXPECT_NE(status.find("\"active\":false"), std::string::npos) << status;
    EXPECT_NE(status.find("\"path\":\"/usr\""), std::string::npos) << status;
    // Nothing pinned.
    EXPECT_NE(access(QV_PIN_DIR, F_OK), 0);
    qvt::leave_sandbox(&sb);
}

}  // namespace
