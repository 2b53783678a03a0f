// SPDX-License-Identifier: GPL-2.0-or-later
// Who may change protection, tried as a hostile local user would: the real
// daemon on a private system bus, callers run as root or as nobody, a
// stand-in polkit where the real one would answer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "daemon_env.h"
#include "quorvane.h"

namespace {

using Strings = std::vector<std::string>;

const Strings as_nobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
const char front_end[] = "/usr/bin/nimbra-control-center";
const char documents[] = "/home/alice/Documents";

Strings operator+(Strings a, const Strings &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every file of the store with its bytes.
std::map<std::string, std::string> store_bytes()
{
    std::map<std::string, std::string> all;
    for (const auto &name : qvt::list_dir(QV_STORE_DIR))
        all[name] = qvt::read_file(QV_STORE_DIR "/" + name);
    return all;
}

// The lines of text that contain needle.
Strings lines_with(const std::string &text, const std::string &needle)
{
    Strings found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return found;
}

Strings set_mode_by_dbus_send(const std::string &exe, const std::string &path)
{
    return {exe,        "--system", "--print-reply", "--dest=com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
            "com.zentavo.Quorvane1.SetMode", "string:" + path, "int32:0"};
}

class Trust : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = qvt::start_daemon_env(&env);
        if (!why.empty())
            GTEST_SKIP() << why;
        // The service's own front end and python3.7, as files of its namespace.
        ASSERT_EQ(qvt::overlay_dir(&env.sb, "/usr/bin"), 0);
        ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/busctl", front_end}).status, 0);
        ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/python3", "/usr/bin/python3.7"}).status, 0);
        ASSERT_EQ(qvt::dbus_send(qvt::file_object, qvt::file_iface, "Enable",
                                 {"string:" + std::string(documents), "array:string:/usr/bin/evince", "boolean:true"})
                      .status,
                  0);
    }
    void TearDown() override { qvt::stop_daemon_env(&env); }

    std::string daemon_out() const { return qvt::read_file(env.daemon.out_path); }
    std::string daemon_err() const { return qvt::read_file(env.daemon.err_path); }

    // An unprivileged user namespace for nobody, or the reason there is none.
    std::string userns_missing()
    {
        auto r = qvt::run(as_nobody + Strings{"/usr/bin/unshare", "--user", "--mount", "--map-user=65534",
                                             "--map-group=65534", "--keep-caps", "/bin/true"});
        return r.status == 0 ? "" : "no unprivileged user namespace for nobody: " + r.err;
    }

    void start_authority(const std::string &mode)
    {
        answer(mode);
        qvt::spawn(&env.sb, {qvt::binary_path("tests/daemon/fake_polkit"), env.sb.scratch + "/mode", asked_path()});
        ASSERT_TRUE(qvt::wait_for_name(env.bus.address, "org.freedesktop.PolicyKit1"));
    }
    void answer(const std::string &mode) { qvt::write_file(env.sb.scratch + "/mode", mode); }
    std::string asked_path() const { return env.sb.scratch + "/polkit.log"; }

    qvt::DaemonEnv env;
};

// Callers that are not what their path claims are refused exactly as an
// unlisted one: AccessDenied, the vetting's message, the store untouched.
TEST_F(Trust, CallersAreJudgedByTheFileTheyRun)
{
    std::string why = userns_missing();
    if (!why.empty())
        GTEST_SKIP() << why;

    // nobody's own folder, holding a client to copy in over /usr/bin.
    const std::string own = env.sb.scratch + "/nobody";
    ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    // In namespaces of nobody's own (the capabilities kept across exec), lays
    // an overlay on /usr/bin with client copied in as the front end, and calls
    // SetMode through it.
    auto spoof = [&](const std::string &client, const Strings &call) {
        const std::string script = "set -e; mkdir -p " + own + "/top; cp " + client + " " + own +
                                   "/top/nimbra-control-center; mount -t overlay overlay -o lowerdir=" + own +
                                   "/top:/usr/bin /usr/bin; exec \"$@\"";
        return as_nobody + Strings{"/usr/bin/unshare", "--user", "--mount", "--map-user=65534", "--map-group=65534",
                                   "--keep-caps", "/bin/sh", "-c", script, "spoof"} +
               call;
    };
    const std::string copy = env.sb.scratch + "/dbus-send";
    ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/dbus-send", copy}).status, 0);

    struct Row {
        const char *what;
        Strings argv;
        const char *says;       // how the client reports the refusal
        std::string caller_is;  // the path the service read
    };
    const Row rows[] = {
        {"busctl as the front end, on nobody's overlay",
         spoof("/usr/bin/busctl", {front_end, "--system", "call", "com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
                                   "com.zentavo.Quorvane1", "SetMode", "si", documents, "1"}),
         "Call failed: Access denied", front_end},
        {"dbus-send as the front end, on nobody's overlay",
         spoof("/usr/bin/dbus-send", set_mode_by_dbus_send(front_end, documents)),
         "Error org.freedesktop.DBus.Error.AccessDenied", front_end},
        {"root's copy of dbus-send elsewhere", set_mode_by_dbus_send(copy, documents),
         "Error org.freedesktop.DBus.Error.AccessDenied", copy},
        {"python3.7 replaced while it runs",
         {"/usr/bin/python3.7", "-c",
          "import dbus, os, shutil\n"
          "os.unlink('/usr/bin/python3.7')\n"
          "shutil.copy('/usr/bin/python3', '/usr/bin/python3.7')\n"
          "dbus.SystemBus().get_object('com.zentavo.Quorvane1', '/com/zentavo/Quorvane1')"
          ".SetMode('" + std::string(documents) + "', 1, dbus_interface='com.zentavo.Quorvane1')\n"},
         "org.freedesktop.DBus.Error.AccessDenied", "/usr/bin/python3.7 (deleted)"},
    };
    const auto before = store_bytes();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const size_t refusals = lines_with(daemon_err(), "check_caller failed").size();
        auto r = qvt::run(row.argv);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(lines_with(daemon_err(), "check_caller failed").size(), refusals + 1) << daemon_err();
        EXPECT_NE(daemon_out().find("caller is: " + row.caller_is + "\n\n"), std::string::npos) << daemon_out();
        EXPECT_EQ(store_bytes(), before);
    }
    EXPECT_EQ(daemon_out().find("polkit"), std::string::npos) << "a forged identity reached polkit";

    // The front end itself is accepted on its identity alone, for anyone,
    // with no polkit on the bus.
    auto r = qvt::run(as_nobody + Strings{front_end, "--system", "call", "com.zentavo.Quorvane1",
                                          "/com/zentavo/Quorvane1", "com.zentavo.Quorvane1", "SetMode", "si",
                                          documents, "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(qv_get_profile(documents).own_app, front_end);
}

// dbus-send and python3.7 run whatever their user asks: root is trusted,
// anyone else only on polkit's word, asked about the sender's bus name.
TEST_F(Trust, GeneralPurposeToolsNeedRootOrPolkit)
{
    // SetMode with the interaction flag as told; prints its own unique name
    // first, then the error's name if any.
    const std::string python_call =
        "import dbus, dbus.lowlevel, sys\n"
        "bus = dbus.SystemBus()\n"
        "print(bus.get_unique_name())\n"
        "m = dbus.lowlevel.MethodCallMessage('com.zentavo.Quorvane1', '/com/zentavo/Quorvane1',"
        " 'com.zentavo.Quorvane1', 'SetMode')\n"
        "m.append(sys.argv[1], dbus.Int32(0), signature='si')\n"
        "m.set_allow_interactive_authorization(sys.argv[2] == 'yes')\n"
        "try:\n"
        "    bus.send_message_with_reply_and_block(m)\n"
        "except dbus.DBusException as e:\n"
        "    print(e.get_dbus_name())\n";
    const std::string dbus_send = "/usr/bin/dbus-send", python = "/usr/bin/python3.7";
    struct Row {
        const char *what;
        bool root;
        const std::string &tool;
        bool interactive;
        const char *polkit;  // the stand-in's answer; "" while there is none
        bool accepted;
        bool told_why;  // one line on standard error says why polkit gave no answer
    };
    const Row rows[] = {
        {"root, no authority on the bus", true, dbus_send, false, "", true, false},
        {"nobody, no authority on the bus", false, dbus_send, false, "", false, true},
        {"nobody, not authorized", false, dbus_send, false, "denied", false, false},
        {"nobody, authentication needed", false, dbus_send, false, "challenge", false, false},
        {"nobody, polkit fails", false, dbus_send, false, "error", false, true},
        {"nobody, authorized", false, dbus_send, false, "authorized", true, false},
        {"nobody's python3.7, interaction allowed", false, python, true, "authorized", true, false},
        {"nobody's python3.7, no interaction", false, python, false, "denied", false, false},
    };
    const std::string service = qvt::run({"/usr/bin/busctl", "--system", "status", "com.zentavo.Quorvane1"}).out;
    ASSERT_NE(service.find("UniqueName=:"), std::string::npos) << service;
    int n = 0;
    bool authority = false;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (*row.polkit && !authority) {
            start_authority(row.polkit);
            authority = true;
        }
        answer(row.polkit);
        const std::string path = "/home/alice/case" + std::to_string(n++);
        const size_t asked_before = qvt::read_file(asked_path()).size(), err_before = daemon_err().size();
        const auto store_before = store_bytes();

        Strings argv = row.root ? Strings{} : as_nobody;
        if (row.tool == dbus_send)
            argv = argv + set_mode_by_dbus_send(dbus_send, path);
        else
            argv = argv + Strings{python, "-c", python_call, path, row.interactive ? "yes" : "no"};
        auto r = qvt::run(argv);
        const std::string said = row.tool == python ? r.out : r.err;
        EXPECT_EQ(said.find("org.freedesktop.DBus.Error.AccessDenied") == std::string::npos, row.accepted) << said;
        if (row.accepted)
            EXPECT_EQ(qv_get_profile(path).own_app, row.tool);
        else
            EXPECT_EQ(store_bytes(), store_before);

        // What polkit was asked: nothing for root, else about the sender's name.
        const std::string asked = qvt::read_file(asked_path()).substr(asked_before);
        std::smatch m;
        const std::regex line(R"(^system-bus-name name; name=(:[0-9]+\.[0-9]+) com\.zentavo\.Quorvane1 )"
                              R"(flags=([01]) cancel=''\n$)");
        const bool matched = std::regex_match(asked, m, line);
        EXPECT_EQ(matched, !row.root && *row.polkit) << asked;
        if (matched) {
            EXPECT_EQ(m[2], row.interactive ? "1" : "0");
            EXPECT_EQ(service.find("UniqueName=" + m[1].str() + "\n"), std::string::npos) << "the service's own name";
            // The python client printed its own unique name first.
            const std::string own_name = row.tool == python ? r.out.substr(0, r.out.find('\n')) : m[1].str();
            EXPECT_EQ(own_name, m[1].str());
        }
        const Strings lines = lines_with(daemon_err().substr(err_before), "polkit");
        EXPECT_EQ(lines.size(), row.told_why ? 1u : 0u);
        for (const auto &l : lines)
            EXPECT_TRUE(std::regex_search(l, std::regex(R"(-> polkit gave no answer for :[0-9]+\.[0-9]+: .+)"))) << l;
    }
}

// A string the caller controls cannot start a log line of its own.
TEST_F(Trust, CallerStringsCannotForgeLogLines)
{
    const std::string forged = "main.cpp(1)-> caller is: /usr/bin/nimbra-control-center";
    const std::string dir = env.sb.scratch + "/x\n" + forged.substr(0, forged.rfind("/usr/bin/"));
    ASSERT_EQ(qvt::mkdir_p(dir + "/usr/bin"), 0);
    const std::string odd_caller = dir + "/usr/bin/nimbra-control-center";
    ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/dbus-send", odd_caller}).status, 0);
    auto enable = [](const std::string &exe, const std::string &path, const std::string &app) {
        return Strings{exe, "--system", "--print-reply", "--dest=com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
                       "com.zentavo.Quorvane1.Enable", "string:" + path, "array:string:" + app, "boolean:true"};
    };
    struct Row {
        const char *what;
        Strings argv;
        std::string line;  // the one line it yields, escaped
    };
    const Row rows[] = {
        {"caller path", enable(odd_caller, "/home/a", "/usr/bin/a"), "caller is: " + env.sb.scratch + "/x\\n" + forged},
        {"target path", enable("/usr/bin/dbus-send", "/home/a\n" + forged, "/usr/bin/a"),
         "file /home/a\\n" + forged + "."},
        {"application name", enable("/usr/bin/dbus-send", "/home/b", "/usr/bin/a\n" + forged),
         "  app /usr/bin/a\\n" + forged},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        qvt::run(row.argv);
        EXPECT_EQ(daemon_out().find("\n" + forged), std::string::npos) << "a forged line in the log";
        EXPECT_EQ(lines_with(daemon_out(), row.line).size(), 1u) << daemon_out();
    }
}

}  // namespace
