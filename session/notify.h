// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_notify: the kernel's block records turned into rate-limited
// desktop notifications. Everything but main() is reachable from tests and
// fuzzers through this header (the library build with QUORVANE_NO_MAIN).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "enforce.h"

// One event record: two fixed text fields, nothing else.
constexpr size_t RECORD_SIZE = QV_RECORD_SIZE;
constexpr size_t FIELD_SIZE = QV_RECORD_FIELD;

// Repeats of one event within this many seconds are not shown again.
extern const int gap_seconds;
// Message key -> wall-clock second of the last notification attempted for it.
extern std::map<std::string, int64_t> message_time_map;
// The only characters the trimming helpers treat as white space.
extern const std::string WHITESPACE;

std::string ltrim(const std::string &s);
std::string rtrim(const std::string &s);
std::string trim(const std::string &s);

// Drops the entries of message_time_map that lie gap_seconds or more away
// from cur_seconds, in the past or (after the clock was set back) the future.
void update_message_time_map(int64_t cur_seconds);

// Copies of fields that carry no NUL in their 512 bytes, cut there.
struct FieldSpill {
    char filepath[FIELD_SIZE + 1];
    char exe[FIELD_SIZE + 1];
};

// The two NUL-terminated texts of one record.
struct RecordFields {
    const char *filepath;
    const char *exe;
};

// Splits one record. A field with its NUL inside is pointed at in place; one
// without is copied into spill and cut at FIELD_SIZE bytes, so nothing past
// the field is ever read.
RecordFields split_record(const char *record, FieldSpill *spill);

// The camera node that stands for /dev/video<text>: nodes 2k and 2k+1 share
// one, and only the low eight bits of the number count.
std::string camera_node_path(const char *number_text);

// text with every byte that is not part of a valid UTF-8 sequence replaced by
// U+FFFD, one replacement per bad byte: what the bus can carry of it.
std::string utf8_or_replacement(const std::string &text);

// Everything the notification call carries that depends on the event.
struct Notification {
    bool file_type = true;      // true: files and folders; false: the camera
    std::string key;            // object path ":" executable
    std::string app_name;       // translated
    std::string summary;        // executable + translated suffix, made UTF-8
    std::string body;           // translated
    std::string action_label;   // translated
    std::string show_page_cmd;  // comma-separated qdbus command line
    std::string allow_label;    // translated; empty: no Allow button
    std::string allow_cmd;      // the settings app's Allow for this program and object
};

// The bus-free half of one event at wall-clock second now: prunes the map,
// drops empty and recently seen events (false), otherwise stores now under
// the event's key and fills *out (true).
bool build_notification(const char *filepath, const char *exe, int64_t now, Notification *out);

// Sends n on a fresh session-bus connection. Returns the call's result, or
// the negative error of the connection.
int send_notification(const Notification &n);

// One block event: 0 when nothing was sent, otherwise send_notification's
// result.
int notify_message(const char *filepath, const char *exe);
