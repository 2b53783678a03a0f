// SPDX-License-Identifier: GPL-2.0-or-later
// The profile store: one file per profile in QV_PROFILE_DIR, replaced
// atomically through a staging subdirectory that also holds the lock file.
#include "quorvane.h"

#include "diag.h"
#include "enforce.h"
#include "profile_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace {

// Names beginning with a dot are never profiles, so the staging area is
// never taken for one (and is a directory, so it is never counted).
const char STAGING_NAME[] = ".staging";
const char LOCK_NAME[] = "lock";
const char TEMP_PREFIX[] = "new-";

// Writers in this process; other processes are kept out by the flock.
std::mutex writer_mutex;

void report(const std::string &file, const std::string &why)
{
    QV_LOG(stderr, "ignoring profile %s: %s\n", file.c_str(), why.c_str());
}

int close_fd(int fd)
{
    return fd >= 0 && close(fd) < 0 && errno != EINTR ? -errno : 0;
}

// The store's path without its trailing slash, which would make open()
// follow a symbolic link even with O_NOFOLLOW.
const std::string STORE_PATH(QV_STORE_DIR);

// The store directory, created (0755) on the first write when missing. A
// symbolic link in its place is refused (-ENOTDIR): profiles are never written
// anywhere but the store itself.
int open_store(bool create, int *out)
{
    *out = open(STORE_PATH.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*out >= 0 || errno != ENOENT || !create)
        return *out >= 0 ? 0 : -errno;
    bool made = mkdir(STORE_PATH.c_str(), 0755) == 0;
    if (!made && errno != EEXIST)
        return -errno;
    *out = open(STORE_PATH.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*out < 0)
        return -errno;
    if (made)
        fchmod(*out, 0755);  // whatever the umask
    return 0;
}

int open_staging(int dir, int *out)
{
    bool made = mkdirat(dir, STAGING_NAME, 0700) == 0;
    if (!made && errno != EEXIST)
        return -errno;
    *out = openat(dir, STAGING_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*out < 0)
        return -errno;
    if (made)
        fchmod(*out, 0700);
    return 0;
}

// What a writer holds: the store, its staging folder and the writers' lock,
// released in reverse order (the lock first) when the holder goes.
struct StoreHold {
    QvFd dir, staging, lock;
};

// Takes the writers' lock of the store open in hold->dir.
int lock_store(StoreHold *hold)
{
    int r = open_staging(hold->dir.fd, &hold->staging.fd);
    if (r != 0)
        return r;
    hold->lock.fd = openat(hold->staging.fd, LOCK_NAME, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (hold->lock.fd < 0)
        return -errno;
    while (flock(hold->lock.fd, LOCK_EX) < 0)
        if (errno != EINTR)
            return -errno;
    return 0;
}

// Where an open entry lives: its file system and its mount (0 when the
// kernel cannot say; st_dev alone misses a bind mount of the same file system).
struct Place {
    dev_t dev = 0;
    uint64_t mount = 0;
};

int place_of(int fd, Place *out)
{
    struct statx stx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &stx) < 0)
        return -errno;
    out->dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    out->mount = (stx.stx_mask & STATX_MNT_ID) ? stx.stx_mnt_id : 0;
    return 0;
}

// Removes an entry of any kind; a directory with everything in it, but never
// through a symbolic link and never across a mount point: a directory on
// another file system or mount than top (a bind mount, say) is left whole
// and fails the removal with -EXDEV.
int remove_entry_within(int dir, const char *name, const Place &top)
{
    if (unlinkat(dir, name, 0) == 0)
        return 0;
    if (errno != EISDIR)
        return -errno;
    int sub = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0)
        return -errno;
    Place here;
    int r = place_of(sub, &here);
    if (r == 0 && (here.dev != top.dev || here.mount != top.mount))
        r = -EXDEV;
    DIR *d = r == 0 ? fdopendir(sub) : nullptr;
    if (!d) {
        r = r ? r : -errno;
        close(sub);
        return r;
    }
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            int inner = remove_entry_within(sub, e->d_name, top);
            if (r == 0)
                r = inner;
        }
    closedir(d);
    if (r != 0)
        return r;
    return unlinkat(dir, name, AT_REMOVEDIR) < 0 ? -errno : 0;
}

int remove_entry(int dir, const char *name)
{
    Place top;
    int r = place_of(dir, &top);
    return r != 0 ? r : remove_entry_within(dir, name, top);
}

// Under the lock every temporary file is a killed writer's leftover.
void remove_stale(int staging)
{
    int fd = openat(staging, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        close_fd(fd);
        return;
    }
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.' && std::strcmp(e->d_name, LOCK_NAME) != 0)
            remove_entry(staging, e->d_name);
    closedir(d);
}

int write_all(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            return -errno;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return 0;
}

int write_temp(int staging, const std::string &temp, const std::string &text)
{
    int fd = openat(staging, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    int r = fchmod(fd, 0644) < 0 ? -errno : 0;  // whatever the umask
    if (r == 0)
        r = write_all(fd, text);
    if (r == 0 && fsync(fd) < 0)
        r = -errno;
    int c = close_fd(fd);
    return r ? r : c;
}

// Temporary file, then rename over the old profile: a reader or a crash sees
// the old profile or the new one, never a part.
int replace_file(int dir, int staging, const std::string &name, const std::string &text)
{
    const std::string temp = TEMP_PREFIX + name;
    int r = write_temp(staging, temp, text);
    if (r == 0 && renameat(staging, temp.c_str(), dir, name.c_str()) < 0) {
        r = -errno;
        // A directory squatting on the name: clear it and try once more.
        if (r == -EISDIR && remove_entry(dir, name.c_str()) == 0)
            r = renameat(staging, temp.c_str(), dir, name.c_str()) < 0 ? -errno : 0;
    }
    if (r < 0) {
        unlinkat(staging, temp.c_str(), 0);
        return r;
    }
    return fsync(dir) < 0 ? -errno : 0;
}

// Reads and parses one profile file into *out, through *buf (kept between
// calls to spare an allocation per file). -ENOENT when there is none;
// -EBADMSG, with the reason in *why, when it is there but unusable.
int load_profile_file(int dir, const char *name, std::string *buf, QvProfile *out, std::string *why,
                      struct stat *st_out = nullptr)
{
    why->clear();
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return -ENOENT;
        *why = errno == ELOOP ? "a symbolic link, not a regular file" : std::strerror(errno);
        return -EBADMSG;
    }
    std::string &text = *buf;
    text.clear();
    struct stat st;
    if (fstat(fd, &st) < 0)
        *why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        *why = "not a regular file";
    else if (static_cast<unsigned long long>(st.st_size) > QV_PROFILE_SIZE_MAX)
        *why = "larger than 64 MiB";
    else {
        // One read of the whole file; a short read of a regular file is its end.
        text.resize(static_cast<size_t>(st.st_size) + 1);
        size_t got = 0;
        while (got < text.size() && got <= QV_PROFILE_SIZE_MAX) {
            ssize_t n = read(fd, &text[got], text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *why = std::strerror(errno);
                break;
            }
            got += static_cast<size_t>(n);
            if (n == 0 || got < text.size())
                break;
            text.resize(std::min(text.size() * 2, QV_PROFILE_SIZE_MAX + 1));
        }
        text.resize(got);
    }
    close(fd);
    if (st_out)
        *st_out = st;
    if (why->empty() && qv_parse_profile(text, out, why) != 0 && why->empty())
        *why = "not a profile";
    return why->empty() ? 0 : -EBADMSG;
}

// load_profile_file, with an unusable file reported naming shown.
int read_profile_file(int dir, const char *name, const std::string &shown, std::string *buf,
                      QvProfile *out, struct stat *st_out = nullptr)
{
    std::string why;
    int r = load_profile_file(dir, name, buf, out, &why, st_out);
    if (r == -EBADMSG)
        report(shown, why);
    return r;
}

bool valid_profile_enums(const QvProfile &profile)
{
    if (profile.profile_mode != Complain && profile.profile_mode != Enforce)
        return false;
    return std::all_of(profile.rules.begin(), profile.rules.end(),
                       [](const QvRule &r) { return r.deny == Allow || r.deny == Deny; });
}

// The store directory's watch, shared by the lookup cache and the List index.
// inotify reports every change of an entry of the directory, by any process,
// before the call that made it returns; the mount table's file reports a
// mount or unmount anywhere (one over the store, or over a profile file,
// changes what the store's paths name without an inotify event). Both sit
// behind one epoll descriptor, so a lookup asks the kernel once whether
// anything changed. Without a watch (no inotify instances or watches left,
// no store directory), lookups check each file's identity and times instead,
// and every listing reads the whole store.
constexpr size_t DIRTY_MAX = 4096;
constexpr int64_t WATCH_RETRY_NS = 1000 * 1000 * 1000;
struct StoreWatch {
    QvFd epoll, inotify, mounts;
    bool inherited = false;       // in a forked child: the parent's descriptors
    int64_t retry_ns = 0;         // after a failed watch, not tried again before this
    dev_t dev = 0;                // the store directory watched
    ino_t ino = 0;
    uint64_t epoch = 0;           // counts every change seen and every new watch
    bool index_kept = false;      // the index is in memory, to be kept up to date
    bool index_stale = true;      // the index must be read whole
    std::set<std::string> dirty;  // names changed since the index read them
};

// Parsed profiles of recent lookups, by path. An entry read under the
// watch (and the file's only link, so no write through another name escapes
// the watch) stays valid until the watch reports a change in the store: any
// change drops every such entry, so a lookup that hits needs neither the
// file's name (a SHA-256) nor a system call beyond the watch's one. Without
// the watch an entry is valid while its file's identity and change times
// are what they were when it was read, and is cached only once its change
// time lies a safe margin before the read began: any later change then gets
// a later change time, even on file systems that stamp times with a coarse
// clock, so a stale entry is never served.
// The cache is bounded by the memory its profiles take, not by their number:
// a few huge profiles must not hold the service's memory.
struct CachedProfile {
    bool watched;
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime;
    timespec ctime;
    size_t bytes;
    QvProfile profile;
};
constexpr size_t CACHE_BYTES_MAX = 8u << 20;
constexpr int64_t SETTLED_NS = 50 * 1000 * 1000;
std::mutex cache_mutex;  // the cache and the watch
std::unordered_map<std::string, CachedProfile> cache;
size_t cache_bytes = 0;
StoreWatch store_watch;

// A forked child holds its parent's watch, whose events are the parent's to
// read (told by fork itself: getpid would cost a system call per lookup).
void mark_watch_inherited()
{
    store_watch.inherited = true;
}

// Heap taken by a string's characters (none when they fit in the object).
size_t string_heap(const std::string &s)
{
    return s.capacity() > 15 ? s.capacity() + 1 : 0;
}

// What an entry costs in memory, allocator overhead roughly included.
size_t profile_bytes(const std::string &path, const QvProfile &p)
{
    constexpr size_t per_block = 16;
    size_t n = sizeof(CachedProfile) + 64 + string_heap(path) + string_heap(p.file) + string_heap(p.own_app) +
               string_heap(p.version) + p.rules.capacity() * sizeof(QvRule) + per_block;
    for (const QvRule &r : p.rules) {
        n += r.uids.capacity() * sizeof(uint32_t) + r.app_paths.capacity() * sizeof(std::string) + 2 * per_block;
        for (const std::string &a : r.app_paths)
            n += string_heap(a) + (a.capacity() > 15 ? per_block : 0);
    }
    return n;
}

void erase_cached(std::unordered_map<std::string, CachedProfile>::iterator it)
{
    cache_bytes -= it->second.bytes;
    cache.erase(it);
}

int64_t ns_of(const timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool same_file(const CachedProfile &c, const struct stat &st)
{
    return S_ISREG(st.st_mode) && c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
           ns_of(c.mtime) == ns_of(st.st_mtim) && ns_of(c.ctime) == ns_of(st.st_ctim);
}

// Under cache_mutex.
void forget_locked(const std::string &path)
{
    auto it = cache.find(path);
    if (it != cache.end())
        erase_cached(it);
}

void forget_cached(const std::string &path)
{
    std::lock_guard<std::mutex> guard(cache_mutex);
    forget_locked(path);
}

// Drops the entries the watch vouched for.
void forget_watched()
{
    for (auto it = cache.begin(); it != cache.end();) {
        auto next = std::next(it);
        if (it->second.watched)
            erase_cached(it);
        it = next;
    }
}

// Drops the watch, and with it every entry it vouched for. A forked child
// leaves its parent's descriptors alone: their numbers may be another file's
// by now.
void watch_close(StoreWatch &w)
{
    const bool had = w.inotify.fd >= 0;
    if (w.inherited)
        w.epoll.fd = w.inotify.fd = w.mounts.fd = -1;
    w.epoll.reset();
    w.inotify.reset();
    w.mounts.reset();
    w.index_kept = false;
    w.index_stale = true;
    w.dirty.clear();
    ++w.epoch;
    if (had)
        forget_watched();
}

// Watches the store directory afresh; on any failure stays unwatched.
void watch_open(StoreWatch &w)
{
    watch_close(w);
    w.inherited = false;
    static const bool fork_told = pthread_atfork(nullptr, nullptr, mark_watch_inherited) == 0;
    struct stat before, now;
    if (!fork_told || stat(QV_PROFILE_DIR, &before) < 0 || !S_ISDIR(before.st_mode))
        return;
    w.inotify.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    w.mounts.fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    w.epoll.fd = epoll_create1(EPOLL_CLOEXEC);
    const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE |
                          IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    epoll_event on_inotify{}, on_mounts{};
    on_inotify.events = EPOLLIN;
    on_inotify.data.fd = w.inotify.fd;
    on_mounts.events = EPOLLPRI;
    on_mounts.data.fd = w.mounts.fd;
    // Watched first, then checked: a directory replaced in between shows as
    // another identity.
    if (w.inotify.fd < 0 || w.mounts.fd < 0 || w.epoll.fd < 0 ||
        inotify_add_watch(w.inotify.fd, QV_PROFILE_DIR, mask) < 0 ||
        epoll_ctl(w.epoll.fd, EPOLL_CTL_ADD, w.inotify.fd, &on_inotify) < 0 ||
        epoll_ctl(w.epoll.fd, EPOLL_CTL_ADD, w.mounts.fd, &on_mounts) < 0 || stat(QV_PROFILE_DIR, &now) < 0 ||
        now.st_dev != before.st_dev || now.st_ino != before.st_ino) {
        watch_close(w);
        return;
    }
    w.dev = now.st_dev;
    w.ino = now.st_ino;
}

// Reads the queued events: a changed name empties the cache of watched
// entries and is marked for the index. false when everything must be read
// again (queue overflow, the directory itself gone, moved or unmounted).
bool watch_drain(StoreWatch &w)
{
    alignas(inotify_event) char buf[16 * 1024];
    bool changed = false, whole = false;
    for (ssize_t n; !whole;) {
        n = read(w.inotify.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            whole = n < 0 && errno != EAGAIN;
            break;
        }
        ++w.epoch;
        for (ssize_t at = 0; at < n && !whole;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            whole = ev->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT);
            // Any name counts for the cache (a second link under a hidden
            // name writes the same file); the index skips hidden names.
            changed = changed || (!whole && ev->len > 0);
            if (whole || ev->len == 0 || ev->name[0] == '.')
                continue;
            // Past a few thousand names, reading the store whole costs no more.
            if (w.index_kept && !w.index_stale && w.dirty.size() < DIRTY_MAX)
                w.dirty.insert(ev->name);
            else
                w.index_stale = true;
        }
    }
    if (changed)
        forget_watched();
    return !whole;
}

// Brings the watch up to date (under cache_mutex): one epoll_wait when
// nothing changed. true when the store is watched.
bool watch_check(StoreWatch &w)
{
    if (w.inotify.fd < 0 || w.inherited) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        if (!w.inherited && ns_of(now) < w.retry_ns)
            return false;
        watch_open(w);
        w.retry_ns = ns_of(now) + WATCH_RETRY_NS;
        return w.inotify.fd >= 0;
    }
    epoll_event ev[2];
    int n = epoll_wait(w.epoll.fd, ev, 2, 0);
    if (n == 0)
        return true;
    bool mounted = n < 0;  // a failed wait proves nothing: start afresh
    for (int i = 0; i < n; ++i)
        mounted = mounted || ev[i].data.fd == w.mounts.fd;
    if (mounted || !watch_drain(w))
        watch_open(w);
    return w.inotify.fd >= 0;
}

// Keeps found for name, making room by dropping other entries; a profile
// larger than a quarter of the bound is not kept at all. Under cache_mutex.
void remember(const std::string &path, bool watched, const struct stat &st, const QvProfile &found)
{
    forget_locked(path);
    const size_t bytes = profile_bytes(path, found);
    if (bytes > CACHE_BYTES_MAX / 4)
        return;
    while (!cache.empty() && cache_bytes + bytes > CACHE_BYTES_MAX)
        erase_cached(cache.begin());
    cache.emplace(path,
                  CachedProfile{watched, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, bytes, found});
    cache_bytes += bytes;
}

// The paths of the store, kept in memory for listing: every profile file's
// recorded path by file name, each path held once. The store's watch marks
// the names changed since the last listing, so a listing re-reads only those
// files. An index whose paths would take more than INDEX_BYTES_MAX is not
// kept: such a store is read whole for each listing, which costs time, never
// memory.
constexpr size_t INDEX_BYTES_MAX = 8u << 20;
struct PathIndex {
    bool complete = false;                      // names holds every file of the store
    std::map<std::string, std::string> names;  // file name -> recorded path
    size_t bytes = 0;                           // heap the paths take
    std::vector<const std::string *> sorted;   // into names, by path
    bool sorted_valid = false;
};
std::mutex index_mutex;
PathIndex path_index;

void index_reset(PathIndex &ix)
{
    ix.complete = false;
    ix.names.clear();
    ix.bytes = 0;
    ix.sorted.clear();
    ix.sorted.shrink_to_fit();
    ix.sorted_valid = false;
}

// What an index entry takes in memory, the map's node roughly included.
size_t entry_bytes(const std::string &name, const std::string &path)
{
    return 96 + string_heap(name) + string_heap(path);
}

// load_profile_file, and the file must record the path it is stored for.
int read_stored(int dir, const std::string &name, std::string *buf, QvProfile *out, std::string *why)
{
    int r = load_profile_file(dir, name.c_str(), buf, out, why);
    if (r == 0 && (qv_check_path(out->file) != 0 || qv_profile_file_name(out->file) != name)) {
        *why = "records a path that is not stored under this name";
        r = -EBADMSG;
    }
    return r;
}

// The recorded path of the profile file name in dir, or false (reported
// when the file is there but unusable).
bool read_listed(int dir, const std::string &name, std::string *text, std::string *path)
{
    QvProfile p;
    std::string why;
    int r = read_stored(dir, name, text, &p, &why);
    if (r == -EBADMSG)
        report(QV_PROFILE_DIR + name, why);
    if (r != 0)
        return false;
    *path = std::move(p.file);
    return true;
}

// (Re-)reads the profile file name into ix: its entry goes, and comes back
// when the file is there and usable.
void index_read(PathIndex &ix, int dir, const std::string &name, std::string *text)
{
    auto it = ix.names.find(name);
    if (it != ix.names.end()) {
        ix.bytes -= entry_bytes(it->first, it->second);
        ix.names.erase(it);
    }
    std::string path;
    if (read_listed(dir, name, text, &path)) {
        ix.bytes += entry_bytes(name, path);
        ix.names.emplace(name, std::move(path));
    }
    ix.sorted_valid = false;
}

// Brings ix up to date with the store: the dirty names, or everything when
// it is not complete. false when the store cannot be read.
bool index_refresh(PathIndex &ix, const std::set<std::string> &dirty)
{
    DirRef d(opendir(QV_PROFILE_DIR));
    if (!d) {
        index_reset(ix);
        return false;
    }
    std::string text;
    if (ix.complete) {
        for (const std::string &name : dirty)
            index_read(ix, dirfd(d.get()), name, &text);
        return true;
    }
    index_reset(ix);
    while (dirent *e = readdir(d.get())) {
        if (e->d_name[0] == '.')
            continue;  // ".", "..", the staging area
        if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) {
            report(std::string(QV_PROFILE_DIR) + e->d_name,
                   e->d_type == DT_LNK ? "a symbolic link, not a regular file" : "not a regular file");
            continue;
        }
        index_read(ix, dirfd(d.get()), e->d_name, &text);
    }
    ix.complete = true;
    return true;
}

}  // namespace

QvProfile qv_get_profile(const std::string &path)
{
    QvProfile none;
    none.file = path;
    if (qv_check_path(path) != 0)
        return none;
    bool watched;
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> guard(cache_mutex);
        watched = watch_check(store_watch);
        epoch = store_watch.epoch;
        auto it = cache.find(path);
        if (watched && it != cache.end() && it->second.watched)
            return it->second.profile;
    }
    const std::string shown = QV_PROFILE_DIR + qv_profile_file_name(path);

    struct stat st;
    bool known = fstatat(AT_FDCWD, shown.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!known && (errno == ENOENT || errno == ENOTDIR)) {
        forget_cached(path);
        return none;
    }
    if (known) {
        std::lock_guard<std::mutex> guard(cache_mutex);
        auto it = cache.find(path);
        if (it != cache.end() && !it->second.watched && same_file(it->second, st))
            return it->second.profile;
    }

    timespec began;
    clock_gettime(CLOCK_REALTIME, &began);
    QvProfile found;
    std::string text;
    if (read_profile_file(AT_FDCWD, shown.c_str(), shown, &text, &found, &st) != 0) {
        forget_cached(path);
        return none;
    }
    if (found.file != path) {
        report(shown, "records another path");
        forget_cached(path);
        return none;
    }
    std::lock_guard<std::mutex> guard(cache_mutex);
    // Watched throughout the read, and no other name can write the file.
    if (watched && store_watch.epoch == epoch && store_watch.inotify.fd >= 0 && st.st_nlink == 1)
        remember(path, true, st, found);
    else if (ns_of(st.st_ctim) < ns_of(began) - SETTLED_NS && ns_of(st.st_mtim) < ns_of(began) - SETTLED_NS)
        remember(path, false, st, found);
    else
        forget_locked(path);
    return found;
}

int qv_set_profile(const QvProfile &profile)
{
    int r = qv_check_path(profile.file);
    if (r != 0)
        return r;
    if (!valid_profile_enums(profile))
        return -EINVAL;
    const std::string text = qv_format_profile(profile);
    if (text.size() > QV_PROFILE_SIZE_MAX)
        return -EFBIG;  // it could never be read back
    const std::string name = qv_profile_file_name(profile.file);

    std::lock_guard<std::mutex> guard(writer_mutex);
    StoreHold hold;
    r = open_store(true, &hold.dir.fd);
    if (r == 0)
        r = lock_store(&hold);
    if (r == 0) {
        remove_stale(hold.staging.fd);
        forget_cached(profile.file);
        r = replace_file(hold.dir.fd, hold.staging.fd, name, text);
    }
    return r;
}

int qv_set_and_update_profile(const QvProfile &profile)
{
    int r = qv_set_profile(profile);
    return r != 0 ? r : qv_update();
}

int qv_del_profile(const std::string &path)
{
    int r = qv_check_path(path);
    if (r != 0)
        return r;
    const std::string name = qv_profile_file_name(path);

    std::lock_guard<std::mutex> guard(writer_mutex);
    StoreHold hold;
    struct stat st;
    r = open_store(false, &hold.dir.fd);
    // Checked before locking, so a store that cannot be written still says
    // -ENOENT for a path it does not hold.
    if (r == 0 && fstatat(hold.dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        r = -errno;
    if (r == 0)
        r = lock_store(&hold);
    if (r == 0) {
        forget_cached(path);
        r = remove_entry(hold.dir.fd, name.c_str());
    }
    if (r == 0 && fsync(hold.dir.fd) < 0)
        r = -errno;
    return r;
}

int qv_update()
{
    QvFd dir;
    int r = open_store(false, &dir.fd);
    if (r == 0 && fsync(dir.fd) < 0)
        r = -errno;
    dir.reset();
    return r != 0 ? r : qv_reload_enforcement();
}

std::vector<std::string> qv_get_files()
{
    std::lock_guard<std::mutex> guard(index_mutex);
    PathIndex &ix = path_index;
    std::set<std::string> dirty;
    bool watched;
    {
        std::lock_guard<std::mutex> cache_guard(cache_mutex);
        StoreWatch &w = store_watch;
        // Another directory in the watched one's place by a way no event
        // tells (a parent folder moved): watch afresh.
        struct stat st;
        if (w.inotify.fd >= 0 && !w.inherited &&
            (stat(QV_PROFILE_DIR, &st) < 0 || st.st_dev != w.dev || st.st_ino != w.ino))
            watch_open(w);
        watched = watch_check(w);
        if (!watched || w.index_stale)
            ix.complete = false;
        dirty.swap(w.dirty);
        w.index_stale = false;
        w.index_kept = watched;
    }
    std::vector<std::string> files;
    const bool read = index_refresh(ix, dirty);
    if (read && (!watched || ix.bytes > INDEX_BYTES_MAX)) {
        // Not kept: nothing would keep it valid, or it is too large.
        files.reserve(ix.names.size());
        for (auto &entry : ix.names)
            files.push_back(std::move(entry.second));
        index_reset(ix);
        std::sort(files.begin(), files.end());  // std::string compares bytes as unsigned
    } else if (read) {
        if (!ix.sorted_valid) {
            ix.sorted.clear();
            ix.sorted.reserve(ix.names.size());
            for (const auto &entry : ix.names)
                ix.sorted.push_back(&entry.second);
            std::sort(ix.sorted.begin(), ix.sorted.end(),
                      [](const std::string *a, const std::string *b) { return *a < *b; });
            ix.sorted_valid = true;
        }
        files.reserve(ix.sorted.size());
        for (const std::string *path : ix.sorted)
            files.push_back(*path);
    }
    if (!ix.complete) {
        std::lock_guard<std::mutex> cache_guard(cache_mutex);
        store_watch.index_kept = false;
    }
    return files;
}

int qv_read_profile_file(int dir, const std::string &name, QvProfile *out, std::string *why)
{
    std::string buf;
    return read_stored(dir, name, &buf, out, why);
}
