// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane-settings as a desktop user meets it: the app, run as that user on
// Xvfb with a private session bus and its accessibility bus, is driven
// through AT-SPI (tests/settings/drive.py, dogtail); behind it the real
// daemon on a private system bus, a stand-in polkit answering yes or no, and
// a stand-in loader delivering this user's block records with the real
// stream code. Each row checks the store the daemon left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon_env.h"

namespace {

using Strings = std::vector<std::string>;

Strings operator+(Strings a, const Strings &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr uid_t user = 4242;
constexpr char user_name[] = "qvt-desktop";
constexpr char folder[] = "/home/qvt/Documents";
constexpr char viewer[] = "/usr/bin/qvt-viewer";
constexpr char editor[] = "/usr/bin/qvt-editor";
constexpr char settings_app[] = "/usr/bin/quorvane-settings";

class Settings : public ::testing::Test {
protected:
    qvt::Sandbox &sb = env.sb;
    qvt::DaemonEnv env;
    qvt::Bus session;
    std::string display, loader_out, commands;
    qvt::Proc loader;

    void SetUp() override
    {
        for (const char *tool : {"/usr/bin/Xvfb", "/usr/libexec/at-spi-bus-launcher"})
            if (access(tool, X_OK) != 0)
                GTEST_SKIP() << tool << " is not installed (scripts/deps installs it)";
        if (qvt::run({"/usr/bin/python3", "-c", "import dogtail"}).status != 0)
            GTEST_SKIP() << "python3-dogtail is not installed (scripts/deps installs it)";
        std::string why = qvt::start_daemon_env(&env);
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_EQ(qvt::private_tmp(sb), 0);
        chmod((sb.scratch + "/system_bus_socket").c_str(), 0666);
        // The app and two programs of the desktop's, as files of this namespace.
        ASSERT_EQ(qvt::overlay_dir(&sb, "/usr/bin"), 0);
        for (const std::string &to : {std::string(viewer), std::string(editor)})
            ASSERT_EQ(qvt::run({"/bin/cp", "/bin/true", to}).status, 0);
        ASSERT_EQ(qvt::run({"/bin/cp", qvt::binary_path("session/settings/quorvane-settings"), settings_app}).status, 0);
        ASSERT_EQ(qvt::mount_tmpfs("/home"), 0);
        ASSERT_EQ(qvt::mkdir_p(folder), 0);
        ASSERT_EQ(qvt::mount_tmpfs("/run"), 0);
        ASSERT_EQ(mkdir("/run/quorvane", 0755), 0);
        ASSERT_NO_FATAL_FAILURE(desktop_user());
        ASSERT_NO_FATAL_FAILURE(start_desktop());
    }
    void TearDown() override { qvt::stop_daemon_env(&env); }

    // A desktop user with a home, a runtime folder and two installed
    // applications (desktop entries naming the two programs).
    void desktop_user()
    {
        const std::string id = std::to_string(user);
        qvt::write_file("/etc/passwd", qvt::read_file("/etc/passwd") + user_name + ":x:" + id + ":" + id + "::" +
                                           sb.scratch + "/home:/bin/sh\n");
        qvt::write_file("/etc/group", qvt::read_file("/etc/group") + user_name + ":x:" + id + ":\n");
        for (const char *dir : {"/home", "/run-user", "/share/applications"}) {
            ASSERT_EQ(qvt::mkdir_p(sb.scratch + dir, 0700), 0);
            ASSERT_EQ(chown((sb.scratch + dir).c_str(), user, user), 0);
        }
        chmod((sb.scratch + "/share").c_str(), 0755);
        for (const auto &[name, exe] : {std::pair{"Qvt Viewer", viewer}, std::pair{"Qvt Editor", editor}})
            qvt::write_file(sb.scratch + "/share/applications/" + std::string(exe).substr(9) + ".desktop",
                            std::string("[Desktop Entry]\nType=Application\nName=") + name + "\nExec=" + exe +
                                "\nIcon=text-x-generic\n");
    }

    Strings desktop_env()
    {
        return {"DISPLAY=" + display, "DBUS_SESSION_BUS_ADDRESS=" + session.address, "HOME=" + sb.scratch + "/home",
                "XDG_RUNTIME_DIR=" + sb.scratch + "/run-user", "XDG_DATA_DIRS=" + sb.scratch + "/share:/usr/share",
                "GSETTINGS_BACKEND=memory", "GDK_BACKEND=x11", "LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
    }

    // Xvfb; this user's session bus, which starts the accessibility bus; the
    // loader's record stream.
    void start_desktop()
    {
        const std::string display_file = sb.scratch + "/display";
        qvt::spawn(&sb, {"/bin/sh", "-c", "exec /usr/bin/Xvfb -displayfd 3 -ac -nolisten tcp -screen 0 1024x768x24 3>" +
                                              display_file});
        ASSERT_TRUE(qvt::wait_for_text(display_file, "\n"));
        display = ":" + qvt::read_file(display_file).substr(0, qvt::read_file(display_file).find('\n'));

        const std::string services = sb.scratch + "/services";
        ASSERT_EQ(qvt::mkdir_p(services), 0);
        qvt::write_file(services + "/org.a11y.Bus.service",
                        "[D-BUS Service]\nName=org.a11y.Bus\nExec=/usr/libexec/at-spi-bus-launcher\n");
        // Services the bus starts get its environment: this user's.
        for (const std::string &e : desktop_env()) {
            const size_t eq = e.find('=');
            if (e.compare(0, eq, "DBUS_SESSION_BUS_ADDRESS") != 0)
                setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
        }
        ASSERT_EQ(qvt::start_bus(&sb, "session", &session,
                                 std::string("  <user>") + user_name + "</user>\n  <servicedir>" + services +
                                     "</servicedir>\n"
                                     "  <policy context=\"default\">\n"
                                     "    <allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                                     "<allow receive_sender=\"*\"/>\n  </policy>\n"),
                  "");
        chmod((sb.scratch + "/session_bus_socket").c_str(), 0666);

        commands = sb.scratch + "/loader-commands";
        ASSERT_EQ(mkfifo(commands.c_str(), 0600), 0);
        ASSERT_NO_FATAL_FAILURE(start_loader());
    }

    void start_loader()
    {
        loader = qvt::spawn(&sb, {qvt::binary_path("tests/session/stand_in_loader"), commands});
        loader_out = loader.out_path;
        ASSERT_TRUE(qvt::wait_for_text(loader_out, "listening\n"));
    }

    Strings as_user(const Strings &argv)
    {
        const std::string id = std::to_string(user);
        Strings out = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "/usr/bin/env"};
        for (const std::string &e : desktop_env())
            out.push_back(e);
        out.insert(out.end(), argv.begin(), argv.end());
        return out;
    }

    void deliver(const std::string &object, const std::string &exe)
    {
        const std::string line = "deliver " + std::to_string(user) + " " + object + " " + exe + "\n";
        int fd = open(commands.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(fd);
        ASSERT_TRUE(qvt::wait_for_text(loader_out, "sent 1 "));
    }

    void start_authority(const std::string &answer)
    {
        qvt::write_file(sb.scratch + "/polkit-answer", answer);
        qvt::spawn(&sb, {qvt::binary_path("tests/daemon/fake_polkit"), sb.scratch + "/polkit-answer",
                         sb.scratch + "/polkit.log"});
        ASSERT_TRUE(qvt::wait_for_name(env.bus.address, "org.freedesktop.PolicyKit1"));
    }

    // The folder's listed programs and whether they are an allow list, or
    // "unprotected".
    std::string stored()
    {
        if (qvt::reply_int32(qvt::dbus_send(qvt::file_object, qvt::file_iface, "GetMode", {std::string("string:") + folder}).out) == 1)
            return "unprotected";
        auto r = qvt::dbus_send(qvt::file_object, qvt::file_iface, "GetApps", {std::string("string:") + folder});
        std::string out;
        for (const std::string &s : qvt::reply_strings(r.out))
            out += s + " ";
        return out + (qvt::reply_boolean(r.out) == 1 ? "allow" : "deny");
    }
};

TEST_F(Settings, UserDrivesTheAppThroughTheDaemon)
{
    const std::string f = folder;
    const std::string listed = std::string(viewer) + " allow";
    struct Row {
        const char *what;
        const char *polkit;  // the authority's answer
        bool protected_before;
        bool block_record;    // qvt-editor blocked in the folder, in this user's stream
        bool from_notice;     // the notification's Allow asks the app for it
        Strings steps;        // drive.py's
        std::string after;    // stored()
    };
    const Row rows[] = {
        {"Allow from a block record", "authorized", true, true, false,
         {"press:Allow Qvt Editor to open " + f + "/report.txt", "see:Allow Qvt Editor?", "answer:Allow",
          "press:Folders and files", "see:Remove Qvt Editor from " + f},
         std::string(viewer) + " " + editor + " allow"},
        {"Allow from the notice", "authorized", true, false, true,
         {"see:Allow Qvt Editor?", "answer:Allow", "see:Remove Qvt Editor from " + f},
         std::string(viewer) + " " + editor + " allow"},
        {"protect a folder with one application", "authorized", false, false, false,
         {"see:Nothing is protected yet.", "press:Protect a Folder…", "type:Folder=" + f, "press:Protect",
          "press:Add Qvt Viewer", "see:Remove Qvt Viewer from " + f},
         listed},
        {"lift the protection", "authorized", true, false, false,
         {"press:Lift the protection of " + f, "answer:Lift", "see:Nothing is protected yet."}, "unprotected"},
        {"a refused authorization changes nothing", "denied", true, false, false,
         {"press:Lift the protection of " + f, "answer:Lift", "see:Nothing was changed",
          "see:An administrator's authorization is needed, and it was not given.", "answer:Close",
          "see:Remove Qvt Viewer from " + f},
         listed},
        {"a cancelled password prompt changes nothing", "dismissed", true, false, false,
         {"press:Lift the protection of " + f, "answer:Lift", "see:The password prompt was cancelled.", "answer:Close"},
         listed},
    };
    ASSERT_NO_FATAL_FAILURE(start_authority("authorized"));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        qvt::dbus_send(qvt::file_object, qvt::file_iface, "SetMode", {"string:" + f, "int32:1"});
        if (row.protected_before) {
            ASSERT_EQ(qvt::dbus_send(qvt::file_object, qvt::file_iface, "Enable",
                                     {"string:" + f, std::string("array:string:") + viewer, "boolean:true"})
                          .status,
                      0);
        }
        qvt::write_file(sb.scratch + "/polkit-answer", row.polkit);
        qvt::write_file(sb.scratch + "/polkit.log", "");
        const std::string page = row.block_record ? "activity" : "folders";
        qvt::Proc app = qvt::spawn(&sb, as_user({settings_app, "--page", page}));
        if (row.block_record) {
            ASSERT_TRUE(qvt::wait_for_text(loader_out, "peer " + std::to_string(user) + "\n"));
            ASSERT_NO_FATAL_FAILURE(deliver(f + "/report.txt", editor));
        }
        if (row.from_notice) {
            ASSERT_TRUE(qvt::wait_for_name(session.address, "com.zentavo.quorvane.settings"));
            auto call = qvt::run(as_user({"/usr/bin/gdbus", "call", "--session", "--dest", "com.zentavo.quorvane.settings",
                                          "--object-path", "/com/zentavo/quorvane/settings", "--method",
                                          "com.zentavo.quorvane.settings.Allow", editor, f + "/report.txt"}));
            ASSERT_EQ(call.status, 0) << call.err;
        }
        Strings drive = {"/usr/bin/python3", qvt::source_path("tests/settings/drive.py")};
        drive.insert(drive.end(), row.steps.begin(), row.steps.end());
        auto r = qvt::run(as_user(drive), {}, "", 120000);
        EXPECT_EQ(r.status, 0) << r.out << r.err << qvt::read_file(app.err_path);
        EXPECT_EQ(stored(), row.after);
        // Every change asked polkit about the app's own bus name, allowing a
        // password prompt.
        const std::string asked = qvt::read_file(sb.scratch + "/polkit.log");
        EXPECT_NE(asked.find("system-bus-name name; name=:"), std::string::npos) << asked;
        EXPECT_NE(asked.find("flags=1"), std::string::npos) << asked;
        qvt::kill_and_wait(app.pid);
    }
}

// Without the service, and without enforcement running, the app says so;
// once the loader's record stream appears it shows this user's blocks.
TEST_F(Settings, AbsentServiceAndStreamAreSaid)
{
    qvt::kill_and_wait(env.daemon.pid);
    qvt::kill_and_wait(loader.pid);
    qvt::Proc app = qvt::spawn(&sb, as_user({settings_app, "--page", "activity"}));
    const Strings drive = {"/usr/bin/python3", qvt::source_path("tests/settings/drive.py")};
    auto r = qvt::run(as_user(drive + Strings{"see:The Quorvane service is not available",
                                              "see:Enforcement is not running"}),
                      {}, "", 120000);
    EXPECT_EQ(r.status, 0) << r.out << r.err << qvt::read_file(app.err_path);

    ASSERT_NO_FATAL_FAILURE(start_loader());
    ASSERT_TRUE(qvt::wait_for_text(loader_out, "peer " + std::to_string(user) + "\n")) << "the app did not connect";
    ASSERT_NO_FATAL_FAILURE(deliver(std::string(folder) + "/report.txt", editor));
    r = qvt::run(as_user(drive + Strings{"see:tried to open " + std::string(folder) + "/report.txt"}), {}, "", 120000);
    EXPECT_EQ(r.status, 0) << r.out << r.err << qvt::read_file(app.err_path);
}

}  // namespace
