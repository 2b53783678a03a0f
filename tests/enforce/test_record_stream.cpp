// SPDX-License-Identifier: GPL-2.0-or-later
// The per-user record stream in one process: sessions of several users
// connect (their uid taken from the socket, set here with seteuid around
// connect), and each delivery is checked at every session's end.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "record_stream.h"

namespace {

constexpr uint32_t alice = 1001, bob = 1002, nobody_logged_in = 1003, root = 0;

std::string record_for(const std::string &path)
{
    std::string r(QV_RECORD_SIZE, '\0');
    path.copy(r.data(), QV_RECORD_FIELD - 1);
    std::string exe = "/usr/bin/cat";
    exe.copy(r.data() + QV_RECORD_FIELD, QV_RECORD_FIELD - 1);
    return r;
}

// Every record waiting at fd, by its object path.
std::vector<std::string> pending(int fd)
{
    std::vector<std::string> paths;
    char buf[QV_RECORD_SIZE + 1];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        EXPECT_EQ(n, static_cast<ssize_t>(QV_RECORD_SIZE)) << "one record a packet";
        paths.emplace_back(buf);
    }
    return paths;
}

class RecordStreamTest : public testing::Test {
protected:
    std::string dir, path;
    RecordStream s;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to connect as other users";
        char tmpl[] = "/tmp/qv-stream.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        chmod(dir.c_str(), 0755);
        path = dir + "/notify";
        ASSERT_EQ(stream_open(&s, path.c_str(), -1), 0);
    }
    void TearDown() override
    {
        stream_close(&s);
        unlink(path.c_str());
        rmdir(dir.c_str());
    }

    // A session of uid, connected and accepted.
    int session(uint32_t uid)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        EXPECT_EQ(seteuid(uid), 0);
        int r = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        int err = errno;
        EXPECT_EQ(seteuid(0), 0);
        EXPECT_EQ(r, 0) << std::strerror(err);
        stream_accept(&s);
        return fd;
    }
};

TEST_F(RecordStreamTest, RecordsReachOnlyTheSessionsOfTheBlockedUser)
{
    const uint32_t uids[] = {alice, alice, bob, root};
    std::vector<int> sessions;
    for (uint32_t uid : uids)
        sessions.push_back(session(uid));
    ASSERT_EQ(s.peers.size(), 4u);

    struct Row {
        uint32_t blocked_uid;
        std::vector<bool> reached;  // per session, in the order above
    };
    const Row rows[] = {
        {alice, {true, true, false, false}},            // both of alice's sessions
        {bob, {false, false, true, false}},
        {root, {false, false, false, false}},           // root's records: the journal only
        {nobody_logged_in, {false, false, false, false}},
    };
    for (const Row &row : rows) {
        std::string p = "/home/x/blocked-for-" + std::to_string(row.blocked_uid);
        stream_deliver(&s, row.blocked_uid, record_for(p).data());
        for (size_t i = 0; i < sessions.size(); ++i)
            EXPECT_EQ(pending(sessions[i]), row.reached[i] ? std::vector<std::string>{p} : std::vector<std::string>{})
                << "uid " << row.blocked_uid << ", session " << i;
    }
    EXPECT_EQ(s.sent, 3u);
    EXPECT_EQ(s.dropped, 0u);
    for (int fd : sessions)
        close(fd);
}

TEST_F(RecordStreamTest, ASessionThatDoesNotReadLosesRecordsAndHoldsUpNoOne)
{
    int stalled = session(alice);
    int reading = session(bob);
    constexpr uint64_t burst = 2000;
    // Returns at all: a full queue never blocks the loader.
    for (uint64_t i = 0; i < burst; ++i)
        stream_deliver(&s, alice, record_for("/home/alice/" + std::to_string(i)).data());
    EXPECT_GT(s.dropped, 0u);
    EXPECT_EQ(s.sent + s.dropped, burst);
    const uint64_t queued = s.sent;

    stream_deliver(&s, bob, record_for("/home/bob/after").data());
    EXPECT_EQ(pending(reading), std::vector<std::string>{"/home/bob/after"});
    // What the count says was sent is exactly what the session finds, in order.
    std::vector<std::string> got = pending(stalled);
    ASSERT_EQ(got.size(), queued);
    EXPECT_EQ(got.front(), "/home/alice/0");
    close(stalled);
    close(reading);
}

TEST_F(RecordStreamTest, ASessionThatEndedIsForgotten)
{
    int ended = session(alice);
    int staying = session(alice);
    close(ended);
    stream_deliver(&s, alice, record_for("/home/alice/a").data());
    stream_accept(&s);
    EXPECT_EQ(s.peers.size(), 1u);
    EXPECT_EQ(pending(staying), std::vector<std::string>{"/home/alice/a"});
    close(staying);
}

TEST_F(RecordStreamTest, OneUsersManyConnectionsLeaveRoomForAnother)
{
    std::vector<int> flood;
    for (size_t i = 0; i < QV_STREAM_PEERS_MAX + 44; ++i)
        flood.push_back(session(bob));
    EXPECT_EQ(s.peers.size(), QV_STREAM_PEERS_PER_UID);
    int alices = session(alice);
    stream_deliver(&s, alice, record_for("/home/alice/a").data());
    EXPECT_EQ(pending(alices), std::vector<std::string>{"/home/alice/a"});
    close(alices);
    for (int fd : flood)
        close(fd);
}

}  // namespace
