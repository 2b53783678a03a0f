// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_apply: run by quorvane.service at boot. Checks every profile file
// of the store and puts the stored profiles into force through the library;
// exits non-zero, naming each bad file, when any profile cannot be read.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "common.h"
#include "profile_file.h"
#include "quorvane.h"

namespace {

struct DirClose {
    void operator()(DIR *d) const { closedir(d); }
};
using DirRef = std::unique_ptr<DIR, DirClose>;

// Reads the whole file name in dir; "" or the reason it cannot be read.
std::string read_whole(int dir, const char *name, std::string *text)
{
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct stat st;
    std::string why;
    if (fstat(fd, &st) < 0)
        why = std::strerror(errno);
    else if (static_cast<size_t>(st.st_size) > QV_PROFILE_SIZE_MAX)
        why = "larger than any profile";
    char buf[65536];
    while (why.empty()) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            why = std::strerror(errno);
        if (n <= 0)
            break;
        text->append(buf, static_cast<size_t>(n));
        if (text->size() > QV_PROFILE_SIZE_MAX)
            why = "larger than any profile";
    }
    close(fd);
    return why;
}

// "" when the regular file name holds a profile stored under its own name.
std::string check_profile(int dir, const char *name)
{
    std::string text;
    std::string why = read_whole(dir, name, &text);
    if (!why.empty())
        return why;
    QvProfile profile;
    if (qv_parse_profile(text, &profile, &why) != 0)
        return why.empty() ? "not a profile" : why;
    if (qv_check_path(profile.file) != 0 || qv_profile_file_name(profile.file) != name)
        return "records a path that is not stored under this name";
    return "";
}

}  // namespace

int main(int argc, char *argv[])
{
    (void)argc;
    (void)argv;
    DirRef dir(opendir(QV_PROFILE_DIR));
    if (!dir && errno == ENOENT) {
        QV_LOG(stdout, "no profile store %s: nothing to put into force\n", QV_PROFILE_DIR);
        return 0;
    }
    if (!dir) {
        QV_LOG(stderr, "cannot open %s: %s\n", QV_PROFILE_DIR, std::strerror(errno));
        return 1;
    }

    int good = 0, bad = 0;
    while (struct dirent *entry = readdir(dir.get())) {
        struct stat st;
        // Only regular files are profiles; the library keeps its work in a
        // dot-named subdirectory.
        if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0 || !S_ISREG(st.st_mode))
            continue;
        std::string why = check_profile(dirfd(dir.get()), entry->d_name);
        if (why.empty()) {
            ++good;
            continue;
        }
        ++bad;
        QV_LOG(stderr, "unreadable profile %s%s: %s\n", QV_PROFILE_DIR, entry->d_name, why.c_str());
    }

    // The readable profiles are put into force even when others are bad, so
    // one corrupt file does not leave every protected path open.
    int r = qv_update();
    if (r != 0) {
        QV_LOG(stderr, "qv_update failed: %s\n", std::strerror(r < 0 ? -r : EIO));
        return 1;
    }
    if (bad > 0) {
        QV_LOG(stderr, "%d of %d profile files unreadable; the other %d are in force\n", bad, bad + good, good);
        return 1;
    }
    QV_LOG(stdout, "%d profiles in force\n", good);
    return 0;
}
