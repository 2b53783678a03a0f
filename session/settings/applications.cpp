// SPDX-License-Identifier: GPL-2.0-or-later
#include "applications.h"

#include <giomm/appinfo.h>
#include <glibmm/miscutils.h>
#include <glibmm/fileutils.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {

// An entry's program as the kernel will see it: found on PATH, links resolved.
std::string resolved(const std::string &executable)
{
    std::string found = executable.empty() || executable[0] == '/' ? executable
                                                                    : Glib::find_program_in_path(executable);
    char real[PATH_MAX];
    if (found.empty() || !realpath(found.c_str(), real))
        return "";
    return real;
}

}  // namespace

std::vector<Application> installed_applications()
{
    std::vector<Application> out;
    for (const auto &info : Gio::AppInfo::get_all()) {
        std::string exe = resolved(info->get_executable());
        if (!exe.empty() && info->should_show())
            out.push_back({info->get_display_name(), exe, info->get_icon()});
    }
    std::sort(out.begin(), out.end(), [](const Application &a, const Application &b) { return a.name < b.name; });
    return out;
}

Application application_for(const std::vector<Application> &apps, const std::string &path)
{
    for (const Application &a : apps)
        if (a.executable == path)
            return a;
    return {path, path, {}};
}
