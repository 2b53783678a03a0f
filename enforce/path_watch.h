// SPDX-License-Identifier: GPL-2.0-or-later
// Watches the folders on the way to every protected path and listed
// program, so that a path that appears, is replaced or is moved away is
// re-resolved at once rather than at the next reload. Only names that lie
// on such a way count; every other change in a watched folder is ignored.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "policy.h"

// More folders than this are not watched: their paths are picked up at the
// next reload (inotify watches cost the kernel memory per user).
constexpr size_t QV_WATCH_FOLDERS_MAX = 8192;

struct PathWatch {
    QvFd inotify;
    std::map<int, std::set<std::string>> names;  // by watch: the names that matter in that folder
};

// Opens the inotify instance. 0 or -errno.
int watch_open(PathWatch *w);

// Watches the way to each path: every folder from "/" down to the deepest
// one that exists, for the next name on the way. Folders no longer on any
// way are let go. Returns how many paths could not be watched whole
// (QV_WATCH_FOLDERS_MAX reached).
size_t watch_paths(PathWatch *w, const std::vector<std::string> &paths);

// Reads every waiting event; true when one of them concerns a name on a
// watched way (or events were lost), so the paths must be resolved again.
bool watch_changed(PathWatch *w);
