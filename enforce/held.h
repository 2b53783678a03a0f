// SPDX-License-Identifier: GPL-2.0-or-later
// What the loader protected before, kept when a path stops leading to it:
// - an object whose path no longer leads to it (a folder above was renamed)
//   stays protected while it exists. It is known by its file system's
//   handle (name_to_handle_at), not by an open descriptor, so nothing the
//   loader holds keeps a user's USB stick from being unmounted; a handle
//   no longer opens once the object is deleted, even when its inode number
//   is taken again.
// - a listed program's earlier file (replaced by remove-then-write, or
//   removed) stays listed while the loader holds it open: a process still
//   running the old version keeps its answer, and the old inode number
//   cannot pass to another file. Up to QV_HELD_EARLIER_MAX earlier files
//   per program, the oldest let go first; a process that runs a version
//   older than that is then an unlisted program.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "policy.h"

// Objects kept across all profiles at most; further ones are let go.
constexpr size_t QV_HELD_OBJECTS_MAX = 10000;
// Listed programs held open at most, and earlier files kept per program.
constexpr size_t QV_HELD_PROGRAMS_MAX = 4096;
constexpr size_t QV_HELD_EARLIER_MAX = 16;

struct HeldObject {
    std::string path;  // the profile's
    uint32_t dev;
    uint64_t ino;
    ObjectHandle handle;
};

struct HeldProgram {
    std::string app;
    uint32_t dev;
    uint64_t ino;
    std::shared_ptr<QvFd> fd;  // O_PATH
    bool earlier;            // no longer at app's path
};

// An object kept that its path no longer leads to.
struct Moved {
    std::string path;
    std::string now_at;  // where it is now, as the kernel names it
};

struct Held {
    std::vector<HeldObject> objects;
    std::vector<HeldProgram> programs;
};

// Adds to policy what held keeps (objects that still exist, earlier files
// of programs it still lists), then remembers what policy protects now.
// Returns the objects kept that their paths no longer lead to; notes gets
// a line for each object that could not be followed.
std::vector<Moved> held_apply(Held *held, Policy *policy, std::vector<std::string> *notes);

// The objects as JSON, and back.
nlohmann::json held_to_json(const Held &held);
void held_from_json(Held *held, const nlohmann::json &j);

// The programs held, with their descriptors, made to survive an execve of
// this process (FD_CLOEXEC cleared); and taken back by the new image, each
// descriptor only when it still is that file.
nlohmann::json held_programs_for_exec(const Held &held);
void held_programs_adopt(Held *held, const nlohmann::json &j);
