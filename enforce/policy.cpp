// SPDX-License-Identifier: GPL-2.0-or-later
#include "policy.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
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
// Folders reached on the way to earlier profiles' paths, open (O_PATH), by
// the path as written: profiles share their folders, so most paths cost one
// openat. Only folders reached without following a link are kept.
constexpr size_t folders_cached_max = 4096;

// As many as a quarter of the descriptors this process may open allows.
size_t folders_to_cache()
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) < 0 || files.rlim_cur == RLIM_INFINITY)
        return folders_cached_max;
    return std::min<size_t>(folders_cached_max, files.rlim_cur / 4);
}

struct Walk {
    std::map<std::string, std::unique_ptr<QvFd>> folders;
    size_t folders_max = folders_to_cache();
    QvFd root;
};

struct Lookups {
    Walk walk;
    std::vector<Inode> trees = system_inodes();
    std::set<std::string> plain_folders;
    std::map<std::string, std::pair<int, struct stat>> programs;  // errno, status
    std::map<Inode, uint32_t> numbers;                              // listed executable: program number
};

constexpr int links_max = 40;  // as the kernel's own walk

std::deque<std::string> names_of(const std::string &path)
{
    std::deque<std::string> names;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i)
            names.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return names;
}

bool only_root_writes(const struct stat &folder)
{
    return folder.st_uid == 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Why the object at real (status st), or a folder above it, is a system tree
// under another name (a bind mount); "" when none is.
std::string bind_mount_reason(const std::string &real, const struct stat &st, Lookups *lk)
{
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

enum class Found { Object, Missing, Refused };

Found resolve_object(const std::string &path, Lookups *lk, struct stat *st, std::string *why, ObjectHandle *h);
int walk(const std::string &path, std::string *why, bool *followed, Walk *w);

// Resolves a profile's path: Object with st its object's status; Missing
// (why says what is missing; a camera node not there says nothing, as it
// is no failure) or Refused, with why.
Found resolve_profile_path(const std::string &path, Lookups *lk, struct stat *st, std::string *why,
                           ObjectHandle *h)
{
    Found f = resolve_object(path, lk, st, why, h);
    if (f == Found::Missing && lexical(path).compare(0, 10, "/dev/video") == 0)
        why->clear();
    return f;
}

}  // namespace

namespace {

Found resolve_object(const std::string &path, Lookups *lk, struct stat *st, std::string *out, ObjectHandle *h)
{
    std::string &why = *out;
    if (path.empty() || path[0] != '/') {
        why = "not an absolute path";
        return Found::Refused;
    }
    const std::string lex = lexical(path);
    if (!(why = tree_reason(lex, nullptr)).empty())
        return Found::Refused;
    bool followed = false;
    QvFd fd(walk(lex, &why, &followed, &lk->walk));
    if (fd.fd < 0 && !why.empty())
        return Found::Refused;
    if (fd.fd < 0 || fstat(fd.fd, st) < 0) {
        why = std::string("cannot be resolved: ") + std::strerror(fd.fd < 0 ? -fd.fd : errno);
        return Found::Missing;
    }
    // Without a link on the way, the real path is the path as written.
    const std::string real = followed ? real_path_of(fd.fd) : lex;
    if (real.empty() || real[0] != '/') {
        why = "cannot be resolved: its real path is unknown";
        return Found::Missing;
    }
    if (!(why = tree_reason(lex, st)).empty() || !(why = tree_reason(real, st)).empty() ||
        !(why = bind_mount_reason(real, *st, lk)).empty())
        return Found::Refused;
    object_handle(fd.fd, h);
    return Found::Object;
}

}  // namespace

std::string real_path_of(int fd)
{
    char real[PATH_MAX];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), real, sizeof real - 1);
    return n > 0 ? std::string(real, static_cast<size_t>(n)) : std::string();
}

int object_handle(int fd, ObjectHandle *h)
{
    union {
        file_handle fh;
        char space[sizeof(file_handle) + MAX_HANDLE_SZ];
    } buf{};
    buf.fh.handle_bytes = MAX_HANDLE_SZ;
    int mount_id = -1;
    if (name_to_handle_at(fd, "", &buf.fh, &mount_id, AT_EMPTY_PATH) < 0)
        return -errno;
    h->bytes.assign(reinterpret_cast<const char *>(buf.fh.f_handle), buf.fh.handle_bytes);
    h->type = buf.fh.handle_type;
    h->mount_id = mount_id;
    return 0;
}

namespace {

int walk(const std::string &path, std::string *why, bool *followed, Walk *w)
{
    std::deque<std::string> todo = names_of(path);
    if (w->root.fd < 0 && (w->root.fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)) < 0)
        return -errno;
    int dir = w->root.fd;  // owned by w, or by owned
    QvFd owned;
    std::string at;  // the folder reached so far, as written
    std::string prefix;
    for (size_t i = 0; i + 1 < todo.size(); ++i) {
        prefix += "/" + todo[i];
        auto known = w->folders.find(prefix);
        if (known == w->folders.end())
            break;
        dir = known->second->fd;
        at = prefix;
    }
    todo.erase(todo.begin(), todo.begin() + static_cast<long>(std::count(at.begin(), at.end(), '/')));
    bool cacheable = true;
    int links = 0;
    while (!todo.empty()) {
        const std::string name = todo.front();
        todo.pop_front();
        if (name == ".")
            continue;
        QvFd next(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.fd < 0)
            return -errno;
        struct stat st, folder;
        if (fstat(next.fd, &st) < 0)
            return -errno;
        if (S_ISLNK(st.st_mode)) {
            if (fstat(dir, &folder) < 0)
                return -errno;
            const std::string link = at + "/" + name;
            if (st.st_uid != 0 || !only_root_writes(folder)) {
                *why = "the symbolic link " + link +
                       (st.st_uid != 0 ? " belongs to uid " + std::to_string(st.st_uid)
                                       : " sits in a folder other users may write") +
                       ", who could have planted it; it is not followed";
                return -ELOOP;
            }
            if (++links > links_max)
                return -ELOOP;
            char target[PATH_MAX];
            ssize_t n = readlinkat(next.fd, "", target, sizeof target - 1);
            if (n <= 0)
                return n < 0 ? -errno : -ENOENT;
            std::deque<std::string> rest = names_of(std::string(target, static_cast<size_t>(n)));
            todo.insert(todo.begin(), rest.begin(), rest.end());
            *followed = true;
            cacheable = false;
            if (target[0] == '/') {
                dir = w->root.fd;
                owned.reset();
                at.clear();
            }
            continue;
        }
        if (!todo.empty() && !S_ISDIR(st.st_mode))
            return -ENOTDIR;
        if (name == "..") {
            at = at.substr(0, at.rfind('/'));
            cacheable = false;
        } else {
            at += "/" + name;
        }
        if (cacheable && !todo.empty() && w->folders.size() < w->folders_max) {
            auto &slot = w->folders[at];
            slot = std::make_unique<QvFd>(next.fd);
            next.fd = -1;
            dir = slot->fd;
            owned.reset();
        } else {
            std::swap(owned.fd, next.fd);
            dir = owned.fd;
        }
    }
    if (dir == owned.fd) {
        owned.fd = -1;
        return dir;
    }
    int fd = fcntl(dir, F_DUPFD_CLOEXEC, 3);  // a folder the walk keeps, or the root
    return fd < 0 ? -errno : fd;
}

}  // namespace

int resolve_trusted(const std::string &path, std::string *why)
{
    Walk w;
    bool followed = false;
    return walk(path, why, &followed, &w);
}

std::string system_tree_reason(const std::string &path)
{
    Lookups lk;
    struct stat st;
    std::string why;
    ObjectHandle h;
    return resolve_profile_path(path, &lk, &st, &why, &h) == Found::Refused ? why : "";
}

namespace {

// The rule value of profile id (its first rule), flags complete.
qv_rule rule_value(const QvProfile &p, uint32_t id)
{
    const QvRule &rule = p.rules.front();
    qv_rule value{};
    value.profile = id;
    value.perm = rule.permission & QV_PERM_ALL;
    if (rule.deny == Allow)
        value.flags |= QV_RULE_ALLOW_LIST;
    if (p.profile_mode == Complain)
        value.flags |= QV_RULE_COMPLAIN;
    if (std::find(rule.app_paths.begin(), rule.app_paths.end(), "*") != rule.app_paths.end())
        value.flags |= QV_RULE_ALL_APPS;
    if (std::find(rule.uids.begin(), rule.uids.end(), QV_UID_ALL) != rule.uids.end())
        value.flags |= QV_RULE_ALL_UIDS;
    return value;
}

}  // namespace

std::string weak_program_reason(const std::string &path, const struct stat &st)
{
    if (st.st_uid != 0)
        return "uid " + std::to_string(st.st_uid) + " owns it";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "its group or everyone may write it";
    const std::string folder = path.substr(0, std::max<size_t>(path.rfind('/'), 1));
    struct stat dir;
    if (stat(folder.c_str(), &dir) < 0)
        return "";
    if (dir.st_uid != 0)
        return "its folder " + folder + " belongs to uid " + std::to_string(dir.st_uid);
    if ((dir.st_mode & (S_IWGRP | S_IWOTH)) && !(dir.st_mode & S_ISVTX))
        return "its folder " + folder + " may be written by its group or everyone";
    return "";
}

Policy build_policy(const std::vector<QvProfile> &profiles)
{
    Policy out;
    // The nearest protected object decides; when two profiles name the same
    // object, the later one wins and the earlier is reported.
    std::map<std::tuple<uint32_t, uint32_t, uint64_t>, size_t> objects;
    Lookups lk;
    std::set<uint32_t> allow_listed;  // program numbers an allow list names
    std::map<std::string, uint32_t> number_of;  // listed program path: its number
    uint32_t next_number = 0;
    bool cameras = false;
    for (size_t id = 0; id < profiles.size(); ++id) {
        const QvProfile &p = profiles[id];
        if (p.rules.empty()) {
            out.not_enforced.push_back({p.file, "has no rule"});
            continue;
        }
        const uint32_t pid = static_cast<uint32_t>(id);
        const qv_rule value = rule_value(p, pid);
        out.rules[p.file] = value;
        for (const auto &app : p.rules.front().app_paths) {
            if (app == "*")
                continue;
            auto known = lk.programs.find(app);
            if (known == lk.programs.end()) {
                struct stat exe_st;
                int err = stat(app.c_str(), &exe_st) < 0 ? errno : 0;
                known = lk.programs.emplace(app, std::make_pair(err, exe_st)).first;
                if (err == 0 && S_ISREG(exe_st.st_mode)) {
                    out.programs[app] = {kernel_dev(exe_st.st_dev), exe_st.st_ino};
                    std::string weak = weak_program_reason(app, exe_st);
                    if (!weak.empty())
                        out.weak_programs.push_back({app, weak});
                }
            }
            // A program is numbered by its file, so that two names of one
            // file are one program; one not there now is numbered by its
            // path, so that an earlier file of it kept in force has a number.
            auto named = number_of.find(app);
            if (named == number_of.end()) {
                const struct stat &exe = known->second.second;
                uint32_t number = next_number;
                if (known->second.first == 0 && S_ISREG(exe.st_mode))
                    number = lk.numbers.emplace(Inode(exe.st_dev, exe.st_ino), next_number).first->second;
                if (number == next_number)
                    ++next_number;
                named = number_of.emplace(app, number).first;
            }
            if (p.rules.front().deny == Allow)
                allow_listed.insert(named->second);
            out.entries.push_back({make_key(QV_KEY_EXE, pid, named->second, 0), value});
            if (known->second.first != 0 || !S_ISREG(known->second.second.st_mode))
                out.notes.push_back(p.file + ": listed program " + app + " is not an executable file here");
        }
        for (uint32_t uid : p.rules.front().uids)
            if (uid != QV_UID_ALL)
                out.entries.push_back({make_key(QV_KEY_UID, pid, uid, 0), value});

        struct stat st;
        std::string why;
        ObjectHandle handle;
        if (resolve_profile_path(p.file, &lk, &st, &why, &handle) != Found::Object) {
            if (why.empty())
                out.absent_cameras.push_back(p.file);
            else
                out.not_enforced.push_back({p.file, why});
            continue;
        }
        qv_key object;
        if (S_ISCHR(st.st_mode)) {
            object = make_key(QV_KEY_DEVICE, 0, kernel_dev(st.st_rdev), 0);
            cameras = true;
        } else {
            object = make_key(QV_KEY_OBJECT, 0, kernel_dev(st.st_dev), st.st_ino);
            out.entries.push_back({make_key(QV_KEY_SUPERBLOCK, 0, kernel_dev(st.st_dev), 0), value});
            out.objects.push_back({p.file, object.dev, object.ino, handle});
        }
        auto seen = objects.find({object.kind, object.dev, object.ino});
        if (seen != objects.end())
            out.notes.push_back(p.file + " is the same object as " + profiles[seen->second].file +
                                ", whose profile it replaces");
        objects[{object.kind, object.dev, object.ino}] = id;
        out.entries.push_back({object, value});
        ++out.enforced;
    }
    for (const auto &[exe, number] : lk.numbers) {
        qv_rule program{};
        program.profile = number;
        program.flags = allow_listed.count(number) ? QV_RULE_IN_ALLOW_LIST : 0;
        out.entries.push_back({make_key(QV_KEY_PROGRAM, 0, kernel_dev(exe.first), exe.second), program});
    }
    for (const auto &[app, number] : number_of) {
        qv_rule program{};
        program.profile = number;
        program.flags = allow_listed.count(number) ? QV_RULE_IN_ALLOW_LIST : 0;
        out.program_numbers[app] = program;
    }
    if (cameras)
        add_device_probes(&out);
    return out;
}

bool policy_keep_object(Policy *policy, const std::string &path, uint32_t dev, uint64_t ino)
{
    auto rule = policy->rules.find(path);
    if (rule == policy->rules.end())
        return false;
    policy->entries.push_back({make_key(QV_KEY_SUPERBLOCK, 0, dev, 0), rule->second});
    policy->entries.push_back({make_key(QV_KEY_OBJECT, 0, dev, ino), rule->second});
    return true;
}

bool policy_keep_program(Policy *policy, const std::string &app, uint32_t dev, uint64_t ino)
{
    auto listed = policy->program_numbers.find(app);
    if (listed == policy->program_numbers.end())
        return false;
    policy->entries.push_back({make_key(QV_KEY_PROGRAM, 0, dev, ino), listed->second});
    return true;
}
