// SPDX-License-Identifier: GPL-2.0-or-later
// A reload of quorvane_loader: the store read, the policy built and put
// into the idle slot, the generation flipped; and the re-resolutions that
// changes on watched paths and of the mounts schedule.
#include <bpf/bpf.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "diag.h"
#include "enforce.h"
#include "loader.h"
#include "policy_maps.h"
#include "quorvane.h"

namespace {

// Entries of the generation in force that protect an object, or number a
// program, and that the next one lacks are carried into it: the kernel hands
// protection and program numbers to files that replace others on its own,
// and a reload that resolved its paths before such a replacement must not
// undo it. All of them, not only those the kernel added: a file system that
// reuses inode numbers gives a replacing file the number of an object this
// loader once wrote, whose entry the kernel dropped and added again. A
// protection's profile is found again by path, a program's number by the
// program's path; entries of profiles that are gone are not carried, and
// the kernel drops an entry when its inode is freed.
std::vector<PolicyEntry> carried(const Loader &l, const Policy &policy, const std::vector<qv_key> &written)
{
    std::vector<PolicyEntry> out;
    if (l.active_map.fd < 0 || !l.written_known)
        return out;
    std::map<uint32_t, std::string> path_of, program_of;
    for (const auto &[path, rule] : l.last.rules)
        path_of[rule.profile] = path;
    for (const auto &[app, program] : l.last.program_numbers)
        program_of[program.profile] = app;
    for (const auto &e : policy_map_added(l.active_map.fd, {})) {
        if (e.key.kind != QV_KEY_OBJECT && e.key.kind != QV_KEY_SUPERBLOCK && e.key.kind != QV_KEY_PROGRAM)
            continue;
        const bool program = e.key.kind == QV_KEY_PROGRAM;
        const auto &was = program ? program_of : path_of;
        const auto &now = program ? policy.program_numbers : policy.rules;
        auto name = was.find(e.rule.profile);
        auto value = name == was.end() ? now.end() : now.find(name->second);
        if (value == now.end())
            continue;
        if (!std::binary_search(written.begin(), written.end(), e.key, policy_key_less))
            out.push_back({e.key, value->second});
    }
    return out;
}

// The new generation's rule for each profile and program of the one in force,
// under that one's numbers: with them the kernel repeats in the waiting map
// every hand-over it makes in the map in force.
std::vector<PolicyEntry> renumbering(const Loader &l, const Policy &policy)
{
    std::vector<PolicyEntry> out;
    auto add = [&](const std::map<std::string, qv_rule> &was, const std::map<std::string, qv_rule> &now,
                   uint32_t kind) {
        for (const auto &[name, rule] : was) {
            auto it = now.find(name);
            if (it != now.end())
                out.push_back({qv_key{kind, rule.profile, 0, 0, 0}, it->second});
        }
    };
    add(l.last.rules, policy.rules, QV_KEY_RENUMBER);
    add(l.last.program_numbers, policy.program_numbers, QV_KEY_RENUMBER_PROGRAM);
    return out;
}

// Writes the carried entries into map into, each after its filter bit. The
// map has room for them: a failure is a protection lost, and said.
void carry(const std::vector<PolicyEntry> &entries, int into, const QvMapping &filter, std::vector<qv_key> *written)
{
    size_t lost = 0;
    int why = 0;
    for (const auto &e : entries) {
        object_filter_add(filter, e.key);
        if (bpf_map_update_elem(into, &e.key, &e.rule, BPF_NOEXIST) == 0 || errno == EEXIST)
            written->insert(std::upper_bound(written->begin(), written->end(), e.key, policy_key_less), e.key);
        else
            ++lost, why = errno;
    }
    if (lost)
        QV_LOG(stderr, "%zu protections the kernel handed over could not be carried into the new generation: %s; "
                       "they come back when their paths are resolved again\n",
               lost, std::strerror(why));
}

constexpr int walk_depth_max = 64;
constexpr size_t walk_entries_max = 100000;

// Files under path (or path itself) that have other names too: protection
// covers them only through their name in the tree. Looked through once, when
// the profile is new and not yet in force; what cannot be read is skipped.
void report_hard_links(Loader *l, const std::string &path)
{
    struct stat top;
    if (lstat(path.c_str(), &top) < 0)
        return;
    std::vector<std::pair<std::string, int>> folders;
    size_t seen = 0;
    auto check = [&](const std::string &p, const struct stat &st) {
        if (S_ISREG(st.st_mode) && st.st_nlink > 1)
            report_once(l, "hard link: " + p + " has " + std::to_string(st.st_nlink) +
                               " names; it is protected only through this one");
    };
    check(path, top);
    if (S_ISDIR(top.st_mode))
        folders.emplace_back(path, 0);
    while (!folders.empty() && seen < walk_entries_max) {
        auto [dir, depth] = folders.back();
        folders.pop_back();
        DirRef d(opendir(dir.c_str()));
        if (!d)
            continue;
        while (struct dirent *e = readdir(d.get())) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            struct stat st;
            if (++seen > walk_entries_max || fstatat(dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0)
                continue;
            const std::string p = dir + "/" + e->d_name;
            check(p, st);
            if (S_ISDIR(st.st_mode) && st.st_dev == top.st_dev && depth + 1 < walk_depth_max)
                folders.emplace_back(p, depth + 1);
        }
    }
}

// Watches the ways to every stored profile's path and listed program.
void watch_ways(Loader *l, const std::vector<QvProfile> &profiles)
{
    if (l->watch.inotify.fd < 0)
        return;
    std::vector<std::string> paths;
    for (const auto &p : profiles) {
        if (p.file.compare(0, 5, "/dev/") != 0)  // camera nodes: device events
            paths.push_back(p.file);
        for (const auto &r : p.rules)
            for (const auto &app : r.app_paths)
                if (app != "*")
                    paths.push_back(app);
    }
    size_t unwatched = watch_paths(&l->watch, paths);
    if (unwatched > 0)
        report_once(l, "more than " + std::to_string(QV_WATCH_FOLDERS_MAX) +
                           " folders to watch: paths that appear below the others are put into force at the next reload");
}

bool same_entries(const std::vector<PolicyEntry> &a, const std::vector<PolicyEntry> &b)
{
    auto same = [](const PolicyEntry &x, const PolicyEntry &y) {
        return std::memcmp(&x.key, &y.key, sizeof x.key) == 0 && std::memcmp(&x.rule, &y.rule, sizeof x.rule) == 0;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

// Resolves the paths again once things settle.
void schedule_reload(Loader *l)
{
    int enabled = SD_EVENT_OFF;
    if (!l->settle || sd_event_source_get_enabled(l->settle, &enabled) < 0 || enabled != SD_EVENT_OFF)
        return;
    uint64_t now = 0;
    sd_event_now(sd_event_source_get_event(l->settle), CLOCK_MONOTONIC, &now);
    sd_event_source_set_time(l->settle, std::max(now + settle_usec, l->last_settled + settle_gap_usec));
    sd_event_source_set_enabled(l->settle, SD_EVENT_ONESHOT);
}

}  // namespace

std::vector<QvProfile> stored_profiles()
{
    std::vector<QvProfile> profiles;
    for (const auto &path : qv_get_files())
        profiles.push_back(qv_get_profile(path));
    return profiles;
}

// Profiles left out and other surprises, once each in the journal.
void report_policy(Loader *l, const Policy &policy)
{
    for (const auto &n : policy.notes)
        report_once(l, n);
    for (const auto &n : policy.not_enforced)
        report_once(l, "not enforced: " + n.path + ": " + n.why);
    for (const auto &w : policy.weak_programs)
        report_once(l, "weak program: " + w.path + ": " + w.why + "; any program of that user can become it");
}

// Puts policy into the idle slot as a fresh map, then flips the generation:
// the program sees either the old generation whole or the new one whole.
// What the kernel handed over in the generation in force (a save that
// replaced a protected file) is carried into the new one.
int apply_policy(Loader *l, const Policy &policy)
{
    const int slots = bpf_map__fd(l->skel->maps.qv_slots);
    const int generation = bpf_map__fd(l->skel->maps.qv_generation);
    uint32_t zero = 0, gen = 0;
    if (bpf_map_lookup_elem(generation, &zero, &gen) < 0)
        return -errno;
    QvMapping filter;
    int r = object_filter_map(bpf_map__fd(l->skel->maps.qv_objects), &filter);
    if (r < 0)
        return r;
    for (const auto &e : policy.entries)
        object_filter_add(filter, e.key);
    std::vector<qv_key> written;
    written.reserve(policy.entries.size());
    for (const auto &e : policy.entries)
        written.push_back(e.key);
    std::sort(written.begin(), written.end(), policy_key_less);
    const std::vector<PolicyEntry> renumbered = l->written_known ? renumbering(*l, policy) : std::vector<PolicyEntry>{};
    const size_t room = carried(*l, policy, written).size() + renumbered.size();
    QvFd inner;
    inner.fd = policy_map_create(policy, static_cast<uint32_t>(room));
    if (inner.fd < 0)
        return inner.fd;
    // (Two listed names of one program share its number, and its entry.)
    for (const auto &e : renumbered)
        (void)bpf_map_update_elem(inner.fd, &e.key, &e.rule, BPF_ANY);
    uint32_t idle = (gen + 1) & 1;
    if (bpf_map_update_elem(slots, &idle, &inner.fd, BPF_ANY) < 0)
        return -errno;
    // From here the kernel repeats in the new map each hand-over it makes in
    // the map in force; what came before is carried now.
    carry(carried(*l, policy, written), inner.fd, filter, &written);
    uint32_t next = gen + 1;
    if (bpf_map_update_elem(generation, &zero, &next, BPF_ANY) < 0)
        return -errno;
    carry(carried(*l, policy, written), inner.fd, filter, &written);
    std::swap(l->active_map.fd, inner.fd);
    l->written_known = true;
    return 0;
}

// Reads the store, fills and flips. The reply to a reload request.
std::string reload(Loader *l)
{
    std::vector<QvProfile> profiles = stored_profiles();
    Policy policy = build_policy(profiles);
    const std::string held_before = held_to_json(l->held).dump();
    l->moved = held_apply(&l->held, &policy, &policy.notes);
    if (held_to_json(l->held).dump() != held_before)
        l->state_dirty = true;
    for (const auto &m : l->moved)
        report_once(l, "moved: " + m.path + " no longer leads to the object it protected, now at " + m.now_at +
                           "; that object stays protected");
    report_policy(l, policy);
    watch_ways(l, profiles);
    std::set<std::string> current;
    for (const auto &p : profiles)
        current.insert(p.file);
    for (const auto &n : policy.not_enforced)
        current.erase(n.path);
    for (const auto &a : policy.absent_cameras)
        current.erase(a);
    for (const auto &path : current)
        if (!l->known.count(path) && l->walk_new_trees)
            report_hard_links(l, path);
    l->known = std::move(current);
    l->walk_new_trees = true;
    int r = apply_policy(l, policy);
    if (r < 0) {
        QV_LOG(stderr, "cannot fill the policy maps: %s\n", std::strerror(-r));
        return std::string(QV_REPLY_ERROR " ") + std::to_string(-r) + " cannot fill the policy maps";
    }
    l->profiles = profiles.size();
    l->last = std::move(policy);
    write_status(*l);
    save_state(l);
    return std::string(QV_REPLY_OK " ") + std::to_string(l->last.enforced) + " " +
           std::to_string(l->last.not_enforced.size());
}

int on_settled(sd_event_source *, uint64_t now, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    l->last_settled = now;
    const std::vector<PolicyEntry> before = l->last.entries;
    std::string reply = reload(l);
    if (!same_entries(before, l->last.entries))
        QV_LOG(stderr, "a watched path changed; resolved again: %s\n", reply.c_str());
    return 0;
}

int on_watch(sd_event_source *, int, uint32_t, void *userdata)
{
    Loader *l = static_cast<Loader *>(userdata);
    if (watch_changed(&l->watch))
        schedule_reload(l);
    return 0;
}

// The mount table changed (a home mounted late, a stick): what a path leads
// to may have changed with it.
int on_mounts(sd_event_source *, int fd, uint32_t, void *userdata)
{
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    while (read(fd, buf, sizeof buf) > 0) {
    }
    schedule_reload(static_cast<Loader *>(userdata));
    return 0;
}
