// Throughput of the service's methods on a private system bus, each beside
// the bus's own round trip (Peer.Ping on the daemon) in the same run.
//
// Run as root: it makes a private mount namespace (tmpfs store, overlay
// /usr/bin), starts a dbus-daemon and quorvane_daemon, and removes them at the
// end. Enable needs an accepted caller, so the program copies itself to
// /usr/bin/nimbra-control-center inside the sandbox and runs that copy.
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "harness.h"
#include "quorvane.h"

namespace {

using BusRef = std::unique_ptr<sd_bus, qv_release<sd_bus_flush_close_unref>>;
using MessageRef = std::unique_ptr<sd_bus_message, qv_release<sd_bus_message_unref>>;
using Clock = std::chrono::steady_clock;

constexpr char service[] = "com.zentavo.Quorvane1";
constexpr char object[] = "/com/zentavo/Quorvane1";
constexpr char iface[] = "com.zentavo.Quorvane1";
constexpr char probe_path[] = "/home/bench/probe";

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Calls per second of n calls of f; exits on the first failed call.
double rate(int n, const std::function<int()> &f)
{
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        int r = f();
        if (r < 0) {
            std::fprintf(stderr, "call failed: %s\n", std::strerror(-r));
            std::exit(1);
        }
    }
    return n / seconds_since(t0);
}

int call(sd_bus *bus, const char *member, const char *types, const char *path)
{
    sd_bus_message *raw = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = types ? sd_bus_call_method(bus, service, object, iface, member, &error, &raw, types, path)
                  : sd_bus_call_method(bus, service, object, iface, member, &error, &raw, nullptr);
    MessageRef reply(raw);
    sd_bus_error_free(&error);
    return r;
}

int ping(sd_bus *bus)
{
    sd_bus_message *raw = nullptr;
    int r = sd_bus_call_method(bus, service, object, "org.freedesktop.DBus.Peer", "Ping", nullptr, &raw, nullptr);
    MessageRef reply(raw);
    return r;
}

// List, reading the array entry by entry (sd_bus_message_read_strv is
// quadratic in libsystemd 252). Returns the count read, or a negative errno.
int list(sd_bus *bus)
{
    sd_bus_message *raw = nullptr;
    int r = sd_bus_call_method(bus, service, object, iface, "List", nullptr, &raw, nullptr);
    MessageRef reply(raw);
    if (r < 0)
        return r;
    int count = 0;
    sd_bus_message_enter_container(reply.get(), 'a', "s");
    const char *s = nullptr;
    while (sd_bus_message_read(reply.get(), "s", &s) > 0)
        ++count;
    return count;
}

BusRef connect()
{
    sd_bus *raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) {
        std::fprintf(stderr, "cannot connect to the private system bus\n");
        std::exit(1);
    }
    return BusRef(raw);
}

// Calls per second of f and of Peer.Ping, measured in alternating blocks so
// that drift in the machine's load hits both alike.
std::pair<double, double> beside_ping(sd_bus *bus, int n, const std::function<int()> &f)
{
    const int blocks = 10;
    double f_time = 0, ping_time = 0;
    for (int b = 0; b < blocks; ++b) {
        ping_time += (n / blocks) / rate(n / blocks, [&] { return ping(bus); });
        f_time += (n / blocks) / rate(n / blocks, f);
    }
    return {n / f_time, n / ping_time};
}

void print_pair(const char *what, double calls, double ping_calls, double target)
{
    double ratio = calls / ping_calls;
    std::printf("%-34s %9.0f calls/s   Ping %9.0f calls/s   ratio %.2f (target >= %.2f: %s)\n", what, calls,
                ping_calls, ratio, target, ratio >= target ? "met" : "MISSED");
}

// The accepted caller: Enable n times, beside Ping.
int enable_client(int n)
{
    BusRef bus = connect();
    double pings = rate(n, [&] { return ping(bus.get()); });
    double enables = rate(n, [&] {
        sd_bus_message *raw = nullptr;
        int r = sd_bus_call_method(bus.get(), service, object, iface, "Enable", nullptr, &raw, "sasb",
                                   "/home/bench/enabled", 1, "/usr/bin/bench", 1);
        MessageRef reply(raw);
        return r;
    });
    std::printf("%.3f %.3f\n", enables, pings);
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (std::strcmp(qv_base_name(argv[0]), "nimbra-control-center") == 0)
        return enable_client(argc > 1 ? std::atoi(argv[1]) : 200);

    const int profiles = quick ? 2000 : 10000;
    const int n = quick ? 500 : 3000;
    const int list_n = quick ? 5 : 20;

    qvt::Sandbox sb;
    std::string why = qvt::enter_sandbox(&sb, {"size=256m,mode=0755", true});
    if (!why.empty()) {
        std::printf("bench_daemon skipped: %s\n", why.c_str());
        return 0;
    }
    qvt::Bus bus;
    why = qvt::start_bus(&sb, "system", &bus);
    if (!why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    std::string stub = qvt::install_systemctl_stub(&sb);
    qvt::Proc daemon = qvt::spawn(&sb, {qvt::binary_path("dbus/quorvane_daemon")}, {"PATH=" + stub + ":/usr/bin:/bin"});
    if (!qvt::wait_for_name(bus.address, service)) {
        std::fprintf(stderr, "quorvane_daemon did not start\n");
        return 1;
    }

    QvProfile p;
    p.file = probe_path;
    p.profile_mode = Enforce;
    p.rules.resize(1);
    p.rules[0].app_paths = {"/usr/bin/a", "/usr/bin/b"};
    p.rules[0].permission = 15;
    qv_set_profile(p);

    BusRef client = connect();
    std::printf("quorvane_daemon on a private bus, %d calls per figure%s\n", n, quick ? " (quick)" : "");
    rate(n / 10, [&] { return ping(client.get()); });  // warm-up
    auto [mode1, ping1] = beside_ping(client.get(), n, [&] { return call(client.get(), "GetMode", "s", probe_path); });
    print_pair("GetMode, 1 profile", mode1, ping1, 0.85);

    auto t0 = Clock::now();
    for (int i = 0; i < profiles; ++i) {
        p.file = "/home/bench/dir" + std::to_string(i);
        if (qv_set_profile(p) != 0) {
            std::fprintf(stderr, "cannot store profile %d\n", i);
            return 1;
        }
    }
    std::printf("stored %d more profiles in %.2f s\n", profiles, seconds_since(t0));

    auto [modeN, ping2] = beside_ping(client.get(), n, [&] { return call(client.get(), "GetMode", "s", probe_path); });
    auto [appsN, ping3] = beside_ping(client.get(), n, [&] { return call(client.get(), "GetApps", "s", probe_path); });
    print_pair("GetMode, many profiles", modeN, ping2, 0.85);
    print_pair("GetApps, many profiles", appsN, ping3, 0.85);
    double scale = modeN / mode1;
    std::printf("%-34s %.2f (target >= 0.90: %s)\n", "GetMode many / GetMode one", scale, scale >= 0.9 ? "met" : "MISSED");

    t0 = Clock::now();
    size_t parsed = qv_get_files().size();
    double parse_once = seconds_since(t0);
    int listed = 0;
    double list_rate = rate(list_n, [&] { return listed = list(client.get()); });
    double list_ratio = (1.0 / list_rate) / parse_once;
    std::printf("List of %d paths: %.1f calls/s (%.1f ms); reading and parsing %zu files once: %.1f ms; "
                "ratio %.2f (target <= 1.50: %s)\n",
                listed, list_rate, 1000.0 / list_rate, parsed, parse_once * 1000, list_ratio,
                list_ratio <= 1.5 ? "met" : "MISSED");

    // Enable through an accepted executable, with the recording systemctl.
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    self[len > 0 ? len : 0] = '\0';
    if (len > 0 && qvt::overlay_dir(&sb, "/usr/bin") == 0 &&
        qvt::run({"/bin/cp", self, "/usr/bin/nimbra-control-center"}).status == 0) {
        qvt::RunResult r = qvt::run({"/usr/bin/nimbra-control-center", std::to_string(quick ? 50 : 300)},
                                    {"PATH=/usr/bin:/bin"}, "", 600000);
        double enables = 0, pings = 0;
        if (r.status == 0 && std::sscanf(r.out.c_str(), "%lf %lf", &enables, &pings) == 2)
            std::printf("%-34s %9.0f calls/s   Ping %9.0f calls/s   ratio %.3f (stores, fsyncs and runs "
                        "systemctl once per call)\n",
                        "Enable", enables, pings, enables / pings);
        else
            std::printf("Enable: client failed: %s\n", r.err.c_str());
    }
    (void)daemon;
    qvt::leave_sandbox(&sb);
    return 0;
}
