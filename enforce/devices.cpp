// SPDX-License-Identifier: GPL-2.0-or-later
// Camera nodes that appear after quorvane_loader started join the policy.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "diag.h"
#include "loader.h"

// The kernel's own device events (they come with or without udev, and the
// node exists in devtmpfs by the time one is sent). A camera node that
// appears joins the policy: its profile is resolved again.
int open_uevents()
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -errno;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1;  // the kernel's group
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        int r = -errno;
        close(fd);
        return r;
    }
    return fd;
}

int on_uevent(sd_event_source *, int fd, uint32_t, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    char buf[8192];
    for (;;) {
        sockaddr_nl from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf - 1, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n <= 0)
            return 0;
        if (from.nl_pid != 0)
            continue;  // only the kernel speaks here
        buf[n] = '\0';
        bool add = false, video = false;
        const char *node = "";
        // "action@devpath", then NUL-separated KEY=value pairs.
        for (const char *p = buf; p < buf + n; p += std::strlen(p) + 1) {
            if (std::strcmp(p, "ACTION=add") == 0)
                add = true;
            else if (std::strcmp(p, "SUBSYSTEM=video4linux") == 0)
                video = true;
            else if (std::strncmp(p, "DEVNAME=", 8) == 0)
                node = p + 8;
        }
        if (add && video) {
            std::string reply = reload(l);
            QV_LOG(stderr, "camera node /dev/%s appeared: %s\n", node, reply.c_str());
        }
    }
}
