// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's thinking, apart from any kernel: stored profiles in, the
// entries of one policy generation out. Testable without BPF.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

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

// A listed executable that someone other than root may write or replace:
// any program of that user can become it.
struct WeakProgram {
    std::string path;
    std::string why;
};

struct Policy {
    std::vector<PolicyEntry> entries;
    std::vector<NotEnforced> not_enforced;  // stored, but not in force
    std::vector<WeakProgram> weak_programs;
    std::vector<std::string> notes;         // worth one journal line each
    uint32_t enforced = 0;
};

// st_dev / st_rdev as the kernel keeps them: major << 20 | minor.
uint32_t kernel_dev(dev_t dev);

// Why path must not be enforced: "/" or a path in, or above, a tree the
// system needs to run (also through a symbolic link or a bind mount), or a
// /dev path other than a video device node. "" when it may be enforced.
std::string system_tree_reason(const std::string &path);

// Why someone other than root may change the executable st describes, at
// path: "" when only root may.
std::string weak_program_reason(const std::string &path, const struct stat &st);

// The entries of every profile in profiles (only the first rule counts);
// profile ids are positions in profiles. Each listed executable gets a
// program number (QV_KEY_PROGRAM), and profiles list numbers (QV_KEY_EXE):
// handing a listing to a new file is one entry. Resolves paths with stat only:
// nothing a profile may protect is ever opened.
Policy build_policy(const std::vector<QvProfile> &profiles);
