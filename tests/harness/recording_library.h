// SPDX-License-Identifier: GPL-2.0-or-later
// A recording stand-in for libquorvane's functions, for the unit tests that
// check the exact call sequences of profile editing, the camera fan-out and
// the hot-plug monitor. Link it instead of the real library.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "quorvane.h"

namespace qvt {

struct RecordedLibrary {
    // Every call in order: "get P", "set P", "set+update P", "del P",
    // "update", "files".
    std::vector<std::string> calls;
    // Every profile given to qv_set_profile or qv_set_and_update_profile.
    std::vector<QvProfile> stored;

    // What qv_get_profile answers per path; any other path has no profile.
    std::map<std::string, QvProfile> profiles;
    // What qv_set_profile returns per path; 0 for the others.
    std::map<std::string, int> set_result;
    int set_and_update_result = 0;
    int del_result = 0;
    int update_result = 0;
};

// The stand-in's state; tests reset it with `library = {};`.
extern RecordedLibrary library;

}  // namespace qvt
