// SPDX-License-Identifier: GPL-2.0-or-later
#include "policy.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "enforce.h"

namespace {

// Trees the machine needs in order to run; a profile may not lie in or above
// them. /dev is handled apart: video device nodes are allowed.
const char *const system_trees[] = {
    "/usr", "/etc", "/boot", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32",
    "/proc", "/sys", "/run", "/var", "/dev",
};

constexpr unsigned video_major = 81;

// The device manager's camera probe: udev runs it as root on each new video
// node and stores what it says (ID_V4L_CAPABILITIES), which camera lists
// read. /lib is a folder of its own on systems without a merged /usr.
const char *const device_probes[] = {"/usr/lib/udev/v4l_id", "/lib/udev/v4l_id"};

bool is_under(const std::string &path, const std::string &tree)
{
    return path == tree || (path.size() > tree.size() && path.compare(0, tree.size(), tree) == 0 &&
                            path[tree.size()] == '/');
}

// The path with "." and ".." and repeated slashes folded, without touching
// the file system.
std::string lexical(const std::string &path)
{
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string tree_reason(const std::string &p, const struct stat *st)
{
    if (p == "/")
        return "the root folder holds the system";
    for (const char *tree : system_trees) {
        if (!is_under(p, tree))
            continue;
        if (std::strcmp(tree, "/dev") == 0 && st && S_ISCHR(st->st_mode) && major(st->st_rdev) == video_major)
            return "";
        if (std::strcmp(tree, "/dev") == 0 && !st && p.compare(0, 10, "/dev/video") == 0)
            return "";  // a camera node that has not appeared yet
        return std::string("lies in ") + tree + ", which the system needs to run";
    }
    return "";
}

using Inode = std::pair<dev_t, ino_t>;

// The (dev, ino) of every system tree that exists here.
std::vector<Inode> system_inodes()
{
    std::vector<Inode> out;
    struct stat st;
    for (const char *tree : system_trees)
        if (stat(tree, &st) == 0)
            out.emplace_back(st.st_dev, st.st_ino);
    if (stat("/", &st) == 0)
        out.emplace_back(st.st_dev, st.st_ino);
    return out;
}

qv_key make_key(uint32_t kind, uint32_t profile, uint32_t dev, uint64_t ino)
{
    qv_key k{};
    k.kind = kind;
    k.profile = profile;
    k.dev = dev;
    k.ino = ino;
    return k;
}

// Exempts the device probes that are root's alone (nobody else may replace
// them) from camera profiles, for root only (the kernel program checks).
void add_device_probes(Policy *out)
{
    for (const char *path : device_probes) {
        struct stat st;
        if (stat(path, &st) < 0)
            continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
            out->notes.push_back(std::string("device probe ") + path +
                                 " is not root's alone; it may not describe cameras");
            continue;
        }
        out->entries.push_back({make_key(QV_KEY_PROBE, 0, kernel_dev(st.st_dev), st.st_ino), qv_rule{}});
    }
}

}  // namespace

uint32_t kernel_dev(dev_t dev)
{
    return (static_cast<uint32_t>(major(dev)) << 20) | (static_cast<uint32_t>(minor(dev)) & 0xfffff);
}

namespace {

// What one build learns about the file system once: the system trees'
// inodes, folders already found not to be one, listed programs.
struct Lookups {
    std::vector<Inode> trees = system_inodes();
    std::set<std::string> plain_folders;
    std::map<std::string, std::pair<int, struct stat>> programs;  // errno, status
};

std::string tree_reason_with(const std::string &path, Lookups *lk);

}  // namespace

std::string system_tree_reason(const std::string &path)
{
    Lookups lk;
    return tree_reason_with(path, &lk);
}

namespace {

std::string tree_reason_with(const std::string &path, Lookups *lk)
{
    if (path.empty() || path[0] != '/')
        return "not an absolute path";
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    std::string why = tree_reason(lexical(path), exists ? &st : nullptr);
    if (!why.empty() || !exists)
        return why;
    // Through symbolic links: the real path.
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real))
        return "";
    why = tree_reason(real, &st);
    if (!why.empty())
        return why;
    // Through bind mounts: the real path or one of its folders is a system
    // tree under another name.
    if (S_ISCHR(st.st_mode))
        return "";
    std::string p = real;
    std::vector<std::string> walked;
    for (;;) {
        if (lk->plain_folders.count(p))
            break;
        struct stat a;
        if (stat(p.c_str(), &a) == 0 &&
            std::find(lk->trees.begin(), lk->trees.end(), Inode(a.st_dev, a.st_ino)) != lk->trees.end())
            return "is a system tree under another name (" + p + ")";
        walked.push_back(p);
        size_t slash = p.rfind('/');
        if (slash == 0 || slash == std::string::npos)
            break;
        p.resize(slash);
    }
    // The folders above are plain for the profiles that follow.
    for (size_t i = 1; i < walked.size(); ++i)
        lk->plain_folders.insert(walked[i]);
    return "";
}

}  // namespace

Policy build_policy(const std::vector<QvProfile> &profiles)
{
    Policy out;
    // The nearest protected object decides; when two profiles name the same
    // object, the later one wins and the earlier is reported.
    std::map<std::tuple<uint32_t, uint32_t, uint64_t>, size_t> objects;
    Lookups lk;
    bool cameras = false;
    for (size_t id = 0; id < profiles.size(); ++id) {
        const QvProfile &p = profiles[id];
        if (p.rules.empty()) {
            out.not_enforced.push_back({p.file, "has no rule"});
            continue;
        }
        std::string why = tree_reason_with(p.file, &lk);
        if (!why.empty()) {
            out.not_enforced.push_back({p.file, why});
            continue;
        }
        struct stat st;
        if (stat(p.file.c_str(), &st) < 0) {
            out.not_enforced.push_back({p.file, std::string("cannot be resolved: ") + std::strerror(errno)});
            continue;
        }
        const QvRule &rule = p.rules.front();
        const uint32_t pid = static_cast<uint32_t>(id);
        qv_rule value{};
        value.profile = pid;
        value.perm = rule.permission & QV_PERM_ALL;
        if (rule.deny == Allow)
            value.flags |= QV_RULE_ALLOW_LIST;
        if (p.profile_mode == Complain)
            value.flags |= QV_RULE_COMPLAIN;
        for (const auto &app : rule.app_paths) {
            if (app == "*") {
                value.flags |= QV_RULE_ALL_APPS;
                continue;
            }
            auto known = lk.programs.find(app);
            if (known == lk.programs.end()) {
                struct stat exe_st;
                int err = stat(app.c_str(), &exe_st) < 0 ? errno : 0;
                known = lk.programs.emplace(app, std::make_pair(err, exe_st)).first;
            }
            const struct stat &exe = known->second.second;
            if (known->second.first != 0 || !S_ISREG(exe.st_mode)) {
                out.notes.push_back(p.file + ": listed program " + app + " is not an executable file here");
                continue;
            }
            out.entries.push_back({make_key(QV_KEY_EXE, pid, kernel_dev(exe.st_dev), exe.st_ino), value});
        }
        for (uint32_t uid : rule.uids) {
            if (uid == QV_UID_ALL)
                value.flags |= QV_RULE_ALL_UIDS;
            else
                out.entries.push_back({make_key(QV_KEY_UID, pid, uid, 0), value});
        }

        qv_key object;
        if (S_ISCHR(st.st_mode)) {
            object = make_key(QV_KEY_DEVICE, 0, kernel_dev(st.st_rdev), 0);
            cameras = true;
        } else {
            object = make_key(QV_KEY_OBJECT, 0, kernel_dev(st.st_dev), st.st_ino);
            out.entries.push_back({make_key(QV_KEY_SUPERBLOCK, 0, kernel_dev(st.st_dev), 0), value});
        }
        auto seen = objects.find({object.kind, object.dev, object.ino});
        if (seen != objects.end())
            out.notes.push_back(p.file + " is the same object as " + profiles[seen->second].file +
                                ", whose profile it replaces");
        objects[{object.kind, object.dev, object.ino}] = id;
        out.entries.push_back({object, value});
        ++out.enforced;
    }
    if (cameras)
        add_device_probes(&out);
    return out;
}
