// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_notify: reads the block records of its user (the kernel module's
// event file, or else the enforcement loader's record stream) and shows each
// new one as a desktop notification with a button to the privacy settings.
#include "holders.h"
#include "notify.h"

#include <libintl.h>
#include <sys/socket.h>

#include <systemd/sd-bus.h>

#include <charconv>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "diag.h"
#include "enforce.h"

namespace {


constexpr char text_domain[] = "quorvane";
// Only main() reads these; the tests build the file without it.
[[maybe_unused]] constexpr char locale_dir[] = "/usr/share/locale/";
[[maybe_unused]] constexpr char event_file[] = "/sys/kernel/security/quorvane/.notify";

constexpr char camera_prefix[] = "/dev/video";
constexpr size_t camera_prefix_len = sizeof camera_prefix - 1;

constexpr char notification_service[] = "com.zentavo.nimbra.Notification";
constexpr char notification_path[] = "/org/freedesktop/Notifications";
constexpr char notification_interface[] = "com.zentavo.nimbra.Notification";
constexpr char action_key[] = "_open1";
constexpr char action_hint_key[] = "x-zentavo-action-_open1";

constexpr char show_page_prefix[] =
    "qdbus,com.zentavo.nimbra.ControlCenter,/com/zentavo/nimbra/ControlCenter,"
    "com.zentavo.nimbra.ControlCenter.ShowPage,";
constexpr char show_page_camera[] = "privacy,camera";
constexpr char show_page_folders[] = "privacy,folders";
// The second button: the settings app's confirmation of allowing this
// program where it was blocked, followed by the program and the object.
constexpr char allow_key[] = "_allow1";
constexpr char allow_hint_key[] = "x-zentavo-action-_allow1";
constexpr char allow_prefix[] =
    "qdbus,com.zentavo.quorvane.settings,/com/zentavo/quorvane/settings,com.zentavo.quorvane.settings.Allow,";

const char *field_text(const char *field, char *spill)
{
    if (std::memchr(field, '\0', FIELD_SIZE))
        return field;
    std::memcpy(spill, field, FIELD_SIZE);
    spill[FIELD_SIZE] = '\0';
    return spill;
}

// The decimal number at the start of text as atoi reads it, saturated at the
// int range where atoi's result would be undefined.
int node_number(const char *text)
{
    long n = std::strtol(text, nullptr, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return static_cast<int>(n);
}

}  // namespace

std::string utf8_or_replacement(const std::string &text)
{
    static const char replacement[] = "\xef\xbf\xbd";  // U+FFFD
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
        if (c < 0x80)
            len = 1;
        else if (c >= 0xc2 && c <= 0xdf)
            len = 2;
        else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            lo = c == 0xe0 ? 0xa0 : 0x80;
            hi = c == 0xed ? 0x9f : 0xbf;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            lo = c == 0xf0 ? 0x90 : 0x80;
            hi = c == 0xf4 ? 0x8f : 0xbf;
        }
        bool valid = len > 0 && n - i >= len && (len == 1 || (p[i + 1] >= lo && p[i + 1] <= hi));
        for (size_t k = 2; valid && k < len; ++k)
            valid = p[i + k] >= 0x80 && p[i + k] <= 0xbf;
        if (valid) {
            out.append(text, i, len);
            i += len;
        } else {
            out += replacement;  // this one byte; the next starts afresh
            ++i;
        }
    }
    return out;
}

const int gap_seconds = 5;
std::map<std::string, int64_t> message_time_map;
const std::string WHITESPACE = " \n\r\t\f\v";

std::string ltrim(const std::string &s)
{
    size_t start = s.find_first_not_of(WHITESPACE);
    return start == std::string::npos ? std::string() : s.substr(start);
}

std::string rtrim(const std::string &s)
{
    size_t end = s.find_last_not_of(WHITESPACE);
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::string trim(const std::string &s)
{
    return rtrim(ltrim(s));
}

void update_message_time_map(int64_t cur_seconds)
{
    for (auto it = message_time_map.begin(); it != message_time_map.end();) {
        int64_t age = 0;
        // An age beyond int64 is as far out of the window as any.
        bool overflow = __builtin_sub_overflow(cur_seconds, it->second, &age);
        if (overflow || age >= gap_seconds || age <= -gap_seconds)
            it = message_time_map.erase(it);
        else
            ++it;
    }
}

RecordFields split_record(const char *record, FieldSpill *spill)
{
    return {field_text(record, spill->filepath), field_text(record + FIELD_SIZE, spill->exe)};
}

std::string camera_node_path(const char *number_text)
{
    char path[sizeof camera_prefix + 16];
    std::memcpy(path, camera_prefix, camera_prefix_len);
    auto [end, ec] = std::to_chars(path + camera_prefix_len, path + sizeof path, node_number(number_text) & 0xFE);
    (void)ec;  // at most three digits: always room
    return std::string(path, end);
}

bool build_notification(const char *filepath, const char *exe, int64_t now, Notification *out)
{
    update_message_time_map(now);

    // Classified as received: a camera node with white space before it is a file.
    const bool camera = std::strncmp(filepath, camera_prefix, camera_prefix_len) == 0;
    const std::string path = trim(camera ? camera_node_path(filepath + camera_prefix_len) : filepath);
    if (path.empty())
        return false;
    // Only the emptiness test sees the trimmed executable (trim(exe) is empty
    // exactly when exe is all white space); the key and the summary keep it
    // as the kernel wrote it.
    if (exe[std::strspn(exe, WHITESPACE.c_str())] == '\0')
        return false;

    // Built in one buffer kept across records, so a repeat costs a lookup
    // and no allocation. A repeat leaves the stored time alone: a steady
    // stream of one event is shown once per gap.
    static std::string key;
    key.assign(path).append(1, ':').append(exe);
    if (message_time_map.find(key) != message_time_map.end())
        return false;
    message_time_map.emplace(key, now);

    out->file_type = !camera;
    out->key = key;
    // TRANSLATORS: the application name the notification is shown under.
    out->app_name = utf8_or_replacement(dgettext(text_domain, "preferences-system"));
    std::string summary = exe;
    if (camera)
        // TRANSLATORS: follows the blocked program's path, hence the leading space.
        summary += dgettext(text_domain, " has been blocked from using the camera");
    else
        // TRANSLATORS: follows the blocked program's path, hence the leading space.
        summary += dgettext(text_domain, " has been blocked from accessing the files and folders");
    // TRANSLATORS: the notification's body, below the summary.
    const char *body = dgettext(text_domain, "Go to Control Center > Privacy and Security, and allow its access.");
    out->body = utf8_or_replacement(body);
    // TRANSLATORS: the notification's button; it opens the privacy page.
    out->action_label = utf8_or_replacement(dgettext(text_domain, "Go to Settings"));
    // The bus carries only UTF-8 strings: a path the kernel saw as bytes is
    // shown with each bad byte replaced; the key keeps the bytes.
    out->summary = utf8_or_replacement(summary);
    out->show_page_cmd = std::string(show_page_prefix) + (camera ? show_page_camera : show_page_folders);
    // A command's words are split at commas, and the bus carries only UTF-8:
    // a program or object that cannot pass whole gets no Allow button.
    const std::string program = exe;
    if (program.find(',') == std::string::npos && path.find(',') == std::string::npos &&
        utf8_or_replacement(program) == program && utf8_or_replacement(path) == path) {
        // TRANSLATORS: the notification's second button; it allows the
        // blocked program, after a confirmation.
        out->allow_label = utf8_or_replacement(dgettext(text_domain, "Allow"));
        out->allow_cmd = std::string(allow_prefix) + program + "," + path;
    }
    return true;
}

int send_notification(const Notification &n)
{
    sd_bus *raw_bus = nullptr;
    int r = sd_bus_open_user(&raw_bus);
    if (r < 0) {
        QV_LOG(stderr, "Failed to connect to user bus: %s\n\n", std::strerror(-r));
        return r;
    }
    BusRef bus(raw_bus);

    sd_bus_message *raw_call = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &raw_call, notification_service, notification_path,
                                       notification_interface, "Notify");
    MessageRef call(raw_call);
    const bool allow = !n.allow_cmd.empty();
    if (r >= 0)
        r = sd_bus_message_append(call.get(), "susss",
                                  n.app_name.c_str(),  // application name
                                  uint32_t{0},         // replaces no notification
                                  "",                  // icon
                                  n.summary.c_str(), n.body.c_str());
    if (r >= 0)  // the actions: key, label pairs
        r = allow ? sd_bus_message_append(call.get(), "as", 4, action_key, n.action_label.c_str(), allow_key,
                                          n.allow_label.c_str())
                  : sd_bus_message_append(call.get(), "as", 2, action_key, n.action_label.c_str());
    if (r >= 0)  // each action's command
        r = allow ? sd_bus_message_append(call.get(), "a{sv}", 2, action_hint_key, "s", n.show_page_cmd.c_str(),
                                          allow_hint_key, "s", n.allow_cmd.c_str())
                  : sd_bus_message_append(call.get(), "a{sv}", 1, action_hint_key, "s", n.show_page_cmd.c_str());
    if (r >= 0)
        r = sd_bus_message_append(call.get(), "i", int32_t{-1});  // the service's default expiry
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ErrorRef error_ref(&error);
    sd_bus_message *raw_reply = nullptr;
    if (r >= 0)
        r = sd_bus_call(bus.get(), call.get(), 0, &error, &raw_reply);
    MessageRef reply(raw_reply);  // carries the notification id, which nothing needs
    if (r < 0)
        QV_LOG(stderr, "Failed to Notify: %s\n\n", error.message ? error.message : std::strerror(-r));
    return r;
}

int notify_message(const char *filepath, const char *exe)
{
    Notification n;
    if (!build_notification(filepath, exe, static_cast<int64_t>(std::time(nullptr)), &n))
        return 0;
    return send_notification(n);
}

#ifndef QUORVANE_NO_MAIN
namespace {

// True when standard input is a connected packet socket: the record stream
// as the session's launcher hands it over.
bool record_stream_on_stdin()
{
    int type = 0;
    socklen_t len = sizeof type;
    return getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_SEQPACKET;
}

}  // namespace

int main(int, char **)
{
    // Diagnostics reach a log line by line, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);

    std::setlocale(LC_ALL, "");
    bindtextdomain(text_domain, locale_dir);
    textdomain(text_domain);

    // Reused for every record: each whole read overwrites all of it.
    char record[RECORD_SIZE];
    FieldSpill spill;
    FileRef events(std::fopen(event_file, "r"));
    if (events) {
        while (std::fread(record, RECORD_SIZE, 1, events.get()) == 1) {
            RecordFields fields = split_record(record, &spill);
            notify_message(fields.filepath, fields.exe);
        }
        return 0;
    }
    // No kernel module: the enforcement loader's record stream of this
    // user, handed over on standard input by the session's launcher, or
    // connected here. The stream ends when the loader stops or restarts.
    const int open_errno = errno;
    int stream = record_stream_on_stdin() ? 0 : -ENOENT;
    if (stream < 0 && open_errno == ENOENT)
        stream = qv_connect_record_stream();
    if (stream < 0) {
        QV_LOG(stderr, "open %s failed!\n", event_file);
        return -1;
    }
    for (;;) {
        ssize_t n = recv(stream, record, sizeof record, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        if (n == static_cast<ssize_t>(RECORD_SIZE)) {
            RecordFields fields = split_record(record, &spill);
            notify_message(fields.filepath, fields.exe);
        }
    }
}
#endif
