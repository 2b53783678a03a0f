// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_session: what a desktop session's autostart entry starts. It runs
// quorvane_notify on the block records of this user, wherever they come from:
// - the kernel module's event file exists: the notifier runs as it is;
// - the enforcement loader's record stream exists: the notifier runs in a
//   private mount namespace (inside an unprivileged user namespace in which
//   the user keeps their uid) where the event file's path is a FIFO that this
//   program feeds from the stream; when the stream ends (the loader restarts)
//   it reconnects with a bounded back-off and starts a fresh notifier;
// - neither: no enforcement is installed, and it exits quietly with 0.
#include <fcntl.h>
#include <libintl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
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
constexpr char security_dir[] = "/sys/kernel/security";
constexpr char module_dir[] = "/sys/kernel/security/quorvane";
constexpr char event_file[] = "/sys/kernel/security/quorvane/.notify";
// The notifier is installed beside this program; tests and the demo point
// this variable at a build tree's notifier.
constexpr char notifier_env[] = "QUORVANE_NOTIFIER";

// Waiting for the loader: 0.1 s, doubling up to 10 s between attempts. A
// stream that lived this long resets the wait.
constexpr int backoff_first_ms = 100;
constexpr int backoff_max_ms = 10000;
constexpr int stream_settled_s = 10;

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

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

int write_text(const char *path, const std::string &text)
{
    Fd f{open(path, O_WRONLY | O_CLOEXEC)};
    if (f.fd < 0)
        return -errno;
    if (write(f.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return -errno;
    return 0;
}

// A user namespace mapping only our own ids, and in it a mount namespace in
// which the module's folder is an empty tmpfs of ours.
int enter_private_namespace()
{
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) < 0)
        return -errno;
    int r;
    if ((r = write_text("/proc/self/setgroups", "deny")) < 0 ||
        (r = write_text("/proc/self/uid_map", uid + " " + uid + " 1\n")) < 0 ||
        (r = write_text("/proc/self/gid_map", gid + " " + gid + " 1\n")) < 0)
        return r;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        mount("quorvane", security_dir, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=64k") < 0 ||
        mkdir(module_dir, 0755) < 0)
        return -errno;
    return 0;
}

int connect_stream()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, QV_NOTIFY_SOCKET);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        int err = -errno;
        close(fd);
        return err;
    }
    return fd;
}

pid_t start_notifier(const char *notifier)
{
    const pid_t launcher = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // The notifier never outlives the session's launcher.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) < 0 || getppid() != launcher)
        _exit(0);
    signal(SIGPIPE, SIG_DFL);
    execl(notifier, notifier, static_cast<char *>(nullptr));
    QV_LOG(stderr, "exec %s failed: %s\n", notifier, std::strerror(errno));
    _exit(127);
}

// Runs one notifier on a fresh FIFO at the event file's path and relays the
// stream's records into it until the stream ends (then the notifier reads
// the rest, meets the end of its file and exits) or the notifier exits.
int relay(int stream, const char *notifier)
{
    unlink(event_file);
    if (mkfifo(event_file, 0600) < 0)
        return -errno;
    // Our own read end keeps the FIFO open from the start, so neither open
    // waits and no record is lost before the notifier opens it.
    Fd keep{open(event_file, O_RDWR | O_NONBLOCK | O_CLOEXEC)};
    Fd fifo{open(event_file, O_WRONLY | O_NONBLOCK | O_CLOEXEC)};
    if (keep.fd < 0 || fifo.fd < 0)
        return -errno;
    pid_t pid = start_notifier(notifier);
    if (pid < 0)
        return -errno;
    Fd child{static_cast<int>(syscall(SYS_pidfd_open, pid, 0))};

    char record[QV_RECORD_SIZE];
    bool notifier_alive = true;
    for (;;) {
        pollfd fds[2] = {{stream, POLLIN, 0}, {child.fd, POLLIN, 0}};
        if (poll(fds, child.fd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents) {
            notifier_alive = false;
            break;
        }
        if (!fds[0].revents)
            continue;
        ssize_t n = recv(stream, record, sizeof record, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;  // the loader closed the stream
        // One whole record or nothing: a notifier that fell 64 records
        // behind misses this one rather than holding up the stream.
        if (n == static_cast<ssize_t>(QV_RECORD_SIZE))
            (void)!write(fifo.fd, record, sizeof record);
    }
    close(fifo.fd);
    fifo.fd = -1;
    close(keep.fd);
    keep.fd = -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return notifier_alive ? 0 : -ECHILD;
}

[[noreturn]] void serve_stream(const char *notifier)
{
    int backoff_ms = backoff_first_ms;
    for (;;) {
        Fd stream{connect_stream()};
        time_t started = std::time(nullptr);
        if (stream.fd >= 0) {
            int r = relay(stream.fd, notifier);
            if (r < 0 && r != -ECHILD)
                QV_LOG(stderr, "%s: %s\n",
                       // TRANSLATORS: logged when a session cannot show block
                       // notifications; the system's reason follows.
                       dgettext(text_domain, "Cannot pass block records to the notifier"), std::strerror(-r));
        }
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

    int r = enter_private_namespace();
    if (r < 0) {
        QV_LOG(stderr, "%s: %s\n",
               // TRANSLATORS: logged at login when the system refuses what
               // the notifier needs; the system's reason follows.
               dgettext(text_domain, "Block notifications are off: this system does not let users create a private namespace"),
               std::strerror(-r));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    serve_stream(notifier);
}
