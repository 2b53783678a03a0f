// SPDX-License-Identifier: GPL-2.0-or-later
// The polkit query of the service, against a stand-in authority on a private
// system bus. Nothing in the service calls it yet; its answer must still be
// right for every kind of reply.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "callers.h"
#include "harness.h"

namespace {

class Polkit : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = qvt::enter_sandbox(&sb);
        if (why.empty())
            why = qvt::start_bus(&sb, "system", &bus);
        if (!why.empty())
            GTEST_SKIP() << why;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
        record = sb.scratch + "/polkit.log";
    }
    void TearDown() override
    {
        qvt::leave_sandbox(&sb);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    void start_authority(const std::string &mode)
    {
        answer(mode);
        qvt::spawn(&sb, {qvt::binary_path("tests/daemon/fake_polkit"), sb.scratch + "/mode", record});
        ASSERT_TRUE(qvt::wait_for_name(bus.address, "org.freedesktop.PolicyKit1"));
    }
    void answer(const std::string &mode) { qvt::write_file(sb.scratch + "/mode", mode); }

    // check_authorization's result with its standard output and error.
    int check(pid_t pid, std::string *out, std::string *err)
    {
        std::string out_path = sb.scratch + "/out", err_path = sb.scratch + "/err";
        fflush(stdout);
        fflush(stderr);
        int saved_out = dup(1), saved_err = dup(2);
        FILE *o = fopen(out_path.c_str(), "w"), *e = fopen(err_path.c_str(), "w");
        dup2(fileno(o), 1);
        dup2(fileno(e), 2);
        int r = check_authorization(pid);
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        close(saved_out);
        close(saved_err);
        fclose(o);
        fclose(e);
        *out = qvt::read_file(out_path);
        *err = qvt::read_file(err_path);
        return r;
    }

    qvt::Sandbox sb;
    qvt::Bus bus;
    std::string record;
};

TEST_F(Polkit, AnswerDecidesAndTheQueryIsWellFormed)
{
    struct Row {
        const char *mode;
        int want;
        const char *out_line;
    };
    const Row rows[] = {
        {"authorized", 0, "-> sd_bus_message_read is_authorized = true, is_challenge = false\n"},
        {"denied", -1, "-> sd_bus_message_read is_authorized = false, is_challenge = false\n"},
        {"challenge", -1, "-> sd_bus_message_read is_authorized = false, is_challenge = true\n"},
    };
    start_authority("denied");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.mode);
        answer(row.mode);
        std::string out, err;
        EXPECT_EQ(check(4242, &out, &err), row.want);
        EXPECT_NE(out.find(row.out_line), std::string::npos) << out;
        EXPECT_NE(out.find("->  polkit.retains_authorization_after_challenge=1\n"), std::string::npos) << out;
        EXPECT_NE(out.find("->  stand-in=" + std::string(row.mode) + "\n"), std::string::npos) << out;
        EXPECT_EQ(err, "");
    }
    std::string asked = qvt::read_file(record);
    const std::string line =
        "unix-process pid;start-time; pid=4242 start-time=0 com.zentavo.Quorvane1 flags=1 cancel=''\n";
    EXPECT_EQ(asked, line + line + line);
}

TEST_F(Polkit, FailuresRefuse)
{
    std::string out, err;
    // No authority on the bus.
    EXPECT_EQ(check(1, &out, &err), -1);
    EXPECT_NE(err.find("main.cpp("), std::string::npos);
    EXPECT_NE(err.find("-> Failed to Authority: "), std::string::npos) << err;

    // An error reply.
    start_authority("error");
    EXPECT_EQ(check(1, &out, &err), -1);
    EXPECT_NE(err.find("-> Failed to Authority: stand-in refuses to answer\n\n"), std::string::npos) << err;

    // No system bus at all.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + sb.scratch + "/nothing").c_str(), 1);
    EXPECT_EQ(check(1, &out, &err), -1);
    EXPECT_NE(err.find("-> Failed to connect to system bus: "), std::string::npos) << err;
}

}  // namespace
