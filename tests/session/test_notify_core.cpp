// SPDX-License-Identifier: GPL-2.0-or-later
// The notifier's bus-free logic with explicit clocks: trimming, record
// splitting, camera node keys, and the five-second window.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "notify.h"

namespace {

const std::string show_page = "qdbus,com.zentavo.nimbra.ControlCenter,/com/zentavo/nimbra/ControlCenter,"
                              "com.zentavo.nimbra.ControlCenter.ShowPage,";
const std::string camera_suffix = " has been blocked from using the camera";
const std::string files_suffix = " has been blocked from accessing the files and folders";

class NotifyCore : public testing::Test {
protected:
    void SetUp() override { message_time_map.clear(); }
};

TEST_F(NotifyCore, TrimsOnlyTheSixWhiteSpaceCharactersAtTheEnds)
{
    struct Row {
        std::string in, left, right, both;
    } rows[] = {
        {"", "", "", ""},
        {" \n\r\t\f\v", "", "", ""},
        {"  a b\r\n", "a b\r\n", "  a b", "a b"},
        {" a ", "a ", " a", "a"},
        // A no-break space or an escape byte is text, whatever the locale says.
        {"\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0"},
        {"\x1b/usr/bin/x\x1b", "\x1b/usr/bin/x\x1b", "\x1b/usr/bin/x\x1b", "\x1b/usr/bin/x\x1b"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("input '" + r.in + "'");
        EXPECT_EQ(ltrim(r.in), r.left);
        EXPECT_EQ(rtrim(r.in), r.right);
        EXPECT_EQ(trim(r.in), r.both);
    }
}

TEST_F(NotifyCore, PruningKeepsOnlyAgesStrictlyInsideTheGap)
{
    const int64_t now = 1000;
    struct Row {
        int64_t stamp;
        bool kept;
    } rows[] = {
        {995, false},       // age 5: the gap is over
        {996, true},        // age 4
        {1000, true},
        {1004, true},       // 4 s ahead: a clock set back a little
        {1005, false},      // 5 s ahead: a clock set back by the gap
        {INT64_MIN, false}, // an age beyond 64 bits
        {INT64_MAX, false},
    };
    for (const auto &r : rows)
        message_time_map["key" + std::to_string(r.stamp)] = r.stamp;
    update_message_time_map(now);
    for (const auto &r : rows)
        EXPECT_EQ(message_time_map.count("key" + std::to_string(r.stamp)), r.kept ? 1u : 0u) << r.stamp;
}

TEST_F(NotifyCore, CameraNodesPairUpAndKeepTheLowEightBits)
{
    struct Row {
        const char *number, *path;
    } rows[] = {
        {"", "/dev/video0"},   {"0", "/dev/video0"},     {"1", "/dev/video0"},  {"3", "/dev/video2"},
        {"256", "/dev/video0"}, {"300", "/dev/video44"}, {"-1", "/dev/video254"}, {" 7", "/dev/video6"},
        {"+5", "/dev/video4"}, {"12abc", "/dev/video12"}, {"abc", "/dev/video0"},
        // Beyond int the number saturates where atoi's result is undefined.
        {"2147483647", "/dev/video254"}, {"2147483648", "/dev/video254"}, {"4294967297", "/dev/video254"},
        {"99999999999999999999999", "/dev/video254"}, {"-2147483649", "/dev/video0"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(camera_node_path(r.number), r.path) << "'" << r.number << "'";

    // Within int the reading is atoi's, white space and signs included.
    for (const char *prefix : {"", " ", "\t+", "-", "\n-0", "x"})
        for (long n : {0L, 1L, 9L, 254L, 255L, 511L, 65535L, 2147483646L}) {
            std::string text = prefix + std::to_string(n) + "z";
            EXPECT_EQ(camera_node_path(text.c_str()), "/dev/video" + std::to_string(std::atoi(text.c_str()) & 0xFE))
                << "'" << text << "'";
        }
}

TEST_F(NotifyCore, RecordSplitsIntoTwoFieldsThatNeverRunPastTheirEnd)
{
    struct Row {
        const char *what;
        std::string path_field, exe_field;  // at most 512 bytes each, zero-padded
        std::string path, exe;
    } rows[] = {
        {"plain", "/home/u/a", "/usr/bin/x", "/home/u/a", "/usr/bin/x"},
        {"511-byte path, NUL last", "/" + std::string(510, 'p'), "/usr/bin/x", "/" + std::string(510, 'p'),
         "/usr/bin/x"},
        {"path without NUL", std::string(512, 'p'), "/usr/bin/x", std::string(512, 'p'), "/usr/bin/x"},
        {"exe without NUL", "/home/u/a", std::string(512, 'e'), "/home/u/a", std::string(512, 'e')},
        {"both without NUL", std::string(512, 'p'), std::string(512, 'e'), std::string(512, 'p'),
         std::string(512, 'e')},
        {"bytes after the NUL", std::string("/a\0junk", 7), std::string("/b\0junk", 7), "/a", "/b"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        // On the heap at its exact size, so a read past the record is caught
        // by the address sanitizer.
        std::unique_ptr<char[]> record(new char[RECORD_SIZE]());
        std::memcpy(record.get(), r.path_field.data(), r.path_field.size());
        std::memcpy(record.get() + FIELD_SIZE, r.exe_field.data(), r.exe_field.size());
        FieldSpill spill;
        RecordFields f = split_record(record.get(), &spill);
        EXPECT_EQ(f.filepath, r.path);
        EXPECT_EQ(f.exe, r.exe);
    }
}

TEST_F(NotifyCore, EventBecomesKeySummaryAndShowPageCommand)
{
    struct Row {
        const char *filepath, *exe;
        bool built;
        std::string key, summary, page;
    } rows[] = {
        {"/dev/video1", "/usr/bin/cheese", true, "/dev/video0:/usr/bin/cheese", "/usr/bin/cheese" + camera_suffix,
         "privacy,camera"},
        {"/home/u/doc", "/usr/bin/cat", true, "/home/u/doc:/usr/bin/cat", "/usr/bin/cat" + files_suffix,
         "privacy,folders"},
        {" \t/home/u/doc\n", "/usr/bin/cat", true, "/home/u/doc:/usr/bin/cat", "/usr/bin/cat" + files_suffix,
         "privacy,folders"},
        // Classified before trimming: a camera node behind white space is a file.
        {" /dev/video3", "/usr/bin/cat", true, "/dev/video3:/usr/bin/cat", "/usr/bin/cat" + files_suffix,
         "privacy,folders"},
        {"/dev/vide", "/usr/bin/cat", true, "/dev/vide:/usr/bin/cat", "/usr/bin/cat" + files_suffix,
         "privacy,folders"},
        {"/DEV/VIDEO0", "/usr/bin/cat", true, "/DEV/VIDEO0:/usr/bin/cat", "/usr/bin/cat" + files_suffix,
         "privacy,folders"},
        {"/dev/video0 ", "/usr/bin/cat", true, "/dev/video0:/usr/bin/cat", "/usr/bin/cat" + camera_suffix,
         "privacy,camera"},
        // The executable keeps its white space in the key and the summary.
        {"/home/u/doc", " /usr/bin/cat\t", true, "/home/u/doc: /usr/bin/cat\t", " /usr/bin/cat\t" + files_suffix,
         "privacy,folders"},
        // Bytes that are not UTF-8: replaced in the text only.
        {"/home/\xff", "/usr/bin/\xc3(\xe2\x82", true, "/home/\xff:/usr/bin/\xc3(\xe2\x82",
         "/usr/bin/\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd" + files_suffix, "privacy,folders"},
        {"/dev/video4", "/usr/bin/\xed\xa0\x80\xf0\x9f\x99\x82", true, "/dev/video4:/usr/bin/\xed\xa0\x80\xf0\x9f\x99\x82",
         "/usr/bin/\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xf0\x9f\x99\x82" + camera_suffix, "privacy,camera"},
        {"", "/usr/bin/cat", false, "", "", ""},
        {" \n\r\t\f\v", "/usr/bin/cat", false, "", "", ""},
        {"/home/u/doc", "", false, "", "", ""},
        {"/home/u/doc", " \t\n", false, "", "", ""},
        {"/dev/video0", "\v", false, "", "", ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("'") + r.filepath + "' by '" + r.exe + "'");
        message_time_map.clear();
        Notification n;
        ASSERT_EQ(build_notification(r.filepath, r.exe, 100, &n), r.built);
        if (!r.built) {
            EXPECT_TRUE(message_time_map.empty()) << "a skipped event is not stored";
            continue;
        }
        EXPECT_EQ(n.key, r.key);
        EXPECT_EQ(n.summary, r.summary);
        EXPECT_EQ(n.show_page_cmd, show_page + r.page);
        EXPECT_EQ(n.file_type, r.page == "privacy,folders");
        EXPECT_EQ(n.app_name, "preferences-system");
        EXPECT_EQ(n.body, "Go to Control Center > Privacy and Security, and allow its access.");
        EXPECT_EQ(n.action_label, "Go to Settings");
        ASSERT_EQ(message_time_map.count(r.key), 1u);
        EXPECT_EQ(message_time_map[r.key], 100);
    }
}

TEST_F(NotifyCore, RepeatsWithinTheGapAreHeldBack)
{
    struct Step {
        const char *filepath, *exe;
        int64_t now;
        bool shown;
    };
    struct Row {
        const char *what;
        std::vector<Step> steps;
    } rows[] = {
        {"nodes 0 and 1 are one camera", {{"/dev/video0", "/bin/e", 0, true}, {"/dev/video1", "/bin/e", 4, false}}},
        {"nodes 2 and 3 are one camera, not node 0",
         {{"/dev/video2", "/bin/e", 0, true}, {"/dev/video3", "/bin/e", 1, false}, {"/dev/video0", "/bin/e", 1, true}}},
        {"node 256 is node 0", {{"/dev/video256", "/bin/e", 0, true}, {"/dev/video0", "/bin/e", 1, false}}},
        {"no number is node 0",
         {{"/dev/video", "/bin/e", 0, true}, {"/dev/videoX", "/bin/e", 0, false}, {"/dev/video0", "/bin/e", 0, false}}},
        {"two executables on one path", {{"/home/a", "/bin/e1", 0, true}, {"/home/a", "/bin/e2", 0, true}}},
        {"white space around the path is one key", {{"/home/a", "/bin/e", 0, true}, {" /home/a\t", "/bin/e", 1, false}}},
        {"white space around the executable is another key",
         {{"/home/a", "/bin/e", 0, true}, {"/home/a", " /bin/e", 0, true}}},
        {"shown again at t+5, and the window restarts there",
         {{"/home/a", "/bin/e", 10, true}, {"/home/a", "/bin/e", 11, false}, {"/home/a", "/bin/e", 12, false},
          {"/home/a", "/bin/e", 13, false}, {"/home/a", "/bin/e", 14, false}, {"/home/a", "/bin/e", 15, true},
          {"/home/a", "/bin/e", 19, false}, {"/home/a", "/bin/e", 20, true}}},
        {"clock set back by 4 holds back, by 5 shows again",
         {{"/home/a", "/bin/e", 100, true}, {"/home/a", "/bin/e", 96, false}, {"/home/a", "/bin/e", 95, true},
          {"/home/a", "/bin/e", 95, false}}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        message_time_map.clear();
        for (size_t i = 0; i < r.steps.size(); ++i) {
            const Step &s = r.steps[i];
            Notification n;
            EXPECT_EQ(build_notification(s.filepath, s.exe, s.now, &n), s.shown) << "step " << i << " at " << s.now;
        }
    }
}

}  // namespace
