// SPDX-License-Identifier: GPL-2.0-or-later
// One policy generation as a kernel map, ready for an idle slot.
#pragma once

#include "holders.h"
#include "policy.h"

constexpr uint32_t QV_KERNEL_ADDED_MAX = 1024;

// A new hash map (the layout of the program's policy slots) holding every
// entry of policy, with room for carried more: its fd (the caller closes
// it), or -errno.
int policy_map_create(const Policy &policy, uint32_t carried = 0);

// Orders map keys (for sorted lists of them).
bool policy_key_less(const qv_key &a, const qv_key &b);

// The entries of map_fd whose keys are not in written (sorted with
// policy_key_less): what the kernel added on its own.
std::vector<PolicyEntry> policy_map_added(int map_fd, const std::vector<qv_key> &written);

// The kernel's filter of protected objects (map_fd: its one-entry array),
// mapped into out for object_filter_add: 0, or -errno.
int object_filter_map(int map_fd, QvMapping *out);

// Sets the filter's bit of key when it names an object or a file system
// holding one, before the entry is written: a clear bit would hide the entry
// from the program.
void object_filter_add(const QvMapping &filter, const qv_key &key);
