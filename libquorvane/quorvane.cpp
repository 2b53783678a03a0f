// The profile store: one file per profile in QV_PROFILE_DIR, replaced
// atomically through a staging subdirectory that also holds the lock file.
#include "quorvane.h"

#include "diag.h"
#include "enforce.h"
#include "profile_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
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
const std::string STORE_PATH(QV_PROFILE_DIR, sizeof(QV_PROFILE_DIR) - 2);

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

int lock_store(int staging, int *out)
{
    *out = openat(staging, LOCK_NAME, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (*out < 0)
        return -errno;
    while (flock(*out, LOCK_EX) < 0)
        if (errno != EINTR)
            return -errno;
    return 0;
}

// Removes an entry of any kind; a directory with everything in it.
int remove_entry(int dir, const char *name)
{
    if (unlinkat(dir, name, 0) == 0)
        return 0;
    if (errno != EISDIR)
        return -errno;
    int sub = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0)
        return -errno;
    DIR *d = fdopendir(sub);
    if (!d) {
        int err = errno;
        close(sub);
        return -err;
    }
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, ".."))
            remove_entry(sub, e->d_name);
    closedir(d);
    return unlinkat(dir, name, AT_REMOVEDIR) < 0 ? -errno : 0;
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
// calls to spare an allocation per file).
// -ENOENT (silent) when there is none; anything else unusable is reported
// naming shown and gives -EBADMSG.
int read_profile_file(int dir, const char *name, const std::string &shown, std::string *buf,
                      QvProfile *out, struct stat *st_out = nullptr)
{
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return -ENOENT;
        report(shown, errno == ELOOP ? "a symbolic link, not a regular file" : std::strerror(errno));
        return -EBADMSG;
    }
    std::string why;
    std::string &text = *buf;
    text.clear();
    struct stat st;
    if (fstat(fd, &st) < 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    else if (static_cast<unsigned long long>(st.st_size) > QV_PROFILE_SIZE_MAX)
        why = "larger than 64 MiB";
    else {
        // One read of the whole file; a short read of a regular file is its end.
        text.resize(static_cast<size_t>(st.st_size) + 1);
        size_t got = 0;
        while (got < text.size() && got <= QV_PROFILE_SIZE_MAX) {
            ssize_t n = read(fd, &text[got], text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                why = std::strerror(errno);
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
    if (why.empty())
        qv_parse_profile(text, out, &why);
    if (why.empty())
        return 0;
    report(shown, why);
    return -EBADMSG;
}

bool valid_profile_enums(const QvProfile &profile)
{
    if (profile.profile_mode != Complain && profile.profile_mode != Enforce)
        return false;
    return std::all_of(profile.rules.begin(), profile.rules.end(),
                       [](const QvRule &r) { return r.deny == Allow || r.deny == Deny; });
}

// Parsed profiles of recent lookups, each valid while its file's identity
// and change times are what they were when it was read. A file is cached
// only once its change time lies a safe margin before the read began:
// any later change then gets a later change time, even on file systems
// that stamp times with a coarse clock, so a stale entry is never served.
struct CachedProfile {
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime;
    timespec ctime;
    QvProfile profile;
};
constexpr size_t CACHE_MAX = 1024;
constexpr int64_t SETTLED_NS = 50 * 1000 * 1000;
std::mutex cache_mutex;
std::unordered_map<std::string, CachedProfile> cache;

int64_t ns_of(const timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool same_file(const CachedProfile &c, const struct stat &st)
{
    return S_ISREG(st.st_mode) && c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
           ns_of(c.mtime) == ns_of(st.st_mtim) && ns_of(c.ctime) == ns_of(st.st_ctim);
}

void forget_cached(const std::string &name)
{
    std::lock_guard<std::mutex> guard(cache_mutex);
    cache.erase(name);
}

}  // namespace

QvProfile qv_get_profile(const std::string &path)
{
    QvProfile none;
    none.file = path;
    if (qv_check_path(path) != 0)
        return none;
    const std::string name = qv_profile_file_name(path);
    const std::string shown = QV_PROFILE_DIR + name;

    struct stat st;
    bool known = fstatat(AT_FDCWD, shown.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!known && (errno == ENOENT || errno == ENOTDIR)) {
        forget_cached(name);
        return none;
    }
    if (known) {
        std::lock_guard<std::mutex> guard(cache_mutex);
        auto it = cache.find(name);
        if (it != cache.end() && same_file(it->second, st))
            return it->second.profile;
    }

    timespec began;
    clock_gettime(CLOCK_REALTIME, &began);
    QvProfile found;
    std::string text;
    if (read_profile_file(AT_FDCWD, shown.c_str(), shown, &text, &found, &st) != 0) {
        forget_cached(name);
        return none;
    }
    if (found.file != path) {
        report(shown, "records another path");
        forget_cached(name);
        return none;
    }
    std::lock_guard<std::mutex> guard(cache_mutex);
    if (ns_of(st.st_ctim) < ns_of(began) - SETTLED_NS && ns_of(st.st_mtim) < ns_of(began) - SETTLED_NS) {
        if (cache.size() >= CACHE_MAX)
            cache.clear();
        cache[name] = CachedProfile{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, found};
    } else {
        cache.erase(name);
    }
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
    int dir = -1, staging = -1, lock = -1;
    r = open_store(true, &dir);
    if (r == 0)
        r = open_staging(dir, &staging);
    if (r == 0)
        r = lock_store(staging, &lock);
    if (r == 0) {
        remove_stale(staging);
        forget_cached(name);
        r = replace_file(dir, staging, name, text);
    }
    close_fd(lock);  // releases the flock
    close_fd(staging);
    close_fd(dir);
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
    int dir = -1, staging = -1, lock = -1;
    struct stat st;
    r = open_store(false, &dir);
    // Checked before locking, so a store that cannot be written still says
    // -ENOENT for a path it does not hold.
    if (r == 0 && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        r = -errno;
    if (r == 0)
        r = open_staging(dir, &staging);
    if (r == 0)
        r = lock_store(staging, &lock);
    if (r == 0) {
        forget_cached(name);
        r = remove_entry(dir, name.c_str());
    }
    if (r == 0 && fsync(dir) < 0)
        r = -errno;
    close_fd(lock);
    close_fd(staging);
    close_fd(dir);
    return r;
}

int qv_update()
{
    int dir = -1;
    int r = open_store(false, &dir);
    if (r == 0 && fsync(dir) < 0)
        r = -errno;
    close_fd(dir);
    return r != 0 ? r : qv_reload_enforcement();
}

std::vector<std::string> qv_get_files()
{
    std::vector<std::string> files;
    DIR *d = opendir(QV_PROFILE_DIR);
    if (!d)
        return files;
    QvProfile p;
    std::string text;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;  // ".", "..", the staging area
        const std::string shown = std::string(QV_PROFILE_DIR) + e->d_name;
        if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) {
            report(shown, e->d_type == DT_LNK ? "a symbolic link, not a regular file" : "not a regular file");
            continue;
        }
        if (read_profile_file(dirfd(d), e->d_name, shown, &text, &p) != 0)
            continue;
        if (qv_check_path(p.file) != 0 || qv_profile_file_name(p.file) != e->d_name) {
            report(shown, "records a path that is not stored under this name");
            continue;
        }
        files.push_back(std::move(p.file));
    }
    closedir(d);
    std::sort(files.begin(), files.end());  // std::string compares bytes as unsigned
    return files;
}
