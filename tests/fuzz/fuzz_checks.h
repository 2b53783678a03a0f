// SPDX-License-Identifier: GPL-2.0-or-later
// What each fuzz target holds its input to. The fuzzers and the replay of
// their corpora call the same functions, so a kept input is judged by the
// very invariants that found it. Each returns "" when the input passes, else
// a line saying what broke.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One notifier block record (padded or cut to 1024 bytes) through splitting,
// the camera node mapping and the bus-free half of a notification, at a clock
// derived from the input; then the same event again inside and at the edge
// of the five-second window.
std::string fuzz_check_record(const uint8_t *data, size_t size);

// A profile file's text: parsing never throws, and whatever parses is
// written back to a text that parses to the same profile.
std::string fuzz_check_profile(const uint8_t *data, size_t size);

// The input bytes as a protected path: its check result and its profile
// file name, which must stay a plain, distinct entry of the profile folder.
std::string fuzz_check_name(const uint8_t *data, size_t size);

// The fuzzers' verdict: a broken invariant is printed and aborts, which
// libFuzzer reports as a crash and keeps the input.
void fuzz_abort_on(const std::string &failure);
