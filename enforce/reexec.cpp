// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_loader re-executes the installed binary in its own process on
// SIGHUP, handing its listening sockets over as systemd does.
#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "diag.h"
#include "loader.h"

namespace {

int set_cloexec(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, on ? flags | FD_CLOEXEC : flags & ~FD_CLOEXEC) < 0)
        return -errno;
    return 0;
}

}  // namespace

// Replaces this image with the installed binary in the same process. The
// pins stay, so the kernel goes on enforcing; the listening sockets are
// handed over as systemd hands them (LISTEN_FDS), so no request is lost; the
// new image takes the pins over as a restarted loader does and sends READY=1
// once it enforces. Returns only when the binary cannot be executed: this
// image then goes on as before.
int reexec(Loader *l)
{
    if (l->self.empty())
        return -ENOENT;
    QV_LOG(stderr, "re-executing %s; pins and sockets kept\n", l->self.c_str());
    (void)sd_notify(0, "RELOADING=1\nSTATUS=Re-executing; enforcement stays in force");
    const int fds[] = {l->control.fd, l->stream.listen_fd};
    // The protocol passes them as fds 3 and 4, where they are opened (or
    // received) at start; LISTEN_FDNAMES names them in that order.
    int r = 0;
    const char *names = nullptr;
    if (fds[0] == SD_LISTEN_FDS_START && fds[1] == SD_LISTEN_FDS_START + 1)
        names = "control:notify";
    else if (fds[1] == SD_LISTEN_FDS_START && fds[0] == SD_LISTEN_FDS_START + 1)
        names = "notify:control";
    else
        r = -EBADF;
    if (r == 0) {
        for (int fd : fds)
            if ((r = set_cloexec(fd, false)) < 0)
                break;
    }
    if (r == 0) {
        save_state(l, true);
        setenv("LISTEN_FDS", "2", 1);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("LISTEN_FDNAMES", names, 1);
        char *const args[] = {const_cast<char *>(l->self.c_str()), nullptr};
        execv(l->self.c_str(), args);
        r = -errno;
    }
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDNAMES");
    for (int fd : fds)
        set_cloexec(fd, true);
    (void)sd_notify(0, "READY=1\nSTATUS=Re-execution failed; the running loader goes on enforcing");
    return r;
}
