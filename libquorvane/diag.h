// SPDX-License-Identifier: GPL-2.0-or-later
// The one diagnostic macro and the scope-bound holder template, shared by the
// store, the programs and the tools (the store depends on nothing of theirs).
#pragma once

#include <cstdio>

// Base name of a source path, evaluated at compile time from __FILE__.
constexpr const char *qv_base_name(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/')
            base = p + 1;
    return base;
}

// One diagnostic line: "<file>(<line>)-> " followed by the message.
#define QV_LOG(stream, fmt, ...) \
    std::fprintf((stream), "%s(%d)-> " fmt, qv_base_name(__FILE__), __LINE__, ##__VA_ARGS__)

// Scope-bound holders: one alias per library type, released by the library's
// own release function on every path.
template <auto Release>
struct qv_release {
    template <typename T>
    void operator()(T *p) const { Release(p); }
};
