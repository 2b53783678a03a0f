// SPDX-License-Identifier: GPL-2.0-or-later
// Enforcement figures. In the test VM (a kernel that runs the program):
//   bench_enforce open PATH N [R]   ns per open+close of PATH (any errno counts),
//                                   the fastest of R rounds of N
//   bench_enforce floor PATH N [R]  the same with an empty BPF LSM program
//                                   attached to file_open (and detached after)
//   bench_enforce runtime PATH N    ns the loaded file_open program itself
//                                   spends per open of PATH (the kernel's own
//                                   count, less noisy than the clock above)
//   bench_enforce unlink PATH N [R] ns per unlink of PATH that the kernel refuses
//                                   (an unlink that succeeds is an error)
//   bench_enforce reload N DIR      stores N profiles of folders made in DIR,
//                                   then times one acknowledged qv_update
// Natively:
//   bench_enforce build N           ms to turn N stored profiles into a filled
//                                   policy map (folders made in a private tmp)
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "enforce.h"
#include <bpf/bpf.h>

#include "floor.skel.h"
#include "holders.h"
#include "policy.h"
#include "policy_maps.h"
#include "quorvane.h"

namespace {

double now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

QvProfile folder_profile(const std::string &path)
{
    QvProfile p;
    p.file = path;
    p.profile_mode = Enforce;
    QvRule rule;
    rule.deny = Allow;
    rule.uids = {QV_UID_ALL};
    rule.app_paths = {"/usr/bin/cat", "/usr/bin/busybox"};
    rule.permission = QV_PERM_ALL;
    p.rules = {rule};
    return p;
}

std::vector<std::string> make_folders(const std::string &dir, int n)
{
    std::vector<std::string> paths;
    for (int i = 0; i < n; ++i) {
        paths.push_back(dir + "/f" + std::to_string(i));
        mkdir(paths.back().c_str(), 0755);
    }
    return paths;
}

void open_close(const char *path, int n)
{
    for (int i = 0; i < n; ++i) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
    }
}

// The fastest of rounds rounds: under emulation on a shared host, the
// slower rounds measure the host, not the kernel.
int bench_open(const char *path, int n, int rounds)
{
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        double t0 = now_ms();
        open_close(path, n);
        double per_op = (now_ms() - t0) * 1e6 / n;
        if (per_op < best)
            best = per_op;
    }
    std::printf("%.0f\n", best);
    return 0;
}

using FloorRef = std::unique_ptr<qv_floor, qv_release<qv_floor__destroy>>;

int bench_floor(const char *path, int n, int rounds)
{
    FloorRef floor(qv_floor__open_and_load());
    if (!floor || qv_floor__attach(floor.get()) != 0) {
        std::printf("cannot attach the empty program: %s\n", std::strerror(errno));
        return 1;
    }
    return bench_open(path, n, rounds);
}

// The run time and count the kernel keeps of the program named name.
int program_stats(const char *name, uint64_t *ns, uint64_t *runs)
{
    for (uint32_t id = 0; bpf_prog_get_next_id(id, &id) == 0;) {
        QvFd fd(bpf_prog_get_fd_by_id(id));
        bpf_prog_info info{};
        uint32_t len = sizeof info;
        if (fd.fd >= 0 && bpf_obj_get_info_by_fd(fd.fd, &info, &len) == 0 && std::strcmp(info.name, name) == 0) {
            *ns = info.run_time_ns;
            *runs = info.run_cnt;
            return 0;
        }
    }
    return -ENOENT;
}

int bench_runtime(const char *path, int n)
{
    QvFd stats(bpf_enable_stats(BPF_STATS_RUN_TIME));
    uint64_t ns0 = 0, runs0 = 0, ns1 = 0, runs1 = 0;
    if (stats.fd < 0 || program_stats("qv_file_open", &ns0, &runs0) < 0) {
        std::printf("no run time of qv_file_open: %s\n", std::strerror(errno));
        return 1;
    }
    open_close(path, n);
    program_stats("qv_file_open", &ns1, &runs1);
    std::printf("%.0f\n", runs1 > runs0 ? double(ns1 - ns0) / double(runs1 - runs0) : 0.0);
    return 0;
}

int bench_unlink(const char *path, int n, int rounds)
{
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        double t0 = now_ms();
        for (int i = 0; i < n; ++i) {
            if (unlink(path) == 0 || errno != EPERM) {
                std::printf("unlink of %s was not refused: %s\n", path, std::strerror(errno));
                return 1;
            }
        }
        double per_op = (now_ms() - t0) * 1e6 / n;
        if (per_op < best)
            best = per_op;
    }
    std::printf("%.0f\n", best);
    return 0;
}

int bench_reload(int n, const char *dir)
{
    for (const auto &path : make_folders(dir, n))
        if (qv_set_profile(folder_profile(path)) != 0)
            return 1;
    double t0 = now_ms();
    int r = qv_update();
    std::printf("reload of %d profiles acknowledged (%d) in %.0f ms\n", n, r, now_ms() - t0);
    return r == 0 ? 0 : 1;
}

int bench_build(int n)
{
    char dir[] = "/tmp/qv-bench.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::vector<QvProfile> profiles;
    for (const auto &path : make_folders(dir, n))
        profiles.push_back(folder_profile(path));
    double t0 = now_ms();
    Policy policy = build_policy(profiles);
    double t1 = now_ms();
    int fd = policy_map_create(policy);
    double t2 = now_ms();
    if (fd >= 0)
        close(fd);
    for (int i = 0; i < n; ++i)
        rmdir((std::string(dir) + "/f" + std::to_string(i)).c_str());
    rmdir(dir);
    if (fd < 0) {
        std::printf("cannot create the policy map: %s\n", std::strerror(-fd));
        return 1;
    }
    std::printf("maps of %d profiles (%zu entries): %.0f ms (resolve %.0f ms, fill %.0f ms; target <= 150)\n", n,
                policy.entries.size(), t2 - t0, t1 - t0, t2 - t1);
    return t2 - t0 <= 150 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "open" && (argc == 4 || argc == 5))
        return bench_open(argv[2], std::atoi(argv[3]), argc == 5 ? std::atoi(argv[4]) : 1);
    if (cmd == "floor" && (argc == 4 || argc == 5))
        return bench_floor(argv[2], std::atoi(argv[3]), argc == 5 ? std::atoi(argv[4]) : 1);
    if (cmd == "runtime" && argc == 4)
        return bench_runtime(argv[2], std::atoi(argv[3]));
    if (cmd == "unlink" && (argc == 4 || argc == 5))
        return bench_unlink(argv[2], std::atoi(argv[3]), argc == 5 ? std::atoi(argv[4]) : 1);
    if (cmd == "reload" && argc == 4)
        return bench_reload(std::atoi(argv[2]), argv[3]);
    if (cmd == "build" && argc == 3)
        return bench_build(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: bench_enforce open|floor|unlink PATH N [ROUNDS] | runtime PATH N | reload N DIR | build N\n");
    return 2;
}
