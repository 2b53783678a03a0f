// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's thinking, apart from any kernel: stored profiles in, the
// entries of one policy generation out. Testable without BPF.
#pragma once

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

struct Policy {
    std::vector<PolicyEntry> entries;
    std::vector<NotEnforced> not_enforced;  // stored, but not in force
    std::vector<std::string> notes;         // worth one journal line each
    uint32_t enforced = 0;
};

// st_dev / st_rdev as the kernel keeps them: major << 20 | minor.
uint32_t kernel_dev(dev_t dev);

// Why path must not be enforced: "/" or a path in, or above, a tree the
// system needs to run (also through a symbolic link or a bind mount), or a
// /dev path other than a video device node. "" when it may be enforced.
std::string system_tree_reason(const std::string &path);

// The entries of every profile in profiles (only the first rule counts);
// profile ids are positions in profiles. Resolves paths with stat only:
// nothing a profile may protect is ever opened.
Policy build_policy(const std::vector<QvProfile> &profiles);
