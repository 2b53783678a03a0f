// SPDX-License-Identifier: GPL-2.0-or-later
#include "path_watch.h"

#include <sys/inotify.h>

#include <cerrno>
#include <climits>

namespace {

constexpr uint32_t folder_events = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

int watch_open(PathWatch *w)
{
    w->inotify.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return w->inotify.fd < 0 ? -errno : 0;
}

size_t watch_paths(PathWatch *w, const std::vector<std::string> &paths)
{
    // The folders on the way, each with the names that matter in it.
    std::map<std::string, std::set<std::string>> ways;
    for (const auto &path : paths) {
        if (path.empty() || path[0] != '/')
            continue;
        std::string folder = "/";
        size_t i = 1;
        while (i < path.size()) {
            size_t j = path.find('/', i);
            if (j == std::string::npos)
                j = path.size();
            if (j > i) {
                const std::string name = path.substr(i, j - i);
                ways[folder].insert(name);
                folder += (folder.size() > 1 ? "/" : "") + name;
            }
            i = j + 1;
        }
    }
    std::map<int, std::set<std::string>> now;
    size_t unwatched = 0;
    for (const auto &[folder, names] : ways) {
        if (now.size() >= QV_WATCH_FOLDERS_MAX) {
            ++unwatched;
            continue;
        }
        // A folder that does not exist yet is covered by the one above it.
        int wd = inotify_add_watch(w->inotify.fd, folder.c_str(), folder_events);
        if (wd >= 0)
            now[wd].insert(names.begin(), names.end());
    }
    for (const auto &[wd, names] : w->names)
        if (!now.count(wd))
            inotify_rm_watch(w->inotify.fd, wd);
    w->names = std::move(now);
    return unwatched;
}

bool watch_changed(PathWatch *w)
{
    alignas(inotify_event) char buf[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool changed = false;
    for (;;) {
        ssize_t n = read(w->inotify.fd, buf, sizeof buf);
        if (n <= 0)
            return changed;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF)) {
                changed = true;
                continue;
            }
            auto names = w->names.find(e->wd);
            if (names != w->names.end() && e->len > 0 && names->second.count(e->name))
                changed = true;
        }
    }
}
