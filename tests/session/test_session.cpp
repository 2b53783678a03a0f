// SPDX-License-Identifier: GPL-2.0-or-later
// The desktop session's side as real processes: quorvane_session run as an
// unprivileged user (setpriv), the real quorvane_notify, a stand-in loader
// that delivers records with the real stream code on the record socket (a
// tmpfs on /run in this test's mount namespace), a private session
// bus, and either a recording stand-in notification service or the whole
// desktop: the notification bridge (D-Bus activated), dunst on Xvfb and a
// stand-in control center.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

constexpr char this_user[] = "4242";
constexpr char other_user[] = "4243";
constexpr char run_dir[] = "/run/quorvane";
constexpr char security_fs[] = "/sys/kernel/security";
const std::string files_suffix = " has been blocked from accessing the files and folders";
const std::string camera_suffix = " has been blocked from using the camera";
const std::string body = "Go to Control Center > Privacy and Security, and allow its access.";

std::vector<std::string> as_this_user(const std::string &program)
{
    return {"/usr/bin/setpriv", std::string("--reuid=") + this_user, std::string("--regid=") + this_user,
            "--clear-groups", program};
}

std::string record(const std::string &path, const std::string &exe)
{
    std::string r(1024, '\0');
    path.copy(r.data(), 511);
    exe.copy(r.data() + 512, 511);
    return r;
}

class SessionTest : public testing::Test {
protected:
    qvt::Sandbox sb;
    qvt::Bus bus;
    std::string commands, calls;
    qvt::Proc loader, session;

    void SetUp() override
    {
        std::string why = qvt::enter_sandbox(&sb);
        if (!why.empty())
            GTEST_SKIP() << "no sandbox: " << why;
        ASSERT_EQ(qvt::private_tmp(sb), 0);
        // The loader's folder on a /run of our own: nothing made on the host.
        ASSERT_EQ(qvt::mount_tmpfs("/run"), 0);
        ASSERT_EQ(mkdir(run_dir, 0755), 0);
        // A desktop user known to the system (the bus asks), in this
        // sandbox's /etc only.
        append("/etc/passwd", std::string("qvt-desktop:x:") + this_user + ":" + this_user + "::/nonexistent:/usr/sbin/nologin\n");
        append("/etc/group", std::string("qvt-desktop:x:") + this_user + ":\n");
        commands = sb.scratch + "/loader-commands";
        calls = sb.scratch + "/notify-calls.jsonl";
        ASSERT_EQ(mkfifo(commands.c_str(), 0600), 0);
    }
    void TearDown() override { qvt::leave_sandbox(&sb); }

    static void append(const std::string &path, const std::string &line)
    {
        qvt::write_file(path, qvt::read_file(path) + line);
    }


    void start_session_bus(const std::string &extra_config = "")
    {
        ASSERT_EQ(qvt::start_bus(&sb, "session", &bus, extra_config), "");
        // The session's user connects too.
        chmod((sb.scratch + "/session_bus_socket").c_str(), 0666);
    }

    void start_recording_service()
    {
        ASSERT_NO_FATAL_FAILURE(start_session_bus());
        qvt::spawn(&sb, {qvt::binary_path("tests/session/fake_notification"), calls, "ok"},
                   {"DBUS_SESSION_BUS_ADDRESS=" + bus.address});
        ASSERT_TRUE(qvt::wait_for_name(bus.address, "com.zentavo.nimbra.Notification"));
    }

    void start_loader()
    {
        loader = qvt::spawn(&sb, {qvt::binary_path("tests/session/stand_in_loader"), commands});
        ASSERT_TRUE(qvt::wait_for_text(loader.out_path, "listening\n")) << qvt::read_file(loader.err_path);
    }

    void tell_loader(const std::string &line)
    {
        int fd = open(commands.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string l = line + "\n";
        ASSERT_EQ(write(fd, l.data(), l.size()), static_cast<ssize_t>(l.size()));
        close(fd);
    }

    std::vector<std::string> session_env()
    {
        return {"QUORVANE_NOTIFIER=" + qvt::binary_path("session/quorvane_notify"),
                "DBUS_SESSION_BUS_ADDRESS=" + bus.address};
    }

    // The launcher as this user, connected to the loader.
    void start_session()
    {
        session = qvt::spawn(&sb, as_this_user(qvt::binary_path("session/quorvane_session")), session_env());
        ASSERT_TRUE(qvt::wait_for_text(loader.out_path, std::string("peer ") + this_user + "\n"))
            << qvt::read_file(session.err_path);
    }
};

// What the launcher does at login with no record stream to serve: the kernel
// module's file runs the notifier as it is; nothing installed is silence.
TEST_F(SessionTest, KernelFileOrNothingInstalled)
{
    ASSERT_NO_FATAL_FAILURE(start_recording_service());
    struct Row {
        const char *what;
        bool kernel_file;
        const char *exe;  // shown when the notifier ran
    };
    const Row rows[] = {
        {"no enforcement installed", false, nullptr},
        {"the kernel module's event file", true, "/usr/bin/from-kernel-file"},
    };
    for (const Row &row : rows) {
        if (row.kernel_file) {
            ASSERT_EQ(qvt::mount_tmpfs(security_fs), 0);
            ASSERT_EQ(qvt::mkdir_p(std::string(security_fs) + "/quorvane"), 0);
            qvt::write_file(std::string(security_fs) + "/quorvane/.notify", record("/home/u/Documents", row.exe));
        }
        auto r = qvt::run(as_this_user(qvt::binary_path("session/quorvane_session")), session_env(), "", 20000);
        EXPECT_EQ(r.status, 0) << row.what << ": " << r.err;
        EXPECT_EQ(r.err, "") << row.what;
        if (row.exe)
            EXPECT_NE(qvt::read_file(calls).find(std::string(row.exe) + files_suffix), std::string::npos) << row.what;
        else
            EXPECT_EQ(qvt::read_file(calls), "") << row.what;
    }
}

TEST_F(SessionTest, RecordStreamReachesOnlyThisUsersNotifier)
{
    ASSERT_NO_FATAL_FAILURE(start_recording_service());
    ASSERT_NO_FATAL_FAILURE(start_loader());
    ASSERT_NO_FATAL_FAILURE(start_session());

    tell_loader(std::string("deliver ") + other_user + " /home/other/Documents /usr/bin/other-users-program");
    tell_loader(std::string("deliver ") + this_user + " /home/me/Documents /usr/bin/this-users-program");
    ASSERT_TRUE(qvt::wait_for_text(calls, "/usr/bin/this-users-program" + files_suffix))
        << qvt::read_file(session.err_path);
    EXPECT_EQ(qvt::read_file(calls).find("other-users-program"), std::string::npos);
}

TEST_F(SessionTest, StreamEndsAndTheNotifierIsRestartedOnTheNextStream)
{
    ASSERT_NO_FATAL_FAILURE(start_recording_service());
    ASSERT_NO_FATAL_FAILURE(start_loader());
    ASSERT_NO_FATAL_FAILURE(start_session());
    tell_loader(std::string("deliver ") + this_user + " /home/me/a /usr/bin/before-restart");
    ASSERT_TRUE(qvt::wait_for_text(calls, "/usr/bin/before-restart"));

    // The loader restarts: its socket goes away, then comes back.
    tell_loader("exit");
    ASSERT_EQ(qvt::wait_exit(loader.pid), 0);
    ASSERT_NO_FATAL_FAILURE(start_loader());
    ASSERT_TRUE(qvt::wait_for_text(loader.out_path, std::string("peer ") + this_user + "\n", 30000))
        << "the session did not reconnect: " << qvt::read_file(session.err_path);
    tell_loader(std::string("deliver ") + this_user + " /home/me/b /usr/bin/after-restart");
    ASSERT_TRUE(qvt::wait_for_text(calls, "/usr/bin/after-restart")) << qvt::read_file(session.err_path);
    EXPECT_EQ(waitpid(session.pid, nullptr, WNOHANG), 0) << "the launcher itself keeps running";
}

// Started alone, the notifier connects to its user's stream itself and ends
// with it.
TEST_F(SessionTest, NotifierAloneReadsTheStreamUntilItEnds)
{
    ASSERT_NO_FATAL_FAILURE(start_recording_service());
    ASSERT_NO_FATAL_FAILURE(start_loader());
    qvt::Proc notifier = qvt::spawn(&sb, as_this_user(qvt::binary_path("session/quorvane_notify")), session_env());
    ASSERT_TRUE(qvt::wait_for_text(loader.out_path, std::string("peer ") + this_user + "\n"));
    tell_loader(std::string("deliver ") + this_user + " /home/me/Documents /usr/bin/read-alone");
    ASSERT_TRUE(qvt::wait_for_text(calls, "/usr/bin/read-alone" + files_suffix)) << qvt::read_file(notifier.err_path);
    tell_loader("exit");
    EXPECT_EQ(qvt::wait_exit(notifier.pid), 0) << qvt::read_file(notifier.err_path);
}

// On the nimbra desktop its own notification service owns the name: the
// bridge, started anyway, leaves it alone and exits quietly.
TEST_F(SessionTest, BridgeStandsAsideForTheDesktopsOwnService)
{
    ASSERT_NO_FATAL_FAILURE(start_recording_service());
    auto r = qvt::run({qvt::binary_path("session/quorvane_notification_bridge")},
                      {"DBUS_SESSION_BUS_ADDRESS=" + bus.address}, "", 20000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

// The whole desktop: a record in this user's stream ends up in dunst, shown
// through the bridge, with its button when the control center is there.
class DesktopTest : public SessionTest {
protected:
    std::string display, shown_pages;

    void SetUp() override
    {
        SessionTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        for (const char *tool : {"/usr/bin/Xvfb", "/usr/bin/dunst", "/usr/bin/dunstctl", "/usr/bin/import"})
            if (access(tool, X_OK) != 0)
                GTEST_SKIP() << tool << " is not installed (scripts/deps installs it)";
        shown_pages = sb.scratch + "/shown-pages";

        std::string display_file = sb.scratch + "/display";
        qvt::spawn(&sb, {"/bin/sh", "-c",
                         "exec /usr/bin/Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x600x24 3>" + display_file});
        ASSERT_TRUE(qvt::wait_for_text(display_file, "\n"));
        display = ":" + qvt::read_file(display_file).substr(0, qvt::read_file(display_file).find('\n'));

        // The bridge is started by the bus, as on a desktop that has no
        // service of that name.
        std::string services = sb.scratch + "/services";
        ASSERT_EQ(qvt::mkdir_p(services), 0);
        qvt::write_file(services + "/com.zentavo.nimbra.Notification.service",
                        "[D-BUS Service]\nName=com.zentavo.nimbra.Notification\nExec=" +
                            qvt::binary_path("session/quorvane_notification_bridge") + "\n");
        ASSERT_NO_FATAL_FAILURE(start_session_bus(
            "  <servicedir>" + services + "</servicedir>\n"
            "  <policy context=\"default\">\n"
            "    <allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>\n"
            "  </policy>\n"));
        qvt::spawn(&sb, {"/usr/bin/dunst", "-config", "/dev/null"}, desktop_env());
        ASSERT_TRUE(qvt::wait_for_name(bus.address, "org.freedesktop.Notifications"));
    }

    std::vector<std::string> desktop_env() { return {"DISPLAY=" + display, "DBUS_SESSION_BUS_ADDRESS=" + bus.address}; }

    std::string dunstctl(const std::string &verb, const std::string &arg = "")
    {
        std::vector<std::string> argv = {"/usr/bin/dunstctl", verb};
        if (!arg.empty())
            argv.push_back(arg);
        auto r = qvt::run(argv, desktop_env());
        EXPECT_EQ(r.status, 0) << "dunstctl " << verb << ": " << r.err;
        return r.out;
    }

    // Waits, bounded, until dunst shows n notifications.
    bool wait_displayed(int n)
    {
        for (int i = 0; i < 2000; ++i)
            if (dunstctl("count", "displayed") == std::to_string(n) + "\n")
                return true;
        return false;
    }
};

TEST_F(DesktopTest, BlockRecordAppearsInDunstWithItsButton)
{
    ASSERT_NO_FATAL_FAILURE(start_loader());
    ASSERT_NO_FATAL_FAILURE(start_session());

    // Without a control center to open, no button is offered.
    tell_loader(std::string("deliver ") + this_user + " /home/me/Documents /usr/bin/no-control-center");
    ASSERT_TRUE(wait_displayed(1)) << qvt::read_file(session.err_path);
    dunstctl("close-all");

    qvt::spawn(&sb, {qvt::binary_path("tests/session/fake_control_center"), shown_pages},
               {"DBUS_SESSION_BUS_ADDRESS=" + bus.address});
    ASSERT_TRUE(qvt::wait_for_name(bus.address, "com.zentavo.nimbra.ControlCenter"));
    tell_loader(std::string("deliver ") + other_user + " /dev/video0 /usr/bin/other-users-program");
    tell_loader(std::string("deliver ") + this_user + " /dev/video0 /usr/bin/camera-user");
    ASSERT_TRUE(wait_displayed(1));

    std::string shot = qvt::binary_path("tests/session/artefacts");
    ASSERT_EQ(qvt::mkdir_p(shot), 0);
    shot += "/desktop-notification.png";
    auto r = qvt::run({"/usr/bin/import", "-window", "root", shot}, desktop_env());
    EXPECT_EQ(r.status, 0) << r.err;
    std::printf("screenshot: %s\n", shot.c_str());

    // The button (dunst's action on the shown notification) opens the page.
    dunstctl("action", "0");
    EXPECT_TRUE(qvt::wait_for_text(shown_pages, "privacy camera\n"));
    dunstctl("close-all");

    // dunst's history keeps summary and body, not the buttons: the button
    // is proved above by pressing it.
    const std::string summaries[] = {"/usr/bin/no-control-center" + files_suffix,
                                     "/usr/bin/camera-user" + camera_suffix};
    nlohmann::json history = nlohmann::json::parse(dunstctl("history"))["data"][0];
    ASSERT_EQ(history.size(), std::size(summaries)) << history.dump(1) << "\n(another user's record must not appear)";
    for (const std::string &summary : summaries) {
        auto n = std::find_if(history.begin(), history.end(),
                              [&](const nlohmann::json &h) { return h["summary"]["data"] == summary; });
        ASSERT_NE(n, history.end()) << summary << " not in " << history.dump(1);
        EXPECT_EQ((*n)["body"]["data"], body);
        EXPECT_EQ((*n)["appname"]["data"], "preferences-system");
    }
}

// Without the nimbra control center, the button opens Quorvane's own
// settings app (a stand-in here) at the matching page.
TEST_F(DesktopTest, WithoutAControlCenterTheButtonOpensTheSettingsApp)
{
    ASSERT_NO_FATAL_FAILURE(start_loader());
    ASSERT_NO_FATAL_FAILURE(start_session());
    qvt::spawn(&sb,
               {qvt::binary_path("tests/session/fake_control_center"), shown_pages, "com.zentavo.quorvane.settings",
                "/com/zentavo/quorvane/settings", "com.zentavo.quorvane.settings"},
               {"DBUS_SESSION_BUS_ADDRESS=" + bus.address});
    ASSERT_TRUE(qvt::wait_for_name(bus.address, "com.zentavo.quorvane.settings"));
    tell_loader(std::string("deliver ") + this_user + " /home/me/Documents /usr/bin/blocked-viewer");
    ASSERT_TRUE(wait_displayed(1)) << qvt::read_file(session.err_path);
    dunstctl("action", "0");
    EXPECT_TRUE(qvt::wait_for_text(shown_pages, "privacy folders\n"));
}

}  // namespace
