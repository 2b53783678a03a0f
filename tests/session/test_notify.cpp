// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_notify as a real process: its event file on a tmpfs in a private
// mount namespace, a private session bus and a stand-in notification service
// that records every call. The assertions are on what the service received.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char security_fs[] = "/sys/kernel/security";
constexpr char module_dir[] = "/sys/kernel/security/quorvane";
constexpr char event_file[] = "/sys/kernel/security/quorvane/.notify";
constexpr char faketime_lib[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

const std::string show_page = "qdbus,com.zentavo.nimbra.ControlCenter,/com/zentavo/nimbra/ControlCenter,"
                              "com.zentavo.nimbra.ControlCenter.ShowPage,";
const std::string allow_command = "qdbus,com.zentavo.quorvane.settings,/com/zentavo/quorvane/settings,"
                                  "com.zentavo.quorvane.settings.Allow,";
const std::string camera_suffix = " has been blocked from using the camera";
const std::string files_suffix = " has been blocked from accessing the files and folders";

// A 512-byte field: text, then NULs. Text of 512 bytes has no NUL at all.
std::string field(const std::string &text)
{
    std::string f = text.substr(0, 512);
    f.resize(512, '\0');
    return f;
}

std::string record(const std::string &path, const std::string &exe)
{
    return field(path) + field(exe);
}

std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string escape_regex(const std::string &s)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}

// The whole of a diagnostic stream that holds exactly these messages.
std::string diagnostics_regex(const std::vector<std::string> &messages)
{
    std::string re;
    for (const auto &m : messages)
        re += R"(notify\.cpp\(\d+\)-> )" + escape_regex(m);
    return re;
}

class NotifierProcess : public testing::Test {
protected:
    qvt::Sandbox sb;
    qvt::Bus bus;
    std::string calls_path;

    void SetUp() override
    {
        std::string why = qvt::enter_sandbox(&sb);
        if (!why.empty())
            GTEST_SKIP() << "no sandbox: " << why;
        ASSERT_EQ(qvt::mount_tmpfs(security_fs), 0);
        calls_path = sb.scratch + "/notify-calls.jsonl";
    }
    void TearDown() override { qvt::leave_sandbox(&sb); }

    void start_bus()
    {
        std::string why = qvt::start_bus(&sb, "session", &bus);
        ASSERT_EQ(why, "");
    }

    // The session bus with the stand-in answering in mode "ok" or "error".
    void start_service(const std::string &mode)
    {
        ASSERT_NO_FATAL_FAILURE(start_bus());
        qvt::spawn(&sb, {qvt::binary_path("tests/session/fake_notification"), calls_path, mode},
                   {"DBUS_SESSION_BUS_ADDRESS=" + bus.address});
        ASSERT_TRUE(qvt::wait_for_name(bus.address, "com.zentavo.nimbra.Notification"))
            << "the stand-in did not take its name";
    }

    void write_events(const std::string &content)
    {
        ASSERT_EQ(mkdir(module_dir, 0755), 0);
        qvt::write_file(event_file, content);
    }

    qvt::RunResult run_notifier(const std::vector<std::string> &env = {})
    {
        std::vector<std::string> e = env;
        if (!bus.address.empty())
            e.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address);
        return qvt::run({qvt::binary_path("session/quorvane_notify")}, e, "", 20000);
    }

    std::vector<nlohmann::json> calls() const
    {
        std::vector<nlohmann::json> out;
        std::stringstream ss(qvt::read_file(calls_path));
        std::string line;
        while (std::getline(ss, line))
            out.push_back(nlohmann::json::parse(line));
        return out;
    }

    // Waits until the stand-in has recorded at least n calls.
    bool wait_for_calls(size_t n, int timeout_ms = 10000) const
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (calls().size() < n) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
};

// Everything of a call that no event changes.
void expect_fixed_fields(const nlohmann::json &c)
{
    EXPECT_EQ(c["destination"], "com.zentavo.nimbra.Notification");
    EXPECT_EQ(c["path"], "/org/freedesktop/Notifications");
    EXPECT_EQ(c["interface"], "com.zentavo.nimbra.Notification");
    EXPECT_EQ(c["member"], "Notify");
    EXPECT_EQ(c["signature"], "susssasa{sv}i");
    EXPECT_EQ(c["app_name"], "preferences-system");
    EXPECT_EQ(c["replaces_id"], 0);
    EXPECT_EQ(c["icon"], "");
    EXPECT_EQ(c["body"], "Go to Control Center > Privacy and Security, and allow its access.");
    EXPECT_EQ(c["actions"][0], "_open1");
    EXPECT_EQ(c["actions"][1], "Go to Settings");
    ASSERT_TRUE(c["hints"].contains("x-zentavo-action-_open1"));
    EXPECT_EQ(c["hints"]["x-zentavo-action-_open1"]["type"], "s");
    EXPECT_EQ(c["timeout"], -1);
}

TEST_F(NotifierProcess, MissingEventFileEndsWithStatus255)
{
    struct Row {
        const char *what;
        bool module_dir;
    } rows[] = {{"module not loaded", false}, {"no event file", true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        if (r.module_dir) {
            ASSERT_EQ(mkdir(module_dir, 0755), 0);
        }
        qvt::RunResult res = run_notifier();
        EXPECT_EQ(res.status, 255);
        EXPECT_TRUE(std::regex_match(res.err, std::regex(diagnostics_regex(
                        {"open /sys/kernel/security/quorvane/.notify failed!\n"}))))
            << res.err;
        EXPECT_EQ(res.out, "");
    }
}

TEST_F(NotifierProcess, RecordsOfAWholeFileBecomeNotifications)
{
    const std::string doc = "/home/u/doc", cat = "/usr/bin/cat", cheese = "/usr/bin/cheese";
    const std::string long_path = "/" + std::string(510, 'p');
    const std::string long_exe = "/" + std::string(511, 'e');  // 512 bytes, no NUL
    struct Expected {
        std::string summary, page;
        bool allow = true;  // an Allow button: program and object pass the bus whole
    };
    struct Row {
        const char *what;
        std::string content;
        std::vector<Expected> shown;
    } rows[] = {
        {"empty file", "", {}},
        {"1500 bytes: one record, the rest dropped", record(doc, cat) + record(doc, cheese).substr(0, 476),
         {{cat + files_suffix, "privacy,folders"}}},
        {"511-byte path with its NUL last", record(long_path, cat), {{cat + files_suffix, "privacy,folders"}}},
        {"path without NUL", record(std::string(512, 'p'), cat), {{cat + files_suffix, "privacy,folders"}}},
        {"executable without NUL, cut at the field", record(doc, long_exe),
         {{long_exe + files_suffix, "privacy,folders"}}},
        {"camera nodes 0 and 1 are one event", record("/dev/video0", cheese) + record("/dev/video1", cheese),
         {{cheese + camera_suffix, "privacy,camera"}}},
        {"nodes 2 and 3 share a key apart from node 0",
         record("/dev/video2", cheese) + record("/dev/video3", cheese) + record("/dev/video0", cheese),
         {{cheese + camera_suffix, "privacy,camera"}, {cheese + camera_suffix, "privacy,camera"}}},
        {"node 256 and a bare /dev/video are node 0",
         record("/dev/video256", cheese) + record("/dev/video", cheese) + record("/dev/video0", cheese),
         {{cheese + camera_suffix, "privacy,camera"}}},
        {"two executables on one path", record(doc, cat) + record(doc, cheese),
         {{cat + files_suffix, "privacy,folders"}, {cheese + files_suffix, "privacy,folders"}}},
        {"a repeat in the same second", repeat(record(doc, cat), 3), {{cat + files_suffix, "privacy,folders"}}},
        {"path of white space only", record(" \t\n", cat), {}},
        {"white space around the path is dropped from the key", record(doc, cat) + record(" \t" + doc + "\r\n", cat),
         {{cat + files_suffix, "privacy,folders"}}},
        {"a camera node behind white space is a file", record(" /dev/video0", cheese),
         {{cheese + files_suffix, "privacy,folders"}}},
        {"bytes that are not UTF-8: replaced in the text, kept apart in the key",
         record(doc, "/usr/bin/\xff" "cat") + record(doc, "/usr/bin/\xfe" "cat") + record("/home/\xff", cat),
         {{"/usr/bin/\xef\xbf\xbd" "cat" + files_suffix, "privacy,folders", false},
          {"/usr/bin/\xef\xbf\xbd" "cat" + files_suffix, "privacy,folders", false},
          {cat + files_suffix, "privacy,folders", false}}},
        {"executable of white space only", record(doc, " \t\v"), {}},
        {"white space around the executable is kept", record(doc, cat) + record(doc, " " + cat + " "),
         {{cat + files_suffix, "privacy,folders"}, {" " + cat + " " + files_suffix, "privacy,folders"}}},
    };
    ASSERT_NO_FATAL_FAILURE(start_service("ok"));
    ASSERT_EQ(mkdir(module_dir, 0755), 0);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        unlink(calls_path.c_str());
        qvt::write_file(event_file, r.content);
        qvt::RunResult res = run_notifier();
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.err, "");

        std::vector<nlohmann::json> got = calls();
        ASSERT_EQ(got.size(), r.shown.size());
        std::vector<std::string> senders;
        for (size_t i = 0; i < got.size(); ++i) {
            expect_fixed_fields(got[i]);
            EXPECT_EQ(got[i]["summary"], r.shown[i].summary);
            EXPECT_EQ(got[i]["hints"]["x-zentavo-action-_open1"]["value"], show_page + r.shown[i].page);
            const auto allow = nlohmann::json::array({"_open1", "Go to Settings", "_allow1", "Allow"});
            EXPECT_EQ(got[i]["actions"], r.shown[i].allow ? allow : nlohmann::json::array({"_open1", "Go to Settings"}));
            EXPECT_EQ(got[i]["hints"].size(), r.shown[i].allow ? 2u : 1u);
            if (r.shown[i].allow) {
                EXPECT_EQ(got[i]["hints"]["x-zentavo-action-_allow1"]["value"].get<std::string>().rfind(allow_command, 0), 0u);
            }
            senders.push_back(got[i]["sender"]);
        }
        // Each notification comes on a connection of its own.
        std::sort(senders.begin(), senders.end());
        EXPECT_EQ(std::unique(senders.begin(), senders.end()), senders.end());
    }
}

TEST_F(NotifierProcess, BusFailuresArePrintedAndTheReaderGoesOn)
{
    const std::string a = record("/home/u/a", "/usr/bin/cat"), b = record("/home/u/b", "/usr/bin/cat");
    enum Setup { no_bus, service_errors, service_absent, service_ok };
    struct Row {
        const char *what;
        Setup setup;
        std::string content;
        std::vector<std::string> messages;
        size_t calls_recorded;
    } rows[] = {
        {"no session bus", no_bus, a + a + b,
         {"Failed to connect to user bus: No such file or directory\n\n",
          "Failed to connect to user bus: No such file or directory\n\n"},
         0},
        {"the service answers with an error", service_errors, a + a + b,
         {"Failed to Notify: the stand-in refuses this notification\n\n",
          "Failed to Notify: the stand-in refuses this notification\n\n"},
         2},
        {"no notification service", service_absent, a + a + b,
         {"Failed to Notify: The name com.zentavo.nimbra.Notification was not provided by any .service files\n\n",
          "Failed to Notify: The name com.zentavo.nimbra.Notification was not provided by any .service files\n\n"},
         0},
        // The bus takes UTF-8 only: the kernel's bytes are shown with the bad
        // one replaced, and nothing fails.
        {"an executable path that is not UTF-8", service_ok, record("/home/u/a", "/usr/bin/caf\xe9") + b, {}, 2},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        // A fresh bus per row, so no stand-in of an earlier row answers.
        qvt::leave_sandbox(&sb);
        sb = qvt::Sandbox();
        bus = qvt::Bus();
        ASSERT_EQ(qvt::enter_sandbox(&sb), "");
        ASSERT_EQ(qvt::mount_tmpfs(security_fs), 0);
        calls_path = sb.scratch + "/notify-calls.jsonl";
        std::vector<std::string> env;
        switch (r.setup) {
        case no_bus:
            env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + sb.scratch + "/no-bus-here");
            break;
        case service_errors:
            ASSERT_NO_FATAL_FAILURE(start_service("error"));
            break;
        case service_absent:
            ASSERT_NO_FATAL_FAILURE(start_bus());
            break;
        case service_ok:
            ASSERT_NO_FATAL_FAILURE(start_service("ok"));
            break;
        }
        ASSERT_NO_FATAL_FAILURE(write_events(r.content));
        qvt::RunResult res = run_notifier(env);
        EXPECT_EQ(res.status, 0);
        EXPECT_TRUE(std::regex_match(res.err, std::regex(diagnostics_regex(r.messages)))) << res.err;
        EXPECT_EQ(calls().size(), r.calls_recorded);
    }
}

TEST_F(NotifierProcess, FiveSecondWindowFollowsTheWallClock)
{
    if (access(faketime_lib, R_OK) != 0)
        GTEST_SKIP() << "no " << faketime_lib << " (Debian package libfaketime) to set the clock";
    ASSERT_NO_FATAL_FAILURE(start_service("ok"));
    ASSERT_EQ(mkdir(module_dir, 0755), 0);
    ASSERT_EQ(mkfifo(event_file, 0644), 0);

    // Frozen at the second the file names, re-read at every clock reading.
    const std::string clock_file = sb.scratch + "/clock";
    auto set_clock = [&](int offset) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "2030-01-01 00:%02d:%02d", (30 + offset) / 60, (30 + offset) % 60);
        qvt::write_file(clock_file, std::string(stamp) + "\n");
    };
    set_clock(0);
    const char *asan = std::getenv("ASAN_OPTIONS");
    qvt::Proc p = qvt::spawn(&sb, {qvt::binary_path("session/quorvane_notify")},
                             {"DBUS_SESSION_BUS_ADDRESS=" + bus.address, std::string("LD_PRELOAD=") + faketime_lib,
                              "FAKETIME_TIMESTAMP_FILE=" + clock_file, "FAKETIME_NO_CACHE=1",
                              "FAKETIME_DONT_FAKE_MONOTONIC=1",
                              // The preloaded clock comes before the sanitizer's runtime.
                              std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    ASSERT_GT(p.pid, 0);

    // The reader opens the FIFO once it runs; until then a writer gets ENXIO.
    int fd = -1;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((fd = open(event_file, O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_GE(fd, 0) << "the notifier never opened its event file";
    ASSERT_EQ(fcntl(fd, F_SETFL, 0), 0);
    auto send = [&](const std::string &bytes) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    };

    const std::string event = record("/home/u/doc", "/usr/bin/cat");
    struct Step {
        int offset;
        bool shown;
    } steps[] = {
        {0, true}, {1, false}, {4, false}, {5, true}, {9, false}, {10, true},
        {6, false},  // clock set back by 4: still inside the window
        {5, true},   // set back by 5: the stamp in the future is dropped
    };
    std::vector<std::string> expected;
    int probe = 0;
    for (const auto &s : steps) {
        set_clock(s.offset);
        // The first record comes in two writes; the reader waits for the rest.
        if (probe == 0) {
            send(event.substr(0, 600));
            send(event.substr(600));
        } else {
            send(event);
        }
        if (s.shown)
            expected.push_back("/usr/bin/cat" + files_suffix);
        // A record of another event after each step: once it is seen, the
        // step's own record has been handled at the step's time.
        std::string probe_exe = "/usr/bin/probe" + std::to_string(++probe);
        send(record("/home/u/doc", probe_exe));
        expected.push_back(probe_exe + files_suffix);
        ASSERT_TRUE(wait_for_calls(expected.size())) << "at offset " << s.offset;
    }
    close(fd);
    EXPECT_EQ(qvt::wait_exit(p.pid, 10000), 0);

    std::vector<std::string> summaries;
    for (const auto &c : calls())
        summaries.push_back(c["summary"]);
    EXPECT_EQ(summaries, expected);
    EXPECT_EQ(qvt::read_file(p.err_path), "");
}

}  // namespace
