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

#include "diag.h"
#include "quorvane.h"

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
        QvProfile profile;
        std::string why;
        if (qv_read_profile_file(dirfd(dir.get()), entry->d_name, &profile, &why) == 0) {
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
