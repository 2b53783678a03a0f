// SPDX-License-Identifier: GPL-2.0-or-later
// The on-disk side of a profile, kept pure (no I/O) so it can be tested and
// fuzzed alone: the path-to-file-name mapping, the file format, path checks.
#pragma once

#include "quorvane.h"

#include <cstddef>
#include <string>

// Longest protected path accepted, in bytes (PATH_MAX less the NUL).
constexpr size_t QV_PATH_MAX = 4095;
// Profile files larger than this are refused without being read.
constexpr size_t QV_PROFILE_SIZE_MAX = 64u << 20;
// At most this many bytes of the readable prefix of a file name.
constexpr size_t QV_NAME_PREFIX_MAX = 100;

// 0 when path can be protected; -EINVAL (empty, holds a NUL byte) or
// -ENAMETOOLONG (longer than QV_PATH_MAX).
int qv_check_path(const std::string &path);

// The file name (no directory) of path's profile: a sanitised prefix of path,
// "@", the SHA-256 of the whole path in hex, ".json". Defined for any string;
// never "", ".", "..", never begins with ".", holds only [A-Za-z0-9._@-] and
// is at most QV_NAME_PREFIX_MAX + 70 bytes.
std::string qv_profile_file_name(const std::string &path);

// True when name has the shape of a profile file name (cheap, no hashing).
bool qv_looks_like_profile_name(const std::string &name);

// The text of a profile file: pretty-printed, versioned JSON. Strings that are
// not valid UTF-8 are kept byte for byte as {"hex": "..."}.
std::string qv_format_profile(const QvProfile &profile);

// Reads a profile file's text into *out. 0, or -EBADMSG with the reason in
// *why (why may be null; *out is unspecified on failure).
int qv_parse_profile(const std::string &text, QvProfile *out, std::string *why);
