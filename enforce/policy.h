// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's thinking, apart from any kernel: stored profiles in, the
// entries of one policy generation out. Testable without BPF.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "holders.h"
#include "policy_abi.h"
#include "quorvane.h"

struct PolicyEntry {
    qv_key key;
    qv_rule rule;
};

struct NotEnforced {
    std::string path;
    std::string why;
};

// A file system's own name for an object (name_to_handle_at): it outlives
// renames, and a deleted object's handle no longer opens, even when its
// inode number is taken again. Empty where the file system gives none.
struct ObjectHandle {
    std::string bytes;
    int type = 0;
    int mount_id = -1;
};

// A listed executable that someone other than root may write or replace:
// any program of that user can become it.
struct WeakProgram {
    std::string path;
    std::string why;
};

// The object a profile's path led to.
struct ProtectedObject {
    std::string path;
    uint32_t dev;  // kernel encoding
    uint64_t ino;
    ObjectHandle handle;
};

struct Policy {
    std::vector<PolicyEntry> entries;
    std::vector<NotEnforced> not_enforced;  // stored, but not in force
    std::vector<WeakProgram> weak_programs;
    std::vector<std::string> notes;         // worth one journal line each
    std::vector<std::string> absent_cameras;  // camera nodes not there: covered when they appear
    uint32_t enforced = 0;
    std::vector<ProtectedObject> objects;       // files and folders, as resolved now
    std::map<std::string, qv_rule> rules;       // by profile path: what an object of it gets
    std::map<std::string, qv_rule> program_numbers;  // by listed program (there or not): its QV_KEY_PROGRAM value
    std::map<std::string, std::pair<uint32_t, uint64_t>> programs;  // listed programs as resolved now
};

// st_dev / st_rdev as the kernel keeps them: major << 20 | minor.
uint32_t kernel_dev(dev_t dev);

// Why path must not be enforced: "/" or a path in, or above, a tree the
// system needs to run (also through a symbolic link or a bind mount), or a
// /dev path other than a video device node. "" when it may be enforced.
std::string system_tree_reason(const std::string &path);

// An O_PATH descriptor of the object at path (>= 0), reached one name at a
// time. A symbolic link on the way is followed only when root owns it and
// no one but root may write the folder it sits in (so /home -> /var/home
// works); any other link could have been planted by a user, and gives
// -ELOOP with *why saying which. Otherwise -errno.
int resolve_trusted(const std::string &path, std::string *why);

// The path the kernel gives an open descriptor ("" when it gives none).
std::string real_path_of(int fd);

// The handle of the object fd is open on. 0 or -errno (-EOPNOTSUPP: the
// file system gives none).
int object_handle(int fd, ObjectHandle *h);

// Why someone other than root may change the executable st describes, at
// path: "" when only root may.
std::string weak_program_reason(const std::string &path, const struct stat &st);

// The entries of every profile in profiles (only the first rule counts);
// profile ids are positions in profiles. Each listed executable gets a
// program number (QV_KEY_PROGRAM), and profiles list numbers (QV_KEY_EXE):
// handing a listing to a new file is one entry. Resolves protected paths
// with resolve_trusted (O_PATH: nothing a profile may protect is ever opened
// for reading) and listed programs with stat.
Policy build_policy(const std::vector<QvProfile> &profiles);

// Adds to policy the entries that protect the object (dev, ino) by the
// profile of path (an object its path no longer leads to), or that list
// the file (dev, ino) as app under its program number (a replaced program's
// earlier file). False
// when no stored profile has that path or lists that program.
bool policy_keep_object(Policy *policy, const std::string &path, uint32_t dev, uint64_t ino);
bool policy_keep_program(Policy *policy, const std::string &app, uint32_t dev, uint64_t ino);
