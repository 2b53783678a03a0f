// SPDX-License-Identifier: GPL-2.0-or-later
// The one diagnostic macro, shared by the store, the programs and the tools
// (the store depends on nothing of theirs), with the scope-bound holders.
#pragma once

#include <cstdio>
#include <string>

#include "holders.h"

// Base name of a source path, evaluated at compile time from __FILE__.
constexpr const char *qv_base_name(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/')
            base = p + 1;
    return base;
}

// The name a source file's lines carry: its base name, or QV_LOG_SOURCE where
// the build defines it (the service's spine prints as main.cpp, whichever of
// its files a line comes from).
#ifdef QV_LOG_SOURCE
#define QV_LOG_NAME QV_LOG_SOURCE
#else
#define QV_LOG_NAME qv_base_name(__FILE__)
#endif

// One diagnostic line: "<file>(<line>)-> " followed by the message.
#define QV_LOG(stream, fmt, ...) std::fprintf((stream), "%s(%d)-> " fmt, QV_LOG_NAME, __LINE__, ##__VA_ARGS__)

// A string the caller controls (a path, an application name), made fit for one
// log field: control characters, and the backslash that starts an escape, are
// written as C escapes, so a crafted name cannot begin a forged log line.
inline std::string qv_escape(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}
inline std::string qv_escape(const char *text)
{
    return qv_escape(std::string(text ? text : ""));
}
