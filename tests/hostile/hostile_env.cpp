// SPDX-License-Identifier: GPL-2.0-or-later
#include "hostile_env.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace qvh {

std::map<std::string, std::string> tree_snapshot(const std::string &dir)
{
    std::map<std::string, std::string> out;
    for (const auto &name : qvt::list_dir(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) < 0)
            continue;
        std::string &desc = out[path];
        if (S_ISREG(st.st_mode)) {
            // Large files by size and time: reading them whole proves no more.
            desc = "file " + std::to_string(st.st_size) + " " + std::to_string(st.st_mode & 07777) + " " +
                   (st.st_size <= (1 << 20) ? qvt::read_file(path) : std::to_string(st.st_mtim.tv_nsec));
        } else if (S_ISDIR(st.st_mode)) {
            desc = "dir " + std::to_string(st.st_mode & 07777);
            auto inner = tree_snapshot(path);
            out.insert(inner.begin(), inner.end());
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            desc = "link " + std::string(target, n > 0 ? n : 0);
        } else {
            desc = "special " + std::to_string(st.st_mode);
        }
    }
    return out;
}

void HostileEnv::enter(const qvt::SandboxOptions &opts, const std::string &extra_bus_config)
{
    std::string why = qvt::enter_sandbox(&env.sb, opts);
    if (why.empty()) {
        env.stub_path = qvt::install_systemctl_stub(&env.sb);
        why = qvt::start_bus(&env.sb, "system", &env.bus, extra_bus_config);
    }
    if (!why.empty())
        GTEST_SKIP() << why;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", env.bus.address.c_str(), 1);
}

void HostileEnv::launch(const Strings &launcher, bool confined)
{
    const std::string log = env.sb.scratch + "/systemctl.log";
    qvt::write_file(log, "");
    Strings argv;
    if (confined)
        argv = {qvt::binary_path("tests/hostile/hostile_confine"), QV_STORE_DIR, log, "--"};
    argv.insert(argv.end(), launcher.begin(), launcher.end());
    argv.push_back(qvt::binary_path("daemon/quorvane_daemon"));
    env.daemon = qvt::spawn(&env.sb, argv, {"PATH=" + env.stub_path + ":/usr/bin:/bin"});
    ASSERT_TRUE(qvt::wait_for_name(env.bus.address, qvt::service_name))
        << "quorvane_daemon did not take its name: " << qvt::read_file(env.daemon.out_path)
        << qvt::read_file(env.daemon.err_path);
}

void HostileEnv::TearDown()
{
    qvt::stop_daemon_env(&env);
}

void HostileEnv::install_python37()
{
    ASSERT_EQ(qvt::overlay_dir(&env.sb, "/usr/bin"), 0);
    ASSERT_EQ(qvt::run({"/bin/cp", "/usr/bin/python3", "/usr/bin/python3.7"}).status, 0);
}

qvt::RunResult HostileEnv::python(const std::string &code)
{
    return qvt::python_client("/usr/bin/python3.7", code);
}

qvt::RunResult HostileEnv::call(const std::string &object, const std::string &iface, const std::string &member,
                                const Strings &args)
{
    auto t0 = std::chrono::steady_clock::now();
    qvt::RunResult r = qvt::dbus_send(object, iface, member, args);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    slowest_ms = std::max(slowest_ms, ms);
    return r;
}

qvt::RunResult HostileEnv::enable(const std::string &path, const Strings &apps, bool allow)
{
    std::string joined;
    for (const auto &a : apps)
        joined += (joined.empty() ? "" : ",") + a;
    return call(qvt::file_object, qvt::file_iface, "Enable",
                {"string:" + path, "array:string:" + joined, allow ? "boolean:true" : "boolean:false"});
}

qvt::RunResult HostileEnv::setmode(const std::string &path, int mode)
{
    return call(qvt::file_object, qvt::file_iface, "SetMode", {"string:" + path, "int32:" + std::to_string(mode)});
}

int HostileEnv::getmode(const std::string &path)
{
    return qvt::reply_int32(call(qvt::file_object, qvt::file_iface, "GetMode", {"string:" + path}).out);
}

std::pair<Strings, int> HostileEnv::getapps(const std::string &path)
{
    auto r = call(qvt::file_object, qvt::file_iface, "GetApps", {"string:" + path});
    return {qvt::reply_strings(r.out), qvt::reply_boolean(r.out)};
}

Strings HostileEnv::list()
{
    return qvt::reply_strings(call(qvt::file_object, qvt::file_iface, "List").out);
}

std::string HostileEnv::daemon_mount_options(const std::string &mountpoint) const
{
    std::istringstream lines(qvt::read_file("/proc/" + std::to_string(env.daemon.pid) + "/mountinfo"));
    std::string line, options;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point, opts;
        fields >> id >> parent >> devno >> root >> point >> opts;
        if (point == mountpoint)
            options = opts;  // later lines lie on top
    }
    return options;
}

bool HostileEnv::daemon_alive() const
{
    return env.daemon.pid > 0 && waitpid(env.daemon.pid, nullptr, WNOHANG) == 0;
}

}  // namespace qvh
