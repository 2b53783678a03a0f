// SPDX-License-Identifier: GPL-2.0-or-later
#include "policy_maps.h"

#include <bpf/bpf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

int policy_map_create(const Policy &policy, uint32_t carried)
{
    // Room beyond the entries for the files the kernel protects on its own
    // until the next reload (a permitted replacement of a protected file).
    const uint32_t size = static_cast<uint32_t>(policy.entries.size()) + carried + QV_KERNEL_ADDED_MAX;
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

int object_filter_map(int map_fd, QvMapping *out)
{
    out->len = sizeof(qv_filter);
    out->addr = mmap(nullptr, out->len, PROT_READ | PROT_WRITE, MAP_SHARED, map_fd, 0);
    return out->addr == MAP_FAILED ? -errno : 0;
}

void object_filter_add(const QvMapping &filter, const qv_key &key)
{
    if (key.kind != QV_KEY_OBJECT && key.kind != QV_KEY_SUPERBLOCK)
        return;
    const uint32_t bit = qv_filter_bit(key.dev, key.kind == QV_KEY_OBJECT ? key.ino : 0);
    // The kernel sets bits in the same words at the same time.
    __atomic_fetch_or(&static_cast<qv_filter *>(filter.addr)->words[bit / 64], uint64_t{1} << (bit % 64),
                      __ATOMIC_SEQ_CST);
}

bool policy_key_less(const qv_key &a, const qv_key &b)
{
    return std::memcmp(&a, &b, sizeof a) < 0;
}

std::vector<PolicyEntry> policy_map_added(int map_fd, const std::vector<qv_key> &written)
{
    std::vector<PolicyEntry> added;
    auto consider = [&](const qv_key &key, const qv_rule &rule) {
        if (!std::binary_search(written.begin(), written.end(), key, policy_key_less))
            added.push_back({key, rule});
    };
    // In batches where the kernel has them (5.6), else key by key.
    constexpr uint32_t chunk = 4096;
    std::vector<qv_key> keys(chunk);
    std::vector<qv_rule> rules(chunk);
    qv_key in{}, out{};  // the batch position (the kernel's, at most a key's size)
    bool first = true;
    for (;;) {
        uint32_t count = chunk;
        int r = bpf_map_lookup_batch(map_fd, first ? nullptr : &in, &out, keys.data(), rules.data(), &count, nullptr);
        if (r < 0 && errno != ENOENT) {
            if (!first || errno != EINVAL)
                break;
            added.clear();
            qv_key key{}, next{};
            const qv_key *at = nullptr;
            while (bpf_map_get_next_key(map_fd, at, &next) == 0) {
                key = next;
                at = &key;
                qv_rule rule{};
                if (bpf_map_lookup_elem(map_fd, &key, &rule) == 0)
                    consider(key, rule);
            }
            return added;
        }
        for (uint32_t i = 0; i < count; ++i)
            consider(keys[i], rules[i]);
        if (r < 0)  // ENOENT: that was the last batch
            return added;
        in = out;
        first = false;
    }
    return added;
}
