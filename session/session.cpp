// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_session: what a desktop session's autostart entry starts. It runs
// quorvane_notify on the block records of this user, wherever they come from:
// - the kernel module's event file exists: the notifier runs as it is;
// - the enforcement loader's record stream exists: it connects to the stream
//   and runs the notifier on it (standard input); when the stream ends (the
//   loader restarts) it reconnects with a bounded back-off and starts a fresh
//   notifier;
// - neither: no enforcement is installed, and it exits quietly with 0.
#include <libintl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "diag.h"
#include "enforce.h"

namespace {

constexpr char text_domain[] = "quorvane";
constexpr char locale_dir[] = "/usr/share/locale/";
constexpr char event_file[] = "/sys/kernel/security/quorvane/.notify";
// The notifier is installed beside this program; tests and the demo point
// this variable at a build tree's notifier.
constexpr char notifier_env[] = "QUORVANE_NOTIFIER";

// Waiting for the loader: 0.1 s, doubling up to 10 s between attempts. A
// stream that lived this long resets the wait.
constexpr int backoff_first_ms = 100;
constexpr int backoff_max_ms = 10000;
constexpr int stream_settled_s = 10;

std::string installed_notifier()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? n : 0);
    return path.substr(0, path.rfind('/') + 1) + "quorvane_notify";
}

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// Runs one notifier on the connected stream and waits for it: it ends when
// the loader closes the stream.
void run_notifier(int stream, const char *notifier)
{
    const pid_t launcher = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        QV_LOG(stderr, "%s: %s\n",
               // TRANSLATORS: logged when a session cannot show block
               // notifications; the system's reason follows.
               dgettext(text_domain, "Cannot pass block records to the notifier"), std::strerror(errno));
        return;
    }
    if (pid == 0) {
        // The notifier never outlives the session's launcher.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) < 0 || getppid() != launcher || dup2(stream, 0) < 0)
            _exit(0);
        execl(notifier, notifier, static_cast<char *>(nullptr));
        QV_LOG(stderr, "exec %s failed: %s\n", notifier, std::strerror(errno));
        _exit(127);
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void serve_stream(const char *notifier)
{
    int backoff_ms = backoff_first_ms;
    for (;;) {
        QvFd stream{qv_connect_record_stream()};
        time_t started = std::time(nullptr);
        if (stream.fd >= 0)
            run_notifier(stream.fd, notifier);
        if (stream.fd >= 0 && std::time(nullptr) - started >= stream_settled_s)
            backoff_ms = backoff_first_ms;
        poll(nullptr, 0, backoff_ms);
        backoff_ms = std::min(backoff_ms * 2, backoff_max_ms);
    }
}

}  // namespace

int main(int, char **)
{
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    std::setlocale(LC_ALL, "");
    bindtextdomain(text_domain, locale_dir);
    textdomain(text_domain);

    const char *from_env = std::getenv(notifier_env);
    const std::string notifier_path = from_env && *from_env ? from_env : installed_notifier();
    const char *notifier = notifier_path.c_str();

    if (exists(event_file)) {
        execl(notifier, notifier, static_cast<char *>(nullptr));
        QV_LOG(stderr, "exec %s failed: %s\n", notifier, std::strerror(errno));
        return 1;
    }
    // No kernel module and no loader: nothing is enforced, nothing to show.
    if (!exists(QV_NOTIFY_SOCKET))
        return 0;

    serve_stream(notifier);
}
