// SPDX-License-Identifier: GPL-2.0-or-later
// A store filled by someone else: entries of every kind and content under
// profile names (and beside them). The daemon answers every call in bounded
// time, names each bad entry on standard error, reads it as no profile,
// keeps serving the good ones, and an Enable of the same path replaces it.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "hostile_env.h"
#include "profile_file.h"

namespace qvh {
namespace {

using HostileStore = HostileEnv;

QvProfile profile_of(const std::string &path, const Strings &apps, PermitType type)
{
    QvProfile p;
    p.file = path;
    p.own_app = "/usr/bin/dbus-send";
    p.profile_mode = Enforce;
    p.rules.resize(1);
    p.rules[0].deny = type;
    p.rules[0].uids = {4294967295u};
    p.rules[0].app_paths = apps;
    p.rules[0].permission = 15;
    return p;
}

std::string text_of(const std::string &path)
{
    return qv_format_profile(profile_of(path, {"/usr/bin/a"}, Allow));
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    auto at = text.find(from);
    return at == std::string::npos ? "" : text.replace(at, from.size(), to);
}

bool make_socket(const std::string &at)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (at.size() >= sizeof addr.sun_path)
        return false;
    at.copy(addr.sun_path, at.size());
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

struct Entry {
    const char *what;
    const char *path;  // the path whose profile name it takes; null: another name
    bool regular;      // a regular file (counted for the unit)
    std::function<bool(const std::string &file, const std::string &path, const std::string &scratch)> lay;
};

bool write_text(const std::string &file, const std::string &text)
{
    qvt::write_file(file, text);
    return qvt::read_file(file) == text;
}

const Entry entries[] = {
    {"empty file", "/home/h/empty", true, [](auto &f, auto &, auto &) { return write_text(f, ""); }},
    {"truncated JSON", "/home/h/truncated", true,
     [](auto &f, auto &p, auto &) { std::string t = text_of(p); return write_text(f, t.substr(0, t.size() / 2)); }},
    {"binary garbage", "/home/h/garbage", true,
     [](auto &f, auto &, auto &) {
         std::string bytes;
         for (unsigned i = 0; i < 4096; ++i)
             bytes.push_back(static_cast<char>((i * 2654435761u) >> 24));
         return write_text(f, bytes);
     }},
    {"a number where a list is due", "/home/h/wrongtype", true,
     [](auto &f, auto &p, auto &) {
         return write_text(f, replaced(text_of(p), "\"uids\": [\n        4294967295\n      ]", "\"uids\": 7"));
     }},
    {"a word outside its two values", "/home/h/badword", true,
     [](auto &f, auto &p, auto &) { return write_text(f, replaced(text_of(p), "\"allow\"", "\"maybe\"")); }},
    {"a profile of another path", "/home/h/mismatch", true,
     [](auto &f, auto &, auto &) { return write_text(f, text_of("/home/h/other")); }},
    {"70 MiB sparse file", "/home/h/huge", true,
     [](auto &f, auto &, auto &) {
         int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
         bool ok = fd >= 0 && ftruncate(fd, 70 << 20) == 0;
         close(fd);
         return ok;
     }},
    {"FIFO", "/home/h/fifo", false, [](auto &f, auto &, auto &) { return mkfifo(f.c_str(), 0644) == 0; }},
    {"socket", "/home/h/sock", false, [](auto &f, auto &, auto &) { return make_socket(f); }},
    {"directory", "/home/h/dir", false,
     [](auto &f, auto &p, auto &) { return mkdir(f.c_str(), 0755) == 0 && write_text(f + "/inner", text_of(p)); }},
    {"symbolic link to a valid profile", "/home/h/link", false,
     [](auto &f, auto &p, auto &scratch) {
         return write_text(scratch + "/valid.json", text_of(p)) && symlink((scratch + "/valid.json").c_str(), f.c_str()) == 0;
     }},
    {"symbolic link to /dev/zero", "/home/h/zero", false,
     [](auto &f, auto &, auto &) { return symlink("/dev/zero", f.c_str()) == 0; }},
    {"character device", "/home/h/chardev", false,
     [](auto &f, auto &, auto &) { return mknod(f.c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0; }},
    {"garbage under a name of no profile", nullptr, true,
     [](auto &f, auto &, auto &) { return write_text(f, "{\"rules\": ["); }},
};

std::string file_name(const Entry &e)
{
    return e.path ? qv_profile_file_name(e.path) : "notes.txt";
}

TEST_F(HostileStore, BadEntriesAreReportedSkippedAndReplaced)
{
    enter();
    size_t corrupt_regular = 0;
    for (const Entry &e : entries) {
        SCOPED_TRACE(e.what);
        ASSERT_TRUE(e.lay(QV_STORE_DIR "/" + file_name(e), e.path ? e.path : "", env.sb.scratch));
        corrupt_regular += e.regular;
    }
    const Strings good = {"/home/h/good-allow", "/home/h/good-deny"};
    ASSERT_EQ(qv_set_profile(profile_of(good[0], {"/usr/bin/a", "/usr/bin/b"}, Allow)), 0);
    ASSERT_EQ(qv_set_profile(profile_of(good[1], {"/usr/bin/c"}, Deny)), 0);
    launch();

    for (const Entry &e : entries) {
        if (!e.path)
            continue;
        SCOPED_TRACE(e.what);
        EXPECT_EQ(getmode(e.path), 1);
        EXPECT_EQ(getapps(e.path), std::make_pair(Strings{}, 0));
        EXPECT_NE(daemon_err().find(QV_STORE_DIR "/" + file_name(e)), std::string::npos) << daemon_err();
    }
    EXPECT_EQ(list(), good);
    for (const Entry &e : entries)
        EXPECT_NE(daemon_err().find(QV_STORE_DIR "/" + file_name(e)), std::string::npos) << e.what;
    EXPECT_EQ(getapps(good[0]), std::make_pair(Strings{"/usr/bin/a", "/usr/bin/b"}, 1));
    EXPECT_EQ(getmode(good[1]), 2);
    EXPECT_TRUE(daemon_alive());
    std::printf("hostile store: slowest reply %.1f ms\n", slowest_ms);
    EXPECT_LT(slowest_ms, 5000);

    // The unit counts regular files, not readable profiles: with the good
    // profiles gone, the corrupt regular files keep it enabled.
    for (const auto &path : good)
        ASSERT_EQ(setmode(path, 1).status, 0);
    EXPECT_EQ(list(), Strings{});
    EXPECT_EQ(unit_calls().back(), "enable quorvane.service");
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR).size(), corrupt_regular);

    // An Enable of the same path puts a profile in the bad entry's place.
    Strings replaced_paths;
    for (const Entry &e : entries) {
        if (!e.path)
            continue;
        SCOPED_TRACE(e.what);
        qvt::RunResult r = enable(e.path, {"/usr/bin/new"}, false);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(getapps(e.path), std::make_pair(Strings{"/usr/bin/new"}, 0));
        struct stat st;
        ASSERT_EQ(lstat((QV_STORE_DIR "/" + file_name(e)).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        replaced_paths.push_back(e.path);
    }
    std::sort(replaced_paths.begin(), replaced_paths.end());
    EXPECT_EQ(list(), replaced_paths);
    EXPECT_EQ(qvt::read_file(env.sb.scratch + "/valid.json"), text_of("/home/h/link"));
    EXPECT_TRUE(daemon_alive());
}

}  // namespace
}  // namespace qvh
