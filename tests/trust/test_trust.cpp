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

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
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
        const size_t refusals = count_of(daemon_err(), "check_caller failed\n");
        auto r = qvt::run(row.argv);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(count_of(daemon_err(), "check_caller failed\n"), refusals + 1) << daemon_err();
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
    const std::string python_call =
        "import dbus, dbus.lowlevel\n"
        "bus = dbus.SystemBus()\n"
        "print(bus.get_unique_name())\n"
        "m = dbus.lowlevel.MethodCallMessage('com.zentavo.Quorvane1', '/com/zentavo/Quorvane1',"
        " 'com.zentavo.Quorvane1', 'SetMode')\n"
        "m.append(sys.argv[1], dbus.Int32(0), signature='si')\n"
        "m.set_allow_interactive_authorization(sys.argv[2] == 'yes')\n"
        "try:\n"
        "    bus.send_message_with_reply_and_block(m)\n"
        "    print('accepted')\n"
        "except dbus.DBusException as e:\n"
        "    print(e.get_dbus_name())\n";
    enum class Client { RootDbusSend, NobodyDbusSend, NobodyPython, NobodyPythonInteractive };
    struct Row {
        const char *what;
        Client client;
        const char *polkit;  // the stand-in's answer; "" while there is none
        bool accepted;
        const char *diagnostic;  // the one refusal line on standard error
    };
    const Row rows[] = {
        {"root, no authority on the bus", Client::RootDbusSend, "", true, nullptr},
        {"nobody, no authority on the bus", Client::NobodyDbusSend, "", false,
         "-> polkit gave no answer for :"},
        {"nobody, not authorized", Client::NobodyDbusSend, "denied", false, nullptr},
        {"nobody, authentication needed", Client::NobodyDbusSend, "challenge", false, nullptr},
        {"nobody, polkit fails", Client::NobodyDbusSend, "error", false,
         "-> polkit gave no answer for :"},
        {"nobody, authorized", Client::NobodyDbusSend, "authorized", true, nullptr},
        {"nobody's python3.7, interaction allowed", Client::NobodyPythonInteractive, "authorized", true, nullptr},
        {"nobody's python3.7, no interaction", Client::NobodyPython, "denied", false, nullptr},
    };
    const std::string daemon_status = qvt::run({"/usr/bin/busctl", "--system", "status", "com.zentavo.Quorvane1"}).out;
    ASSERT_NE(daemon_status.find("UniqueName=:"), std::string::npos) << daemon_status;
    bool authority = false;
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (*row.polkit && !authority) {
            start_authority(row.polkit);
            authority = true;
        }
        answer(row.polkit);
        const std::string path = "/home/alice/case" + std::to_string(n++);
        const std::string asked_before = qvt::read_file(asked_path());
        const std::string err_before = daemon_err();
        const auto store_before = store_bytes();

        Strings argv;
        std::string tool = "/usr/bin/dbus-send";
        switch (row.client) {
        case Client::RootDbusSend:
            argv = set_mode_by_dbus_send(tool, path);
            break;
        case Client::NobodyDbusSend:
            argv = as_nobody + set_mode_by_dbus_send(tool, path);
            break;
        case Client::NobodyPython:
        case Client::NobodyPythonInteractive:
            tool = "/usr/bin/python3.7";
            argv = as_nobody + Strings{tool, "-c", "import sys\n" + python_call, path,
                                       row.client == Client::NobodyPython ? "no" : "yes"};
            break;
        }
        auto r = qvt::run(argv);
        const bool python = tool == "/usr/bin/python3.7";
        if (python) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find(row.accepted ? "\naccepted\n" : "\norg.freedesktop.DBus.Error.AccessDenied\n"),
                      std::string::npos)
                << r.out;
        } else {
            EXPECT_EQ(r.status == 0, row.accepted) << r.err;
            EXPECT_EQ(qvt::reply_error(r), row.accepted ? "" : "org.freedesktop.DBus.Error.AccessDenied");
        }
        if (row.accepted) {
            EXPECT_EQ(qv_get_profile(path).own_app, tool);
        } else {
            EXPECT_EQ(store_bytes(), store_before);
        }

        // What polkit was asked: nothing for root, else the sender's name.
        std::string asked = qvt::read_file(asked_path()).substr(asked_before.size());
        if (row.client == Client::RootDbusSend || !authority) {
            EXPECT_EQ(asked, "");
        } else {
            std::smatch m;
            const std::regex line(R"(^system-bus-name name; name=(:[0-9]+\.[0-9]+) com\.zentavo\.Quorvane1 )"
                                  R"(flags=([01]) cancel=''\n$)");
            ASSERT_TRUE(std::regex_match(asked, m, line)) << asked;
            EXPECT_EQ(m[2], row.client == Client::NobodyPythonInteractive ? "1" : "0");
            EXPECT_EQ(daemon_status.find("UniqueName=" + m[1].str() + "\n"), std::string::npos)
                << "asked about the service itself";
            // The client's own unique name, as it printed it.
            EXPECT_EQ(python ? r.out.substr(0, r.out.find('\n')) : m[1].str(), m[1].str());
        }
        const std::string err = daemon_err().substr(err_before.size());
        if (row.diagnostic) {
            EXPECT_EQ(lines_with(err, "polkit").size(), 1u) << err;
            EXPECT_NE(err.find(row.diagnostic), std::string::npos) << err;
        } else {
            EXPECT_EQ(lines_with(err, "polkit").size(), 0u) << err;
        }
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

    struct Row {
        const char *what;
        Strings argv;
        const char *stream;  // "out" or "err"
        std::string line;    // the one line it yields, escaped
    };
    const std::string odd_path = "/home/a\n" + forged;
    const Row rows[] = {
        {"caller path", set_mode_by_dbus_send(odd_caller, documents), "out",
         "caller is: " + env.sb.scratch + "/x\\n" + forged},
        {"target path",
         {"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
          "com.zentavo.Quorvane1.Enable", "string:" + odd_path, "array:string:/usr/bin/a", "boolean:true"},
         "out", "file /home/a\\n" + forged + "."},
        {"application name",
         {"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
          "com.zentavo.Quorvane1.Enable", "string:/home/b", "array:string:/usr/bin/a\n" + forged, "boolean:true"},
         "out", "  app /usr/bin/a\\n" + forged},
        {"path the store refuses",
         {"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=com.zentavo.Quorvane1", "/com/zentavo/Quorvane1",
          "com.zentavo.Quorvane1.Enable", "string:" + std::string(4096, 'x') + "\n" + forged, "array:string:",
          "boolean:true"},
         "err", "set_profile failed filepath = " + std::string(4096, 'x') + "\\n" + forged + "."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        qvt::run(row.argv);
        const std::string log = std::string(row.stream) == "out" ? daemon_out() : daemon_err();
        EXPECT_EQ(log.find("\n" + forged), std::string::npos) << "a forged line in the log";
        EXPECT_EQ(lines_with(log, row.line).size(), 1u) << log;
    }
}

}  // namespace
