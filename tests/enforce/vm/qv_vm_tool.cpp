// SPDX-License-Identifier: GPL-2.0-or-later
// The test VM's hands: stores profiles through the library, asks for a
// reload, opens things the way a program under test would and says what the
// kernel answered, and reads a user's block-record stream. Copied to several
// paths, each copy is a different program to the kernel.
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "enforce.h"
#include "quorvane.h"

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: qv_vm_tool set PATH allow|deny enforce|complain PERM all|UID[,UID] [APP...]\n"
                 "       qv_vm_tool del PATH | update | open r|w|d PATH [TIMES] | exec PATH | reader\n"
                 "       qv_vm_tool probe PATH STOPFILE | hold N STOPFILE\n"
                 "       qv_vm_tool link FROM TO | rename FROM TO | save PATH | setexe PROGRAM | setname\n"
                 "       qv_vm_tool reach attach|mem|vmread|getfd|prlimit PID\n"
                 "       qv_vm_tool traceme [PROGRAM ARG...] | dlopen|mprotect LIBRARY PATH\n"
                 "       qv_vm_tool saves PATH N [hold] | CHANGE PATH [PATH]\n");
    return 2;
}

// "ok" or the errno's name as the tests compare it.
const char *answer(int err)
{
    switch (err) {
    case 0: return "ok";
    case EPERM: return "EPERM";
    case EACCES: return "EACCES";
    case ENOENT: return "ENOENT";
    default: return std::strerror(err);
    }
}

int set(int argc, char **argv)
{
    if (argc < 7)
        return usage();
    QvProfile p;
    p.file = argv[2];
    p.own_app = "/usr/bin/qv_vm_tool";
    p.profile_mode = std::strcmp(argv[4], "complain") == 0 ? Complain : Enforce;
    QvRule rule;
    rule.deny = std::strcmp(argv[3], "allow") == 0 ? Allow : Deny;
    rule.permission = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 0));
    std::string uids = argv[6];
    if (uids == "all") {
        rule.uids = {QV_UID_ALL};
    } else {
        for (size_t i = 0; i < uids.size();) {
            size_t j = uids.find(',', i);
            if (j == std::string::npos)
                j = uids.size();
            rule.uids.push_back(static_cast<uint32_t>(std::stoul(uids.substr(i, j - i))));
            i = j + 1;
        }
    }
    for (int i = 7; i < argc; ++i)
        rule.app_paths.push_back(argv[i]);
    p.rules = {rule};
    int r = qv_set_profile(p);
    if (r != 0)
        std::fprintf(stderr, "qv_set_profile %s: %d\n", argv[2], r);
    return r == 0 ? 0 : 1;
}

int open_as(const char *mode, const char *path, int times)
{
    for (int i = 1; i < times; ++i) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
    }
    int flags = O_RDONLY;
    if (std::strcmp(mode, "w") == 0)
        flags = O_WRONLY;
    else if (std::strcmp(mode, "d") == 0)
        flags = O_RDONLY | O_DIRECTORY;
    int fd = open(path, flags | O_CLOEXEC);
    std::printf("%s\n", answer(fd < 0 ? errno : 0));
    if (fd >= 0)
        close(fd);
    return 0;
}

// Opens path for reading again and again until stopfile exists, then
// counts the answers: "opened N refused M other K".
int probe(const char *path, const char *stopfile)
{
    unsigned long opened = 0, refused = 0, other = 0;
    bool told = false;
    while (access(stopfile, F_OK) != 0) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ++opened;
            close(fd);
        } else if (errno == EPERM) {
            ++refused;
        } else {
            ++other;
        }
        if (!told) {
            std::printf("probing\n");
            std::fflush(stdout);
            told = true;
        }
    }
    std::printf("opened %lu refused %lu other %lu\n", opened, refused, other);
    return 0;
}

int exec_as(const char *path)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) < 0)
        return 1;
    pid_t pid = fork();
    if (pid == 0) {
        char *const args[] = {const_cast<char *>(path), nullptr};
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv(path, args);
        int e = errno;
        (void)!write(pipefd[1], &e, sizeof e);
        _exit(127);
    }
    close(pipefd[1]);
    int e = 0;
    ssize_t n = read(pipefd[0], &e, sizeof e);
    close(pipefd[0]);
    waitpid(pid, nullptr, 0);
    std::printf("%s\n", answer(n == sizeof e ? e : 0));
    return 0;
}

// An editor's save: a new file beside path, renamed over it.
int save(const char *path)
{
    const std::string tmp = std::string(path) + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    (void)!write(fd, "saved\n", 6);
    close(fd);
    int r = rename(tmp.c_str(), path) < 0 ? errno : 0;
    if (r != 0)
        unlink(tmp.c_str());
    return r;
}

// Passing as another program: in a user namespace of its own, swap the
// executable link to path.
int setexe(const char *path)
{
    if (unshare(CLONE_NEWUSER) < 0) {
        std::printf("unshare: %s\n", std::strerror(errno));
        return 1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    int r = prctl(PR_SET_MM, PR_SET_MM_EXE_FILE, fd, 0, 0) < 0 ? errno : 0;
    std::printf("%s\n", answer(r));
    return 0;
}

// Reaching into process pid the way a borrower would: "ok" or the refusal.
int reach(const std::string &how, pid_t pid)
{
    int r = 0;
    if (how == "attach") {
        r = ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) < 0 ? errno : 0;
        if (r == 0)
            ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    } else if (how == "mem") {
        int fd = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
        r = fd < 0 ? errno : 0;
        if (fd >= 0)
            close(fd);
    } else if (how == "vmread") {
        // The first byte of its first mapping.
        FILE *maps = std::fopen(("/proc/" + std::to_string(pid) + "/maps").c_str(), "r");
        unsigned long start = 0;
        if (!maps || std::fscanf(maps, "%lx", &start) != 1)
            r = ENOENT;
        if (maps)
            std::fclose(maps);
        char byte;
        iovec local{&byte, 1}, remote{reinterpret_cast<void *>(start), 1};
        if (r == 0)
            r = process_vm_readv(pid, &local, 1, &remote, 1, 0) < 0 ? errno : 0;
    } else if (how == "getfd") {
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        int fd = pidfd < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, 0, 0));
        r = fd < 0 ? errno : 0;
        if (fd >= 0)
            close(fd);
        if (pidfd >= 0)
            close(pidfd);
    } else if (how == "prlimit") {
        rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        r = prlimit(pid, RLIMIT_CORE, &unlimited, nullptr) < 0 ? errno : 0;
    } else {
        return usage();
    }
    std::printf("%s\n", answer(r));
    return 0;
}

// A child that asks to be traced, then runs argv; this process is its
// tracer and lets it run to its end.
int traceme(char **argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) < 0) {
            std::printf("%s\n", answer(errno));
            _exit(1);
        }
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status))
        ptrace(PTRACE_CONT, pid, nullptr, WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status));
    return 0;
}

// A plugin: loads library (dlopen), or maps it for reading and then makes
// that executable (mprotect), then opens path.
int load_then_open(const std::string &how, const char *library, const char *path)
{
    if (how == "dlopen" && !dlopen(library, RTLD_NOW | RTLD_LOCAL)) {
        std::printf("dlopen: %s\n", dlerror());
        return 1;
    }
    if (how == "mprotect") {
        int fd = open(library, O_RDONLY | O_CLOEXEC);
        void *p = fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED || mprotect(p, 4096, PROT_READ | PROT_EXEC) < 0) {
            std::printf("mprotect: %s\n", std::strerror(errno));
            return 1;
        }
    }
    return open_as("r", path, 1);
}

// The ways to change a tree or watch it: each returns 0 or the errno.
int err(int r) { return r < 0 ? errno : 0; }

int create(const char *p)
{
    int fd = open(p, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
    return err(fd);
}

// An access ACL naming uid 1000 besides the owner: stored as an extended
// attribute on every file system the tests use (tmpfs has no user.*).
int set_acl(const char *p)
{
    const uint32_t acl[] = {2,                 // version; then tag | perm << 16, id
                            0x01 | 6 << 16, ~0U, 0x02 | 4 << 16, 1000, 0x04 | 4 << 16, ~0U,
                            0x10 | 4 << 16, ~0U, 0x20 | 4 << 16, ~0U};
    return err(setxattr(p, "system.posix_acl_access", acl, sizeof acl, 0));
}

int watch(const char *p)
{
    int fd = inotify_init1(IN_CLOEXEC);
    int r = err(inotify_add_watch(fd, p, IN_ALL_EVENTS));
    close(fd);
    return r;
}

// Unprivileged fanotify reports file handles, not descriptors.
int fwatch(const char *p)
{
    int fd = fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_FID | FAN_CLOEXEC, O_RDONLY);
    if (fd < 0)
        return errno;
    int r = err(fanotify_mark(fd, FAN_MARK_ADD, FAN_MODIFY | FAN_EVENT_ON_CHILD, AT_FDCWD, p));
    close(fd);
    return r;
}

struct Change {
    const char *name;
    int paths;
    int (*act)(const char *, const char *);
};

const Change changes[] = {
    {"unlink", 1, [](const char *a, const char *) { return err(unlink(a)); }},
    {"rmdir", 1, [](const char *a, const char *) { return err(rmdir(a)); }},
    {"create", 1, [](const char *a, const char *) { return create(a); }},
    {"mkdir", 1, [](const char *a, const char *) { return err(mkdir(a, 0755)); }},
    {"mkfifo", 1, [](const char *a, const char *) { return err(mkfifo(a, 0644)); }},
    {"symlink", 2, [](const char *a, const char *b) { return err(symlink(a, b)); }},
    {"exchange", 2, [](const char *a, const char *b) { return err(renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE)); }},
    {"truncate", 1, [](const char *a, const char *) { return err(truncate(a, 0)); }},
    {"chmod", 1, [](const char *a, const char *) { return err(chmod(a, 0640)); }},
    {"chown", 1, [](const char *a, const char *) { return err(chown(a, getuid(), getgid())); }},
    {"utimes", 1, [](const char *a, const char *) { return err(utimes(a, nullptr)); }},
    {"setxattr", 1, [](const char *a, const char *) { return set_acl(a); }},
    {"rmxattr", 1, [](const char *a, const char *) { return err(removexattr(a, "system.posix_acl_access")); }},
    {"watch", 1, [](const char *a, const char *) { return watch(a); }},
    {"fwatch", 1, [](const char *a, const char *) { return fwatch(a); }},
};

// n editor saves of path; with hold, each replaced file stays open, so
// the kernel cannot let go of what it recorded for it. "ok", or the first
// refusal and how many saves went before it.
int saves(const char *path, int n, bool hold)
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    for (int i = 0; i < n; ++i) {
        int r = hold && open(path, O_RDONLY | O_CLOEXEC) < 0 ? errno : save(path);
        if (r != 0) {
            std::printf("%s after %d\n", answer(r), i);
            return 0;
        }
    }
    std::printf("ok\n");
    return 0;
}


// Opens n record streams and keeps them until stopfile exists.
int hold(int n, const char *stopfile)
{
    int connected = 0;
    for (int i = 0; i < n; ++i)
        connected += qv_connect_record_stream() >= 0;
    std::printf("holding %d\n", connected);
    std::fflush(stdout);
    while (access(stopfile, F_OK) != 0)
        usleep(50000);
    return 0;
}

int reader()
{
    int fd = qv_connect_record_stream();
    if (fd < 0) {
        std::printf("connect: %s\n", std::strerror(-fd));
        return 1;
    }
    std::printf("connected uid %u\n", getuid());
    std::fflush(stdout);
    char rec[QV_RECORD_SIZE];
    for (;;) {
        ssize_t n = recv(fd, rec, sizeof rec, 0);
        if (n <= 0)
            return 0;
        if (n != static_cast<ssize_t>(sizeof rec)) {
            std::printf("short record %zd\n", n);
            continue;
        }
        rec[QV_RECORD_FIELD - 1] = rec[QV_RECORD_SIZE - 1] = 0;
        std::printf("record object=%s exe=%s\n", rec, rec + QV_RECORD_FIELD);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    if (cmd == "set")
        return set(argc, argv);
    if (cmd == "del" && argc == 3)
        return qv_del_profile(argv[2]) == 0 ? 0 : 1;
    if (cmd == "update") {
        int r = qv_update();
        std::printf("qv_update %d\n", r);
        return r == 0 ? 0 : 1;
    }
    if (cmd == "open" && (argc == 4 || argc == 5))
        return open_as(argv[2], argv[3], argc == 5 ? std::atoi(argv[4]) : 1);
    if (cmd == "probe" && argc == 4)
        return probe(argv[2], argv[3]);
    if (cmd == "exec" && argc == 3)
        return exec_as(argv[2]);
    if (cmd == "reader")
        return reader();
    if (cmd == "hold" && argc == 4)
        return hold(std::atoi(argv[2]), argv[3]);
    if (cmd == "link" && argc == 4) {
        std::printf("%s\n", answer(link(argv[2], argv[3]) < 0 ? errno : 0));
        return 0;
    }
    if (cmd == "rename" && argc == 4) {
        std::printf("%s\n", answer(rename(argv[2], argv[3]) < 0 ? errno : 0));
        return 0;
    }
    if (cmd == "save" && argc == 3) {
        std::printf("%s\n", answer(save(argv[2])));
        return 0;
    }
    if (cmd == "setname") {
        // A prctl the program has no business with must still take effect.
        char name[16] = {};
        int r = prctl(PR_SET_NAME, "qv-renamed", 0, 0, 0) < 0 ? errno : 0;
        prctl(PR_GET_NAME, name, 0, 0, 0);
        std::printf("%s\n", r != 0 ? answer(r) : std::strcmp(name, "qv-renamed") == 0 ? "ok" : "ignored");
        return 0;
    }
    if (cmd == "setexe" && argc == 3)
        return setexe(argv[2]);
    if (cmd == "reach" && argc == 4)
        return reach(argv[2], static_cast<pid_t>(std::atoi(argv[3])));
    if (cmd == "traceme" && argc == 2) {  // this process asks its parent to trace it
        std::printf("%s\n", answer(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) < 0 ? errno : 0));
        return 0;
    }
    if (cmd == "traceme" && argc >= 3)
        return traceme(argv + 2);
    if ((cmd == "dlopen" || cmd == "mprotect") && argc == 4)
        return load_then_open(cmd, argv[2], argv[3]);
    if (cmd == "saves" && (argc == 4 || argc == 5))
        return saves(argv[2], std::atoi(argv[3]), argc == 5);
    for (const Change &c : changes) {
        if (cmd == c.name && argc == 2 + c.paths) {
            std::printf("%s\n", answer(c.act(argv[2], c.paths == 2 ? argv[3] : nullptr)));
            return 0;
        }
    }
    return usage();
}
