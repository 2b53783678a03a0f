// SPDX-License-Identifier: GPL-2.0-or-later
// hostile_confine WRITABLE... -- PROGRAM ARGS: runs PROGRAM in a mount namespace of
// its own in which every mount is read-only except the WRITABLE paths (each
// bound onto itself first, so a single file can stay writable too). A write
// that goes anywhere else fails with EROFS instead of landing unseen.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int set_attr(const char *path, unsigned flags, uint64_t set, uint64_t clear)
{
    struct mount_attr attr = {};
    attr.attr_set = set;
    attr.attr_clr = clear;
    return mount_setattr(AT_FDCWD, path, flags, &attr, sizeof attr);
}

int fail(const char *what, const char *path)
{
    std::fprintf(stderr, "hostile_confine: %s %s: %s\n", what, path, std::strerror(errno));
    return 125;
}

}  // namespace

int main(int argc, char *argv[])
{
    std::vector<const char *> writable;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        writable.push_back(argv[i]);
    if (i + 1 >= argc) {
        std::fprintf(stderr, "usage: hostile_confine WRITABLE... -- PROGRAM ARGS\n");
        return 125;
    }
    if (unshare(CLONE_NEWNS) < 0)
        return fail("unshare", "");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return fail("make private", "/");
    for (const char *path : writable)
        if (mount(path, path, nullptr, MS_BIND, nullptr) < 0)
            return fail("bind", path);
    if (set_attr("/", AT_RECURSIVE, MOUNT_ATTR_RDONLY, 0) < 0)
        return fail("read-only", "/");
    for (const char *path : writable)
        if (set_attr(path, 0, 0, MOUNT_ATTR_RDONLY) < 0)
            return fail("writable", path);
    execv(argv[i + 1], argv + i + 1);
    return fail("exec", argv[i + 1]);
}
