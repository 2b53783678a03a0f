// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon_env.h"

#include <cstdlib>
#include <regex>

namespace qvt {

std::string start_daemon_env(DaemonEnv *env, const SandboxOptions &opts)
{
    std::string why = enter_sandbox(&env->sb, opts);
    if (!why.empty())
        return why;
    env->stub_path = install_systemctl_stub(&env->sb);
    why = start_bus(&env->sb, "system", &env->bus);
    if (!why.empty())
        return "private system bus: " + why;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", env->bus.address.c_str(), 1);
    env->daemon = start_daemon(env);
    if (!wait_for_name(env->bus.address, service_name))
        return "quorvane_daemon did not take its name: " + read_file(env->daemon.out_path) +
               read_file(env->daemon.err_path);
    return "";
}

void stop_daemon_env(DaemonEnv *env)
{
    leave_sandbox(&env->sb);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

Proc start_daemon(DaemonEnv *env)
{
    return spawn(&env->sb, {binary_path("daemon/quorvane_daemon")},
                 {"PATH=" + env->stub_path + ":/usr/bin:/bin"});
}

RunResult dbus_send(const std::string &object, const std::string &iface, const std::string &member,
                    const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"/usr/bin/dbus-send", "--system", "--print-reply",
                                     std::string("--dest=") + service_name, object, iface + "." + member};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

std::vector<std::string> reply_strings(const std::string &out)
{
    std::vector<std::string> values;
    static const std::regex string_line(R"re(^\s*string "(.*)"$)re");
    std::smatch match;
    std::string::size_type start = 0;
    while (start < out.size()) {
        auto end = out.find('\n', start);
        std::string line = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (std::regex_match(line, match, string_line))
            values.push_back(match[1]);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return values;
}

int reply_int32(const std::string &out)
{
    std::smatch match;
    static const std::regex int_line(R"(\n\s*int32 (-?[0-9]+))");
    return std::regex_search(out, match, int_line) ? std::stoi(match[1]) : -999;
}

int reply_boolean(const std::string &out)
{
    std::smatch match;
    static const std::regex bool_line(R"(\n\s*boolean (true|false))");
    if (!std::regex_search(out, match, bool_line))
        return -1;
    return match[1] == "true" ? 1 : 0;
}

std::string reply_error(const RunResult &r)
{
    std::smatch match;
    static const std::regex error_line(R"(Error ([A-Za-z0-9_.]+))");
    return std::regex_search(r.err, match, error_line) ? std::string(match[1]) : "";
}

std::string reply_error_line(const RunResult &r)
{
    auto at = r.err.find("Error ");
    return at == std::string::npos ? "" : r.err.substr(at + 6, r.err.find('\n', at) - at - 6);
}

RunResult python_client(const std::string &interpreter, const std::string &code)
{
    const std::string prelude =
        "import dbus, sys\n"
        "bus = dbus.SystemBus()\n"
        "def svc(obj, iface, member, *args):\n"
        "    return bus.get_object('com.zentavo.Quorvane1', obj).get_dbus_method(member, iface)(*args)\n";
    return run({interpreter, "-c", prelude + code});
}

}  // namespace qvt
