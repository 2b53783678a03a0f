// SPDX-License-Identifier: GPL-2.0-or-later
// libquorvane: the protection-profile store that quorvane_daemon links.
//
// Each stored profile is one regular file directly in QV_PROFILE_DIR; nothing
// else in that directory is ever a regular file, so counting the regular files
// counts the profiles. All operations are synchronous and safe to call from
// several threads at once. Int results are 0 on success or a negative errno.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum PermitType : uint32_t {
    Deny = 0,
    Allow = 1,
};

enum ProfileMode : uint32_t {
    Complain = 0,
    Enforce = 1,
};

struct QvRule {
    PermitType deny = Allow;
    std::vector<uint32_t> uids;
    std::vector<std::string> app_paths;  // "*" stands for every application
    uint32_t permission = 0;             // bit set; every writer sets it
};

struct QvProfile {
    std::string file;                    // the protected path
    std::string own_app;                 // executable that set the profile
    std::string version = "0.0.1";
    ProfileMode profile_mode = Complain;
    std::vector<QvRule> rules;
};

// The compiled-in profile directory, the one place its path is written:
// QV_STORE_DIR names it without the final slash, and the build reads it from
// here for the units that name it.
#define QV_STORE_DIR "/etc/quorvane.d"
#define QV_PROFILE_DIR QV_STORE_DIR "/"

// The profile stored for path; a path without a (readable) profile reads back
// with no rules and file set to path. A profile file that cannot be used
// (corrupt, not a regular file, recording another path) is reported on
// standard error and read as none. Paths: -EINVAL when empty or holding a NUL
// byte, -ENAMETOOLONG past 4095 bytes; any other string is kept as it is.
// A direct lookup by name. A profile parsed before is answered from memory
// while the store's watch (inotify on the store, the mount table) reports no
// change in the store; without a watch, or for a file with a second link,
// while the file is unchanged (same inode, size and times, one stat). The
// parsed profiles kept take at most 8 MiB; one larger than 2 MiB is never kept.
QvProfile qv_get_profile(const std::string &path);

// Store profile under profile.file, replacing any earlier one atomically.
// -EINVAL also for an enumeration value outside its two words, -EFBIG for a
// profile too large to read back (64 MiB); else the failing call's errno.
int qv_set_profile(const QvProfile &profile);

// qv_set_profile, then qv_update.
int qv_set_and_update_profile(const QvProfile &profile);

// Delete the profile of path; -ENOENT when path has none.
int qv_del_profile(const std::string &path);

// Put the stored profiles into force: syncs the profile directory, then asks
// the enforcement loader to load every stored profile and waits for its
// acknowledgement (enforce.h). 0 when every stored profile is in force, or
// when no enforcement is installed (no loader socket: the store is all).
// Otherwise a negative errno: the store cannot be used (no directory), the
// loader refused (e.g. -EOPNOTSUPP when the kernel cannot run its program),
// -ETIMEDOUT, -EIO.
int qv_update();

// Reads the profile file name in the directory open as dir (a store being
// checked), as the store reads its own, without reporting: 0 with *out filled
// when it is a readable profile that records the path it is stored for;
// -ENOENT when there is no such file; -EBADMSG with the reason in *why.
int qv_read_profile_file(int dir, const std::string &name, QvProfile *out, std::string *why);

// Paths that have a stored, readable profile, in byte-wise ascending order
// (unsigned bytes, as std::string compares). Unusable files are reported on
// standard error and left out. Served from memory: the store directory is
// watched (inotify), and only files changed since the last listing, by any
// process, are read again; an unusable file is reported when it is read.
// Without a watch, or when the paths would take more than 8 MiB of memory,
// the whole store is read each time.
std::vector<std::string> qv_get_files();
