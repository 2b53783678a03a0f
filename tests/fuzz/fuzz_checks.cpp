// SPDX-License-Identifier: GPL-2.0-or-later
// The invariants of the three fuzz targets.
#include "fuzz_checks.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

#include "diag.h"
#include "notify.h"
#include "profile_file.h"
#include "quorvane.h"

namespace {

// The executable a record gets when the input ends before its exe field: a
// path-only input still makes a whole event instead of being skipped.
constexpr char DEFAULT_EXE[] = "/usr/bin/cheese";
constexpr char CAMERA_PREFIX[] = "/dev/video";
constexpr size_t CAMERA_PREFIX_LEN = sizeof CAMERA_PREFIX - 1;
const std::string SHOW_PAGE_PREFIX = "qdbus,com.zentavo.nimbra.ControlCenter,/com/zentavo/nimbra/ControlCenter,"
                                     "com.zentavo.nimbra.ControlCenter.ShowPage,";
// Untranslated: the fuzzers never set a locale.
const std::string CAMERA_SUFFIX = " has been blocked from using the camera";
const std::string FILES_SUFFIX = " has been blocked from accessing the files and folders";
// A clock near a real one, so successive inputs meet inside the window.
constexpr int64_t CLOCK_BASE = 1700000000;
// Entries past this many are dropped between inputs, so one slow input does
// not scan a huge map; the window logic needs only a few.
constexpr size_t MAP_LIMIT = 256;
constexpr size_t RECENT_NAMES = 16;
const char NAME_BYTES[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._@-";
const std::string PROFILE_DIR = QV_STORE_DIR;

uint64_t fnv1a(const uint8_t *data, size_t size)
{
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

bool is_space(char c)
{
    return WHITESPACE.find(c) != std::string::npos;
}

// "" when path is "/dev/video" and the decimal text of an even 0..254.
std::string camera_path_fault(const std::string &path)
{
    if (path.compare(0, CAMERA_PREFIX_LEN, CAMERA_PREFIX) != 0)
        return "camera path without /dev/video: " + path;
    std::string digits = path.substr(CAMERA_PREFIX_LEN);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0'))
        return "camera node number is not plain decimal: " + path;
    int n = std::atoi(digits.c_str());
    if (n % 2 != 0 || n > 254)
        return "camera node number is odd or past 254: " + path;
    return "";
}

// camera_node_path of text, held in a buffer of exactly its size so any read
// past its NUL is caught.
std::string camera_fault(const char *text)
{
    size_t len = std::strlen(text);
    std::unique_ptr<char[]> copy(new char[len + 1]);
    std::memcpy(copy.get(), text, len + 1);
    std::string path = camera_node_path(copy.get());
    std::string fault = camera_path_fault(path);
    if (!fault.empty())
        return fault;
    errno = 0;
    long n = std::strtol(text, nullptr, 10);
    if (errno != ERANGE && n >= INT_MIN && n <= INT_MAX) {
        std::string want = CAMERA_PREFIX + std::to_string(std::atoi(text) & 0xFE);
        if (path != want)
            return "camera node of '" + std::string(text) + "' is " + path + ", atoi says " + want;
    }
    return "";
}

// trim's result must be s with white space, and only that, cut from both ends.
std::string trim_fault(const std::string &s, const std::string &t)
{
    size_t at = s.find(t);
    if (t.empty()) {
        for (char c : s)
            if (!is_space(c))
                return "trim emptied a string with text in it";
        return "";
    }
    if (at == std::string::npos || is_space(t.front()) || is_space(t.back()))
        return "trim left white space or changed the text";
    for (size_t i = 0; i < s.size(); ++i)
        if ((i < at || i >= at + t.size()) && !is_space(s[i]))
            return "trim cut text that is not white space";
    return "";
}

std::string field_fault(const char *field, const char *raw, const char *what)
{
    size_t len = std::strlen(field);
    if (len > FIELD_SIZE)
        return std::string(what) + " longer than its field: " + std::to_string(len);
    if (len != strnlen(raw, FIELD_SIZE) || std::memcmp(field, raw, len) != 0)
        return std::string(what) + " is not the field's text up to its NUL";
    return "";
}

// A shifted clock, or false when it would leave int64.
bool shifted(int64_t t, int64_t by, int64_t *out)
{
    return !__builtin_add_overflow(t, by, out);
}

std::string window_fault(const char *filepath, const char *exe, const std::string &key, int64_t stamp,
                         uint64_t h)
{
    Notification n;
    int64_t later = 0;
    // A repeat inside the window, either side: the clock may step back a little.
    if (shifted(stamp, static_cast<int64_t>(h % (2 * gap_seconds - 1)) - (gap_seconds - 1), &later)) {
        if (build_notification(filepath, exe, later, &n))
            return "a repeat " + std::to_string(later - stamp) + " s away was built again";
        auto it = message_time_map.find(key);
        if (it == message_time_map.end() || it->second != stamp)
            return "a repeat moved or dropped the stored time";
    }
    // At the window's edge, ahead or (a clock set back) behind, it is new again.
    if (shifted(stamp, (h >> 8) & 1 ? gap_seconds : -gap_seconds, &later)) {
        if (!build_notification(filepath, exe, later, &n))
            return "the event was held back " + std::to_string(later - stamp) + " s away";
        auto it = message_time_map.find(key);
        if (it == message_time_map.end() || it->second != later)
            return "a new notification did not store its time";
    }
    return "";
}

bool same_rule(const QvRule &a, const QvRule &b)
{
    return a.deny == b.deny && a.uids == b.uids && a.app_paths == b.app_paths && a.permission == b.permission;
}

bool same_profile(const QvProfile &a, const QvProfile &b)
{
    if (a.file != b.file || a.own_app != b.own_app || a.version != b.version ||
        a.profile_mode != b.profile_mode || a.rules.size() != b.rules.size())
        return false;
    for (size_t i = 0; i < a.rules.size(); ++i)
        if (!same_rule(a.rules[i], b.rules[i]))
            return false;
    return true;
}

}  // namespace

std::string fuzz_check_record(const uint8_t *data, size_t size)
{
    // Exactly one record's size, so a read past either field is caught.
    std::unique_ptr<char[]> record(new char[RECORD_SIZE]());
    std::memcpy(record.get() + FIELD_SIZE, DEFAULT_EXE, sizeof DEFAULT_EXE);
    std::memcpy(record.get(), data, size < RECORD_SIZE ? size : RECORD_SIZE);
    const uint64_t h = fnv1a(data, size);

    FieldSpill spill;
    RecordFields fields = split_record(record.get(), &spill);
    std::string fault = field_fault(fields.filepath, record.get(), "filepath");
    if (fault.empty())
        fault = field_fault(fields.exe, record.get() + FIELD_SIZE, "exe");
    if (!fault.empty())
        return fault;

    const bool camera = std::strncmp(fields.filepath, CAMERA_PREFIX, CAMERA_PREFIX_LEN) == 0;
    fault = camera_fault(camera ? fields.filepath + CAMERA_PREFIX_LEN : fields.filepath);
    if (!fault.empty())
        return fault;

    // Mostly seconds around one clock, sometimes the ends of int64, where
    // the age of an entry no longer fits.
    int64_t now = CLOCK_BASE + static_cast<int64_t>(h % 24) - 12;
    if ((h >> 58) == 0)
        now = INT64_MIN + static_cast<int64_t>((h >> 16) & 7);
    else if ((h >> 58) == 1)
        now = INT64_MAX - static_cast<int64_t>((h >> 16) & 7);

    std::string path;
    if (camera) {
        path = camera_node_path(fields.filepath + CAMERA_PREFIX_LEN);
    } else {
        path = trim(fields.filepath);
        if (!(fault = trim_fault(fields.filepath, path)).empty())
            return fault;
    }
    const bool skipped = path.empty() || trim(fields.exe).empty();
    const std::string key = path + ":" + fields.exe;

    // Pruning with the same clock twice changes nothing, so the state the
    // event meets can be looked at first.
    update_message_time_map(now);
    for (const auto &[k, t] : message_time_map) {
        int64_t age = 0;
        if (__builtin_sub_overflow(now, t, &age) || age >= gap_seconds || age <= -gap_seconds)
            return "pruning kept an entry " + std::to_string(age) + " s old";
    }
    auto seen = message_time_map.find(key);
    const bool repeat = !skipped && seen != message_time_map.end();
    const int64_t seen_at = repeat ? seen->second : 0;
    const size_t entries = message_time_map.size();

    Notification n;
    bool built = build_notification(fields.filepath, fields.exe, now, &n);
    if (built != !(skipped || repeat))
        return std::string(built ? "built" : "dropped") + " an event that is " +
               (skipped ? "empty" : repeat ? "a repeat" : "new");
    if (skipped && message_time_map.size() != entries)
        return "an empty event was stored";
    if (repeat && message_time_map.at(key) != seen_at)
        return "a repeat changed the stored time";
    if (built) {
        if (n.key != key)
            return "key '" + n.key + "' is not '" + key + "'";
        auto it = message_time_map.find(key);
        if (it == message_time_map.end() || it->second != now)
            return "a notification did not store its time";
        if (n.file_type == camera)
            return "event kind does not follow the /dev/video prefix";
        if (camera && !(fault = camera_path_fault(path)).empty())
            return fault;
        // The bus carries UTF-8 only: bad bytes of the executable are replaced.
        if (utf8_or_replacement(n.summary) != n.summary)
            return "summary '" + n.summary + "' is not valid UTF-8";
        if (n.summary != utf8_or_replacement(fields.exe) + (camera ? CAMERA_SUFFIX : FILES_SUFFIX))
            return "summary '" + n.summary + "' does not name the executable and the event";
        if (n.show_page_cmd != SHOW_PAGE_PREFIX + (n.file_type ? "privacy,folders" : "privacy,camera"))
            return "show-page command '" + n.show_page_cmd + "' does not match the event kind";
        if (!(fault = window_fault(fields.filepath, fields.exe, key, now, h)).empty())
            return fault;
    }
    if (message_time_map.size() > MAP_LIMIT)
        message_time_map.clear();
    return "";
}

std::string fuzz_check_profile(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    QvProfile profile;
    std::string why;
    int r = qv_parse_profile(text, &profile, &why);
    if (r == -EBADMSG)
        return why.empty() ? "a refused profile gives no reason" : "";
    if (r != 0)
        return "parse result " + std::to_string(r) + " is neither 0 nor -EBADMSG";

    const std::string written = qv_format_profile(profile);
    QvProfile again;
    if (qv_parse_profile(written, &again, &why) != 0)
        return "a parsed profile, written back, does not parse: " + why;
    if (!same_profile(profile, again))
        return "a parsed profile, written back, reads as another profile";
    if (qv_format_profile(again) != written)
        return "writing the same profile twice gives two texts";
    return "";
}

std::string fuzz_check_name(const uint8_t *data, size_t size)
{
    const std::string path(reinterpret_cast<const char *>(data), size);
    int want = path.empty() || path.find('\0') != std::string::npos ? -EINVAL
               : path.size() > QV_PATH_MAX                          ? -ENAMETOOLONG
                                                                    : 0;
    int checked = qv_check_path(path);
    if (checked != want)
        return "qv_check_path gives " + std::to_string(checked) + ", not " + std::to_string(want);

    const std::string name = qv_profile_file_name(path);
    if (name.empty() || name == "." || name == ".." || name[0] == '.')
        return "profile name '" + name + "' is empty, a dot entry or hidden";
    if (name.find_first_not_of(NAME_BYTES) != std::string::npos)
        return "profile name '" + name + "' holds a byte outside [A-Za-z0-9._@-]";
    if (name.size() > NAME_MAX)
        return "profile name longer than NAME_MAX: " + std::to_string(name.size());
    if (!qv_looks_like_profile_name(name))
        return "qv_looks_like_profile_name refuses '" + name + "'";

    std::filesystem::path joined = std::filesystem::path(PROFILE_DIR + "/" + name).lexically_normal();
    if (joined.parent_path() != PROFILE_DIR || joined.filename() != name)
        return "profile name '" + name + "' leaves the profile folder as " + joined.string();

    // Recent inputs: a name belongs to one path, and always the same one.
    // A fixed ring whose strings are reused: growing a container each run
    // would make libFuzzer hunt for leaks on every input.
    static std::pair<std::string, std::string> recent[RECENT_NAMES];
    static size_t next = 0;
    for (const auto &[p, n] : recent)
        if (!n.empty() && (p == path) != (n == name))
            return "paths and profile names do not map one to one: '" + name + "'";
    recent[next].first.assign(path);
    recent[next].second.assign(name);
    next = (next + 1) % RECENT_NAMES;
    return "";
}

void fuzz_abort_on(const std::string &failure)
{
    if (failure.empty())
        return;
    QV_LOG(stderr, "invariant broken: %s\n", failure.c_str());
    std::abort();
}
