// SPDX-License-Identifier: GPL-2.0-or-later
// The installed system, checked with the ecosystem's own tools: the files are
// put in place inside the test's mount namespace (over /usr, /etc and /var),
// either copied from the `cmake --install` stage or installed with dpkg from
// the .deb that dpkg-buildpackage made, and then a real dbus-daemon loads the bus policy, systemd-analyze
// reads the units, polkit reads the action, and the notifier speaks German.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Strings = std::vector<std::string>;

const std::string policy_file = "/usr/share/dbus-1/system.d/com.zentavo.Quorvane1.conf";
const std::string activation_file = "/usr/share/dbus-1/system-services/com.zentavo.Quorvane1.service";
const std::string unit_dir = "/usr/lib/systemd/system";
const std::string action_file = "/usr/share/polkit-1/actions/com.zentavo.Quorvane1.policy";
const std::string autostart_file = "/etc/xdg/autostart/quorvane-notify.desktop";
const std::string catalogue = "/usr/share/locale/de/LC_MESSAGES/quorvane.mo";
const std::string installed_daemon = "/usr/libexec/quorvane/quorvane_daemon";

// Every file the package ships, as dpkg-deb lists them: the units where
// bookworm's debhelper puts them (/lib is /usr/lib on a merged-/usr system),
// the manual pages compressed.
const std::set<std::string> package_files = {
    "./etc/xdg/autostart/quorvane-notify.desktop",
    "./lib/systemd/system/quorvane-daemon.service",
    "./lib/systemd/system/quorvane-loader.service",
    "./lib/systemd/system/quorvane-loader.socket",
    "./lib/systemd/system/quorvane.service",
    "./usr/bin/quorvane-settings",
    "./usr/bin/quorvane_notify",
    "./usr/bin/quorvane_session",
    "./usr/bin/quorvanectl",
    "./usr/libexec/quorvane/quorvane_apply",
    "./usr/libexec/quorvane/quorvane_daemon",
    "./usr/libexec/quorvane/quorvane_loader",
    "./usr/libexec/quorvane/quorvane_notification_bridge",
    "./usr/share/applications/com.zentavo.quorvane.settings.desktop",
    "./usr/share/bash-completion/completions/quorvanectl",
    "./usr/share/dbus-1/services/com.zentavo.nimbra.Notification.service",
    "./usr/share/dbus-1/services/com.zentavo.quorvane.settings.service",
    "./usr/share/dbus-1/system-services/com.zentavo.Quorvane1.service",
    "./usr/share/dbus-1/system.d/com.zentavo.Quorvane1.conf",
    "./usr/share/doc/quorvane/changelog.gz",
    "./usr/share/doc/quorvane/copyright",
    "./usr/share/icons/hicolor/scalable/apps/com.zentavo.quorvane.settings.svg",
    "./usr/share/lintian/overrides/quorvane",
    "./usr/share/locale/de/LC_MESSAGES/quorvane.mo",
    "./usr/share/man/man1/quorvane-settings.1.gz",
    "./usr/share/man/man1/quorvane_notify.1.gz",
    "./usr/share/man/man1/quorvane_session.1.gz",
    "./usr/share/man/man1/quorvanectl.1.gz",
    "./usr/share/man/man8/quorvane_daemon.8.gz",
    "./usr/share/metainfo/com.zentavo.quorvane.settings.metainfo.xml",
    "./usr/share/polkit-1/actions/com.zentavo.Quorvane1.policy",
};

enum class Method { Tree, Package };

std::string method_name(const testing::TestParamInfo<Method> &info)
{
    return info.param == Method::Tree ? "CmakeInstall" : "DebPackage";
}

bool executable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The package itself, not its debug symbols (quorvane-dbgsym_*).
std::string deb_path()
{
    for (const auto &name : qvt::list_dir(QVT_PACKAGE_DIR))
        if (name.rfind("quorvane_", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0)
            return std::string(QVT_PACKAGE_DIR) + "/" + name;
    return "";
}

// "key=value" lines of a unit, activation or desktop file (the last wins).
std::map<std::string, std::string> key_values(const std::string &path)
{
    std::map<std::string, std::string> kv;
    std::stringstream ss(qvt::read_file(path));
    std::string line;
    while (std::getline(ss, line)) {
        auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos)
            continue;
        kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

// The policies of the stock system bus configuration, without its includes,
// so the bus denies by default exactly as a Debian system bus does.
std::string stock_system_policies()
{
    std::string conf = std::regex_replace(qvt::read_file("/usr/share/dbus-1/system.conf"),
                                          std::regex("<!--[\\s\\S]*?-->"), "");
    std::string policies;
    std::regex policy("<policy[\\s\\S]*?</policy>");
    for (auto it = std::sregex_iterator(conf.begin(), conf.end(), policy); it != std::sregex_iterator(); ++it)
        policies += it->str() + "\n";
    return policies;
}

// Lines of a dbus-daemon log that report a problem with file; dbus-daemon
// skips an included file it cannot parse and starts all the same.
Strings policy_problems(const std::string &log, const std::string &file)
{
    Strings problems;
    std::stringstream ss(log);
    std::string line;
    while (std::getline(ss, line))
        if (line.find(file) != std::string::npos)
            problems.push_back(line);
    return problems;
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Puts the installed files in place inside the sandbox; "" or what failed.
std::string install(qvt::Sandbox *sb, Method method)
{
    for (const char *dir : {"/usr", "/var"})
        if (qvt::overlay_dir(sb, dir) < 0)
            return std::string("cannot overlay ") + dir;
    // No system bus and no systemd here, as on a build machine.
    if (qvt::mount_tmpfs("/run") < 0)
        return "cannot mount a tmpfs on /run";
    if (method == Method::Tree) {
        auto r = qvt::run({"/bin/cp", "-a", std::string(QVT_STAGE_DIR) + "/.", "/"});
        return r.status == 0 ? "" : "copying the stage: " + r.err;
    }
    std::string deb = deb_path();
    if (deb.empty())
        return "no .deb in " QVT_PACKAGE_DIR;
    unlink("/var/lib/man-db/auto-update");  // no manual page index rebuild
    auto r = qvt::run({"/usr/bin/dpkg", "-i", deb}, {"DEBIAN_FRONTEND=noninteractive"});
    return r.status == 0 ? "" : "dpkg -i: " + r.out + r.err;
}

class Installed : public testing::TestWithParam<Method> {
protected:
    void SetUp() override
    {
        std::string why = qvt::enter_sandbox(&sb);
        if (!why.empty())
            GTEST_SKIP() << why;
        why = install(&sb, GetParam());
        ASSERT_EQ(why, "");
    }
    void TearDown() override
    {
        qvt::leave_sandbox(&sb);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    qvt::Sandbox sb;
};

enum class Outcome { Reply, VettingRefusal, BusRefusal };

struct PolicyCall {
    const char *what;
    const char *client;  // "gdbus" (not trusted by the service) or "dbus-send"
    const char *object;
    const char *member;  // interface.member
    Strings args;
    Outcome outcome;
};


const PolicyCall policy_calls[] = {
    {"GetMode of a path", "gdbus", "/com/zentavo/Quorvane1", "com.zentavo.Quorvane1.GetMode", {"'/home/a'"},
     Outcome::Reply},
    {"GetApps of a path", "gdbus", "/com/zentavo/Quorvane1", "com.zentavo.Quorvane1.GetApps", {"'/home/a'"},
     Outcome::Reply},
    {"List", "gdbus", "/com/zentavo/Quorvane1", "com.zentavo.Quorvane1.List", {}, Outcome::Reply},
    {"camera GetMode", "gdbus", "/com/zentavo/Quorvane1/CameraControl",
     "com.zentavo.Quorvane1.CameraControl.GetMode", {}, Outcome::Reply},
    {"camera GetApps", "gdbus", "/com/zentavo/Quorvane1/CameraControl",
     "com.zentavo.Quorvane1.CameraControl.GetApps", {}, Outcome::Reply},
    {"Enable from an untrusted program", "gdbus", "/com/zentavo/Quorvane1", "com.zentavo.Quorvane1.Enable",
     {"'/home/a'", "['/usr/bin/x']", "true"}, Outcome::VettingRefusal},
    {"SetMode from an untrusted program", "gdbus", "/com/zentavo/Quorvane1", "com.zentavo.Quorvane1.SetMode",
     {"'/home/a'", "0"}, Outcome::VettingRefusal},
    {"camera Enable from an untrusted program", "gdbus", "/com/zentavo/Quorvane1/CameraControl",
     "com.zentavo.Quorvane1.CameraControl.Enable", {"['/usr/bin/x']", "true"}, Outcome::VettingRefusal},
    {"camera SetMode from an untrusted program", "gdbus", "/com/zentavo/Quorvane1/CameraControl",
     "com.zentavo.Quorvane1.CameraControl.SetMode", {"0"}, Outcome::VettingRefusal},
    {"Introspect the file object", "gdbus", "/com/zentavo/Quorvane1",
     "org.freedesktop.DBus.Introspectable.Introspect", {}, Outcome::Reply},
    {"Introspect the camera object", "gdbus", "/com/zentavo/Quorvane1/CameraControl",
     "org.freedesktop.DBus.Introspectable.Introspect", {}, Outcome::Reply},
    {"Peer Ping", "gdbus", "/com/zentavo/Quorvane1", "org.freedesktop.DBus.Peer.Ping", {}, Outcome::Reply},
    {"Peer GetMachineId", "gdbus", "/com/zentavo/Quorvane1", "org.freedesktop.DBus.Peer.GetMachineId", {},
     Outcome::Reply},
    {"Properties, which the policy does not open", "gdbus", "/com/zentavo/Quorvane1",
     "org.freedesktop.DBus.Properties.GetAll", {"'com.zentavo.Quorvane1'"}, Outcome::BusRefusal},
    // The bus lets every user through; the service judges the caller: a
    // non-root user's dbus-send needs polkit's word, and there is no polkit here.
    {"Enable through /usr/bin/dbus-send", "dbus-send", "/com/zentavo/Quorvane1", "com.zentavo.Quorvane1.Enable",
     {"string:/home/a", "array:string:/usr/bin/x", "boolean:true"}, Outcome::VettingRefusal},
};

const Strings as_nobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};

qvt::RunResult nobody_calls(const PolicyCall &c)
{
    Strings argv = as_nobody;
    if (std::string(c.client) == "gdbus") {
        argv.insert(argv.end(), {"/usr/bin/gdbus", "call", "--system", "--dest", "com.zentavo.Quorvane1",
                                 "--object-path", c.object, "--method", c.member});
    } else {
        argv.insert(argv.end(), {"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=com.zentavo.Quorvane1",
                                 c.object, c.member});
    }
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    return qvt::run(argv);
}

TEST_P(Installed, BusPolicyLetsEveryUserCallAndOnlyRootOwn)
{
    ASSERT_TRUE(executable(installed_daemon));
    qvt::Bus bus;
    ASSERT_EQ(qvt::start_bus(&sb, "system", &bus,
                             stock_system_policies() + "<includedir>/usr/share/dbus-1/system.d</includedir>\n"),
              "");
    std::string bus_log = qvt::read_file(sb.scratch + "/system-bus.log");
    ASSERT_EQ(policy_problems(bus_log, policy_file), Strings{}) << bus_log;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);

    std::string stub = qvt::install_systemctl_stub(&sb);
    qvt::Proc daemon = qvt::spawn(&sb, {installed_daemon}, {"PATH=" + stub + ":/usr/bin:/bin"});
    ASSERT_TRUE(qvt::wait_for_name(bus.address, "com.zentavo.Quorvane1"))
        << qvt::read_file(daemon.out_path) << qvt::read_file(daemon.err_path);

    auto owner = qvt::run({"/usr/bin/gdbus", "call", "--system", "--dest", "org.freedesktop.DBus", "--object-path",
                           "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.GetConnectionUnixUser",
                           "com.zentavo.Quorvane1"});
    EXPECT_EQ(owner.out, "(uint32 0,)\n") << "the name's owner runs as root: " << owner.err;

    for (const auto &c : policy_calls) {
        SCOPED_TRACE(c.what);
        // The service prints its refusal before it replies, so the count has
        // grown by the time the client has the answer.
        size_t refusals_before = count_of(qvt::read_file(daemon.err_path), "check_caller failed");
        auto r = nobody_calls(c);
        switch (c.outcome) {
        case Outcome::Reply:
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            break;
        case Outcome::VettingRefusal:
            EXPECT_NE(r.status, 0);
            EXPECT_NE(r.err.find("org.freedesktop.DBus.Error.AccessDenied: Operation not permitted"),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(count_of(qvt::read_file(daemon.err_path), "check_caller failed"), refusals_before + 1);
            break;
        case Outcome::BusRefusal:
            EXPECT_NE(r.status, 0);
            EXPECT_NE(r.err.find("Rejected send message"), std::string::npos) << r.err;
            break;
        }
    }

    Strings own = as_nobody;
    own.insert(own.end(), {"/usr/bin/gdbus", "call", "--system", "--dest", "org.freedesktop.DBus", "--object-path",
                           "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.RequestName",
                           "com.zentavo.Quorvane1", "4"});
    auto r = qvt::run(own);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.err.find("is not allowed to own the service \"com.zentavo.Quorvane1\""), std::string::npos) << r.err;
}

// The check above must fail for a policy the bus cannot load.
TEST(BusPolicyCheck, CatchesAPolicyTheBusSkips)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    std::string dir = sb.scratch + "/system.d";
    mkdir(dir.c_str(), 0755);
    std::string good = qvt::read_file(qvt::source_path("data/dbus/com.zentavo.Quorvane1.conf"));
    std::string broken = dir + "/com.zentavo.Quorvane1.conf";
    qvt::write_file(broken, good.substr(0, good.size() / 2));
    qvt::Bus bus;
    ASSERT_EQ(qvt::start_bus(&sb, "system", &bus, stock_system_policies() + "<includedir>" + dir + "</includedir>\n"),
              "");
    EXPECT_FALSE(policy_problems(qvt::read_file(sb.scratch + "/system-bus.log"), broken).empty());
    qvt::leave_sandbox(&sb);
}

TEST_P(Installed, UnitsVerifyAndTheServiceIsConfined)
{
    auto verify = qvt::run({"/usr/bin/systemd-analyze", "verify", unit_dir + "/quorvane-daemon.service",
                            unit_dir + "/quorvane.service"});
    EXPECT_EQ(verify.status, 0);
    EXPECT_EQ(verify.out + verify.err, "") << "systemd-analyze verify has remarks";

    auto security = qvt::run({"/usr/bin/systemd-analyze", "security", "--offline=true", "--no-pager",
                              unit_dir + "/quorvane-daemon.service"});
    std::cout << security.out << std::flush;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(security.out, m,
                                  std::regex(R"(Overall exposure level for quorvane-daemon\.service: ([0-9.]+))")))
        << security.err;
    EXPECT_LE(std::stod(m[1]), 4.0);

    // What the bus, systemd and the session start must be there to start.
    struct Entry {
        std::string file, key, value;  // value "" : the key names an installed program
    };
    const Entry entries[] = {
        {activation_file, "Name", "com.zentavo.Quorvane1"},
        {activation_file, "SystemdService", "quorvane-daemon.service"},
        {activation_file, "User", "root"},
        {activation_file, "Exec", ""},
        {unit_dir + "/quorvane-daemon.service", "Type", "dbus"},
        {unit_dir + "/quorvane-daemon.service", "BusName", "com.zentavo.Quorvane1"},
        {unit_dir + "/quorvane-daemon.service", "ExecStart", ""},
        {unit_dir + "/quorvane.service", "Type", "oneshot"},
        {unit_dir + "/quorvane.service", "WantedBy", "multi-user.target"},
        {unit_dir + "/quorvane.service", "ExecStart", ""},
        {autostart_file, "Exec", ""},
    };
    for (const auto &e : entries) {
        auto kv = key_values(e.file);
        SCOPED_TRACE(e.file + " " + e.key);
        ASSERT_EQ(kv.count(e.key), 1u);
        if (e.value.empty()) {
            EXPECT_TRUE(executable(kv[e.key])) << kv[e.key];
        } else {
            EXPECT_EQ(kv[e.key], e.value);
        }
    }
}

TEST_P(Installed, PolkitReadsTheAction)
{
    const std::string dtd = "/usr/share/polkit-1/policyconfig-1.dtd";
    if (access(dtd.c_str(), R_OK) == 0) {
        auto r = qvt::run({"/usr/bin/xmllint", "--noout", "--dtdvalid", dtd, action_file});
        EXPECT_EQ(r.status, 0) << r.err;
    } else {
        auto r = qvt::run({"/usr/bin/xmllint", "--noout", "--xpath",
                           "/policyconfig/action[@id='com.zentavo.Quorvane1']/defaults/allow_active", action_file});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    const std::string polkitd = "/usr/lib/polkit-1/polkitd";
    if (!executable(polkitd) || !executable("/usr/bin/pkaction"))
        GTEST_SKIP() << "polkitd is not installed: the action was checked against its DTD only";

    // polkit's own reading of the action, from a polkitd on a private bus.
    qvt::Bus bus;
    ASSERT_EQ(qvt::start_bus(&sb, "system", &bus), "");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    qvt::Proc authority = qvt::spawn(&sb, {polkitd, "--no-debug"});
    ASSERT_TRUE(qvt::wait_for_name(bus.address, "org.freedesktop.PolicyKit1")) << qvt::read_file(authority.err_path);
    auto r = qvt::run({"/usr/bin/pkaction", "--verbose", "--action-id", "com.zentavo.Quorvane1"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *line : {"implicit any:      auth_admin\n", "implicit inactive: auth_admin\n",
                             "implicit active:   auth_admin_keep\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
    EXPECT_EQ(policy_problems(qvt::read_file(authority.err_path) + qvt::read_file(authority.out_path),
                              "com.zentavo.Quorvane1.policy"),
              Strings{});
}

// The notifier's texts, as it looks them up, with their German catalogue.
const std::pair<const char *, const char *> german[] = {
    {" has been blocked from using the camera", " wurde daran gehindert, die Kamera zu benutzen"},
    {" has been blocked from accessing the files and folders",
     " wurde daran gehindert, auf die Dateien und Ordner zuzugreifen"},
    {"Go to Control Center > Privacy and Security, and allow its access.",
     "Öffnen Sie Kontrollzentrum > Datenschutz und Sicherheit und erlauben Sie dort den Zugriff."},
    {"Go to Settings", "Zu den Einstellungen"},
    {"preferences-system", "Systemeinstellungen"},
};

TEST_P(Installed, AutostartEntryAndCatalogue)
{
    if (!executable("/usr/bin/desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-utils is not installed";
    auto r = qvt::run({"/usr/bin/desktop-file-validate", autostart_file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "") << "desktop-file-validate has remarks";

    r = qvt::run({"/usr/bin/msgunfmt", "--no-wrap", catalogue});
    ASSERT_EQ(r.status, 0) << r.err;
    auto quoted = [](const std::string &s) { return "\"" + std::regex_replace(s, std::regex("\""), "\\\"") + "\""; };
    for (const auto &[id, text] : german)
        EXPECT_NE(r.out.find("msgid " + quoted(id) + "\nmsgstr " + quoted(text) + "\n"), std::string::npos)
            << id << " in\n" << r.out;
}

// Record layout of the kernel module's event file: two 512-byte fields.
std::string event_record(const std::string &path, const std::string &exe)
{
    std::string record(1024, '\0');
    record.replace(0, path.size(), path);
    record.replace(512, exe.size(), exe);
    return record;
}

TEST_P(Installed, NotifierShowsTheGermanTexts)
{
    if (access("/usr/share/i18n/locales/de_DE", R_OK) != 0)
        GTEST_SKIP() << "the locales package is not installed: no de_DE locale can be made";
    // The locale is built into scratch and found through LOCPATH.
    std::string locales = sb.scratch + "/locale";
    mkdir(locales.c_str(), 0755);
    auto made = qvt::run({"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"});
    ASSERT_EQ(made.status, 0) << made.err;

    // The kernel module's file system is stood in for by a tmpfs.
    ASSERT_EQ(qvt::mount_tmpfs("/sys/kernel/security"), 0);
    mkdir("/sys/kernel/security/quorvane", 0755);
    qvt::write_file("/sys/kernel/security/quorvane/.notify",
                    event_record("/dev/video0", "/usr/bin/cheese") +
                        event_record("/home/alice/Documents", "/usr/bin/curl"));

    qvt::Bus session;
    ASSERT_EQ(qvt::start_bus(&sb, "session", &session), "");
    setenv("DBUS_SESSION_BUS_ADDRESS", session.address.c_str(), 1);
    qvt::Proc desktop = qvt::spawn(&sb, {qvt::source_path("tools/print-notifications")});
    ASSERT_TRUE(qvt::wait_for_name(session.address, "com.zentavo.nimbra.Notification"))
        << qvt::read_file(desktop.err_path);

    auto r = qvt::run({"/usr/bin/quorvane_notify"},
                      {"LOCPATH=" + locales, "LC_ALL=de_DE.UTF-8", "LANG=de_DE.UTF-8", "LANGUAGE="});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(qvt::wait_for_text(desktop.out_path, "notification 2 ", 5000)) << qvt::read_file(desktop.out_path);
    ASSERT_TRUE(qvt::wait_for_text(desktop.out_path, "privacy folders", 5000));
    std::string shown = qvt::read_file(desktop.out_path);
    for (const char *text : {
             "notification 1 from \"Systemeinstellungen\"",
             "summary: /usr/bin/cheese wurde daran gehindert, die Kamera zu benutzen\n",
             "body:    Öffnen Sie Kontrollzentrum > Datenschutz und Sicherheit und erlauben Sie dort den Zugriff.\n",
             "button:  [Zu den Einstellungen] runs: qdbus com.zentavo.nimbra.ControlCenter "
             "/com/zentavo/nimbra/ControlCenter com.zentavo.nimbra.ControlCenter.ShowPage privacy camera\n",
             "summary: /usr/bin/curl wurde daran gehindert, auf die Dateien und Ordner zuzugreifen\n",
         })
        EXPECT_NE(shown.find(text), std::string::npos) << text << " in\n" << shown;
}

INSTANTIATE_TEST_SUITE_P(, Installed, testing::Values(Method::Tree, Method::Package), method_name);

class Package : public testing::Test {
protected:
    void SetUp() override
    {
        deb = deb_path();
        ASSERT_NE(deb, "") << "no .deb in " QVT_PACKAGE_DIR;
    }
    std::string field(const std::string &name)
    {
        auto r = qvt::run({"/usr/bin/dpkg-deb", "-f", deb, name});
        return r.out;
    }
    std::string deb;
};

TEST_F(Package, ShipsEveryFileAndItsDependencies)
{
    auto r = qvt::run({"/usr/bin/dpkg-deb", "-c", deb});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> files;
    std::stringstream ss(r.out);
    std::string line;
    while (std::getline(ss, line)) {
        if (line.empty() || line[0] == 'd')
            continue;
        files.insert(line.substr(line.rfind(' ') + 1));
        EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
    }
    EXPECT_EQ(files, package_files);

    std::string depends = field("Depends");
    for (const char *dep : {"dbus", "dbus-bin", "jq", "systemd", "libsystemd0", "libc6", "libstdc++6", "libgtkmm-4.0-0",
                            "libadwaita-1-0"})
        EXPECT_NE(depends.find(dep), std::string::npos) << dep << " in " << depends;

    std::string dir = "/tmp/qv-control." + std::to_string(getpid());
    ASSERT_EQ(qvt::run({"/usr/bin/dpkg-deb", "-e", deb, dir}).status, 0);
    EXPECT_EQ(qvt::read_file(dir + "/conffiles"), "/etc/xdg/autostart/quorvane-notify.desktop\n");
    for (const char *script : {"postinst", "prerm", "postrm"})
        EXPECT_TRUE(executable(dir + "/" + script)) << script;
    // debhelper's snippets, not systemctl, handle the units (a reload aside).
    for (const char *script : {"preinst", "postinst", "prerm", "postrm"}) {
        std::stringstream text(qvt::read_file(dir + "/" + script));
        std::string line;
        while (std::getline(text, line)) {
            auto code = line.find_first_not_of(" \t");
            bool comment = code == std::string::npos || line[code] == '#';
            EXPECT_FALSE(!comment && line.find("systemctl") != std::string::npos &&
                         line.find("daemon-reload") == std::string::npos)
                << script << ": " << line;
        }
    }
    qvt::run({"/bin/rm", "-rf", dir});
}

TEST_F(Package, RemovesAndPurgesCleanly)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (!why.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(install(&sb, Method::Package), "");
    auto listed = qvt::run({"/usr/bin/dpkg", "-L", "quorvane"});
    ASSERT_EQ(listed.status, 0);

    // What the service leaves on a system: a profile and the unit's enablement.
    qvt::write_file(QV_STORE_DIR "/profile.json", "{}");
    const std::string wants = "/etc/systemd/system/multi-user.target.wants";
    qvt::run({"/bin/mkdir", "-p", wants});
    ASSERT_EQ(symlink((unit_dir + "/quorvane.service").c_str(), (wants + "/quorvane.service").c_str()), 0);

    auto r = qvt::run({"/usr/bin/dpkg", "-r", "quorvane"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::stringstream ss(listed.out);
    std::string path;
    while (std::getline(ss, path)) {
        struct stat st;
        // A folder, or a link to one such as /lib on a merged-/usr system.
        bool kept_dir = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (path != autostart_file && !kept_dir) {
            EXPECT_NE(lstat(path.c_str(), &st), 0) << path << " is left after removal";
        }
    }
    EXPECT_TRUE(executable("/usr/bin/dbus-send")) << "removal took a file of another package";
    EXPECT_EQ(access((wants + "/quorvane.service").c_str(), F_OK), -1) << "the unit's enablement is left";
    EXPECT_EQ(access(autostart_file.c_str(), F_OK), 0) << "removal keeps the configuration";

    // Installed again, the package finds the profile and enables the unit.
    r = qvt::run({"/usr/bin/dpkg", "-i", deb_path()}, {"DEBIAN_FRONTEND=noninteractive"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    struct stat st;
    EXPECT_EQ(stat((wants + "/quorvane.service").c_str(), &st), 0) << "a reinstall left quorvane.service disabled";

    r = qvt::run({"/usr/bin/dpkg", "-P", "quorvane"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(access(autostart_file.c_str(), F_OK), -1);
    EXPECT_EQ(qvt::regular_files(QV_STORE_DIR), Strings{}) << "purge leaves profiles";
    r = qvt::run({"/usr/bin/dpkg-query", "-W", "-f=${db:Status-Abbrev}", "quorvane"});
    EXPECT_TRUE(r.status != 0 || r.out.rfind("un", 0) == 0 || r.out.rfind("pn", 0) == 0) << r.out;
    qvt::leave_sandbox(&sb);
}

}  // namespace
