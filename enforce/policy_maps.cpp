// SPDX-License-Identifier: GPL-2.0-or-later
#include "policy_maps.h"

#include <bpf/bpf.h>
#include <unistd.h>

#include <cerrno>

int policy_map_create(const Policy &policy)
{
    // Room beyond the entries for the files the kernel protects on its own
    // until the next reload (a permitted replacement of a protected file).
    const uint32_t size = static_cast<uint32_t>(policy.entries.size()) + QV_KERNEL_ADDED_MAX;
    int fd = bpf_map_create(BPF_MAP_TYPE_HASH, "qv_policy", sizeof(qv_key), sizeof(qv_rule), size, nullptr);
    if (fd < 0)
        return fd;
    // One batch call where the kernel has it (5.6), else entry by entry.
    std::vector<qv_key> keys;
    std::vector<qv_rule> values;
    keys.reserve(policy.entries.size());
    values.reserve(policy.entries.size());
    for (const auto &e : policy.entries) {
        keys.push_back(e.key);
        values.push_back(e.rule);
    }
    uint32_t count = static_cast<uint32_t>(keys.size());
    if (count == 0 || bpf_map_update_batch(fd, keys.data(), values.data(), &count, nullptr) == 0)
        return fd;
    for (const auto &e : policy.entries) {
        if (bpf_map_update_elem(fd, &e.key, &e.rule, BPF_ANY) < 0) {
            int r = -errno;
            close(fd);
            return r;
        }
    }
    return fd;
}
