// SPDX-License-Identifier: GPL-2.0-or-later
// The running daemon under SIGKILL at random moments and under load from
// parallel clients, with its hot-plug monitor storing node profiles meanwhile.
// Writes come from durability_client, copied to an accepted executable path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "holders.h"
#include "daemon_env.h"
#include "monitor_env.h"
#include "profile_file.h"
#include "quorvane.h"

namespace {

using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_flush_close_unref>>;

constexpr char client_path[] = "/usr/bin/nimbra-control-center";
const std::string staging_dir = QV_STORE_DIR "/.staging";

// Lays an overlay on /usr/bin and puts the client there under an accepted name.
std::string install_client(qvt::Sandbox *sb)
{
    if (qvt::overlay_dir(sb, "/usr/bin") != 0)
        return "no overlay on /usr/bin";
    auto r = qvt::run({"/bin/cp", qvt::binary_path("tests/durability/durability_client"), client_path});
    return r.status == 0 ? "" : "cannot install the client: " + r.err;
}

// A killed owner's name lingers until the bus has seen the hang-up; a daemon
// started before that would find its name taken.
bool wait_name_released(const std::string &name, int timeout_ms = 5000)
{
    sd_bus *raw = nullptr;
    if (sd_bus_open_system(&raw) < 0)
        return false;
    BusRef bus(raw);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        int has = 0;
        sd_bus_message *reply = nullptr;
        if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name.c_str()) < 0)
            return false;
        sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if (!has)
            return true;
    }
    return false;
}

// The client in "serve" mode, talked to through pipes.
struct ServeClient {
    pid_t pid = -1;
    int to = -1, from = -1;
    std::string pending;  // bytes read past the last full line
};

ServeClient start_serve_client(qvt::Sandbox *sb)
{
    int in[2], out[2];
    ServeClient c;
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execl(client_path, client_path, "serve", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    c.to = in[1];
    c.from = out[0];
    sb->children.push_back(c.pid);
    return c;
}

// One answer line, or "" when none arrives within timeout_us.
std::string read_answer(ServeClient *c, long timeout_us)
{
    auto deadline = Clock::now() + std::chrono::microseconds(timeout_us);
    for (;;) {
        auto nl = c->pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = c->pending.substr(0, nl);
            c->pending.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return "";
        timespec ts = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        pollfd p = {c->from, POLLIN, 0};
        if (ppoll(&p, 1, &ts, nullptr) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(c->from, buf, sizeof buf);
        if (n <= 0)
            return "";
        c->pending.append(buf, static_cast<size_t>(n));
    }
}

// A path's stored state as the crash test models it.
struct Stored {
    bool present = false;
    PermitType type = Allow;
    Strings apps;
    bool operator==(const Stored &o) const { return present == o.present && (!present || (type == o.type && apps == o.apps)); }
};

Stored stored_of(const QvProfile &p)
{
    if (p.rules.size() != 1)
        return {};
    return {true, p.rules[0].deny, p.rules[0].app_paths};
}

// Store entries that are neither profiles nor the staging area: a temporary
// file renamed to the wrong place, or left behind outside staging.
Strings strays()
{
    Strings out;
    Strings regular = qvt::regular_files(QV_STORE_DIR);
    for (const auto &name : qvt::list_dir(QV_STORE_DIR)) {
        bool is_regular = std::find(regular.begin(), regular.end(), name) != regular.end();
        if (name == ".staging" ? is_regular : !is_regular || !qv_looks_like_profile_name(name))
            out.push_back(name);
    }
    return out;
}

Strings staging_leftovers()
{
    Strings out;
    for (const auto &name : qvt::list_dir(staging_dir))
        if (name != "lock")
            out.push_back(name);
    return out;
}

TEST(DurabilityCrash, KillsAtRandomMomentsLeaveEveryAcknowledgedChange)
{
    qvt::DaemonEnv env;
    std::string why = qvt::start_daemon_env(&env);
    if (why.empty())
        why = install_client(&env.sb);
    if (!why.empty()) {
        qvt::stop_daemon_env(&env);
        GTEST_SKIP() << why;
    }
    const char *seed_text = std::getenv("QVT_SEED");
    const unsigned seed = seed_text ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10)) : std::random_device{}();
    std::printf("seed %u (QVT_SEED=%u repeats this run)\n", seed, seed);
    std::mt19937 rng(seed);

    const int calls = 1000, path_count = 50;
    Strings paths;
    std::map<std::string, std::vector<Stored>> model;  // what each path may hold now
    for (int i = 0; i < path_count; ++i) {
        paths.push_back("/home/crash/dir" + std::to_string(i));
        model[paths.back()] = {Stored{}};
    }
    ServeClient client = start_serve_client(&env.sb);
    ASSERT_GT(client.pid, 0);

    int acknowledged = 0, kills = 0, kills_in_flight = 0;
    bool restarted = false;
    double restart_time = 0;
    for (int i = 0; i < calls; ++i) {
        const std::string &path = paths[rng() % path_count];
        Stored next;
        std::string line;
        unsigned op = rng() % 4;
        if (op < 2) {
            next = {true, rng() % 2 ? Allow : Deny, {}};
            for (unsigned k = rng() % 12; k > 0; --k)
                next.apps.push_back("/usr/bin/app" + std::to_string(rng() % 40));
            line = "E " + path + (next.type == Allow ? " 1" : " 0");
            for (const auto &a : next.apps)
                line += " " + a;
        } else if (op == 2) {
            next = {true, Deny, {"*"}};
            line = "M " + path + " 0";
        } else {
            line = "M " + path + " 1";
        }
        line += "\n";
        ASSERT_EQ(write(client.to, line.data(), line.size()), static_cast<ssize_t>(line.size()));

        bool kill_now = rng() % 10 == 0;
        std::string answer = read_answer(&client, kill_now ? static_cast<long>(rng() % 15000) : 10000000L);
        bool in_flight = answer.empty();
        if (kill_now) {
            auto k0 = Clock::now();
            qvt::kill_and_wait(env.daemon.pid);
            ++kills;
            kills_in_flight += in_flight;
            if (in_flight)
                answer = read_answer(&client, 10000000L);
            ASSERT_TRUE(wait_name_released(qvt::service_name));
            env.daemon = qvt::start_daemon(&env);
            ASSERT_TRUE(qvt::wait_for_name(env.bus.address, qvt::service_name)) << qvt::read_file(env.daemon.err_path);
            restarted = true;
            restart_time += std::chrono::duration<double>(Clock::now() - k0).count();
        }
        ASSERT_FALSE(answer.empty()) << "no answer to call " << i << ": " << line;
        if (answer != "0") {
            // Only a call cut short by the kill may fail; it may have landed.
            ASSERT_TRUE(kill_now && in_flight) << "call " << i << " " << line << " failed: " << answer;
            model[path].push_back(next);
            continue;
        }
        ++acknowledged;
        model[path] = {next};
        if (restarted && op < 3 && !kill_now) {
            // The first store after a restart clears the killed writer's temporaries.
            EXPECT_EQ(staging_leftovers(), Strings{}) << "after call " << i;
            restarted = false;
        }
    }
    // One more store, so the staging area has been swept after the last kill.
    const std::string last = "E " + paths[0] + " 1 /usr/bin/last\n";
    ASSERT_EQ(write(client.to, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    ASSERT_EQ(read_answer(&client, 10000000L), "0");
    model[paths[0]] = {Stored{true, Allow, {"/usr/bin/last"}}};
    EXPECT_EQ(staging_leftovers(), Strings{});
    EXPECT_EQ(strays(), Strings{});

    Strings files = qvt::regular_files(QV_STORE_DIR);
    std::map<std::string, Stored> found;
    for (const auto &name : files) {
        QvProfile p;
        std::string why_not;
        ASSERT_EQ(qv_parse_profile(qvt::read_file(QV_STORE_DIR "/" + name), &p, &why_not), 0) << name << ": " << why_not;
        EXPECT_EQ(name, qv_profile_file_name(p.file));
        EXPECT_TRUE(model.count(p.file)) << "a profile for a path never written: " << p.file;
        found[p.file] = stored_of(p);
    }
    EXPECT_EQ(found.size(), files.size());
    EXPECT_EQ(qv_get_files().size(), files.size());
    for (const auto &[path, may] : model) {
        Stored now = found.count(path) ? found[path] : Stored{};
        EXPECT_NE(std::find(may.begin(), may.end(), now), may.end())
            << path << " holds " << (now.present ? "a profile" : "none") << " that no call left there";
    }
    std::printf("calls made %d, acknowledged %d, kills %d, kills during a call in flight %d, files checked %zu; "
                "restarts took %.1f s in all\n",
                calls, acknowledged, kills, kills_in_flight, files.size(), restart_time);
    EXPECT_GT(kills_in_flight, 0);
    close(client.to);
    qvt::stop_daemon_env(&env);
}

long vm_rss_kib(pid_t pid)
{
    std::string status = qvt::read_file("/proc/" + std::to_string(pid) + "/status");
    auto at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// clients processes of calls mixed calls each, while camera nodes come and go.
void run_load(int clients, int calls)
{
    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb);
    if (why.empty())
        why = qvt::build_device_tree(qvt::sample_machine());
    if (why.empty())
        why = qvt::enter_private_netns();  // before the daemon, so its monitor listens here
    qvt::Bus bus;
    if (why.empty())
        why = qvt::start_bus(&sb, "system", &bus);
    if (why.empty())
        why = install_client(&sb);
    if (!why.empty()) {
        qvt::leave_sandbox(&sb);
        qvt::restore_netns();
        GTEST_SKIP() << why;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    for (int i = 0; i < 20; ++i) {
        QvProfile p;
        p.file = "/home/shared/" + std::to_string(i);
        p.rules.resize(1);
        p.rules[0].app_paths = {"/usr/bin/a", "/usr/bin/b"};
        p.rules[0].permission = 15;
        ASSERT_EQ(qv_set_profile(p), 0);
    }
    std::string stub = qvt::install_systemctl_stub(&sb);
    qvt::Proc daemon = qvt::spawn(&sb, {qvt::binary_path("tests/durability/monitored_daemon")},
                                  {"PATH=" + stub + ":/usr/bin:/bin"});
    ASSERT_TRUE(qvt::wait_for_name(bus.address, qvt::service_name)) << qvt::read_file(daemon.err_path);
    ASSERT_TRUE(qvt::wait_for_monitor()) << qvt::read_file(daemon.err_path);
    // Set after start-up, so only the monitor's handler can give /dev/video12 a copy.
    auto cam = qvt::dbus_send(qvt::camera_object, qvt::camera_iface, "Enable",
                              {"array:string:/usr/bin/cam", "boolean:true"});
    ASSERT_EQ(cam.status, 0) << cam.err;
    ASSERT_EQ(qvt::run({client_path, "load", "99", "300"}).status, 0);  // warm-up
    long rss_before = vm_rss_kib(daemon.pid);

    auto t0 = Clock::now();
    std::vector<qvt::Proc> procs;
    for (int c = 0; c < clients; ++c)
        procs.push_back(qvt::spawn(&sb, {client_path, "load", std::to_string(c), std::to_string(calls)}));
    std::vector<int> status(clients, -1);
    int running = clients, events = 0;
    const qvt::DeviceEvent cycle[] = {{"add", "video12"}, {"remove", "video12"}, {"add", "video2"}, {"remove", "video2"}};
    while (running > 0) {
        ASSERT_EQ(qvt::send_device_event(cycle[events++ % 4]), 0);
        ASSERT_TRUE(qvt::wait_for_monitor_idle(daemon.pid));
        // Paced, so that node stores stay a share of the load, not all of it.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        running = 0;
        for (int c = 0; c < clients; ++c) {
            if (status[c] < 0)
                status[c] = qvt::wait_exit(procs[c].pid, 0);
            running += status[c] < 0;
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    long replies = 0;
    for (int c = 0; c < clients; ++c) {
        std::string out = qvt::read_file(procs[c].out_path);
        EXPECT_EQ(status[c], 0) << "client " << c << ": " << out << qvt::read_file(procs[c].err_path);
        long made = 0, answered = 0, failed = -1;
        std::sscanf(out.c_str(), "calls %ld replies %ld failures %ld", &made, &answered, &failed);
        EXPECT_EQ(answered, calls) << "client " << c;
        replies += answered;
    }
    long rss_after = vm_rss_kib(daemon.pid);
    std::printf("%d clients x %d calls: %.0f calls/s, replies %ld, device events %d, "
                "VmRSS before %ld KiB, after %ld KiB, growth %ld KiB\n",
                clients, calls, clients * calls / seconds, replies, events, rss_before, rss_after,
                rss_after - rss_before);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators hold freed memory back (quarantine, shadow),
    // so the resident size says nothing about leaks there.
    std::printf("resident growth not checked in a sanitizer build\n");
#else
    EXPECT_LE(rss_after - rss_before, 1024);
#endif

    ASSERT_TRUE(qvt::wait_for_monitor_idle(daemon.pid));
    for (const auto &name : qvt::regular_files(QV_STORE_DIR)) {
        QvProfile p;
        std::string why_not;
        EXPECT_EQ(qv_parse_profile(qvt::read_file(QV_STORE_DIR "/" + name), &p, &why_not), 0) << name << ": " << why_not;
    }
    for (const char *node : {"/dev/video12", "/dev/video2"}) {
        QvProfile p = qv_get_profile(node);
        ASSERT_EQ(p.rules.size(), 1u) << node;
        EXPECT_EQ(p.rules[0].app_paths, Strings{"/usr/bin/cam"}) << node;
    }
    EXPECT_EQ(kill(daemon.pid, 0), 0) << "the daemon died: " << qvt::read_file(daemon.err_path);
    // A sanitizer's report from the daemon (a data race between its threads).
    EXPECT_EQ(qvt::read_file(daemon.err_path).find("Sanitizer"), std::string::npos) << qvt::read_file(daemon.err_path);
    EXPECT_EQ(qvt::reply_int32(qvt::dbus_send(qvt::camera_object, qvt::camera_iface, "GetMode").out), 2);
    qvt::leave_sandbox(&sb);
    qvt::restore_netns();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(DurabilityLoad, EightClientsOfFiveThousandCalls) { run_load(8, 5000); }

// Small enough for a ThreadSanitizer build.
TEST(DurabilityLoad, TwoClientsOfFiveHundredCalls) { run_load(2, 500); }

}  // namespace
