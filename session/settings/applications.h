// SPDX-License-Identifier: GPL-2.0-or-later
// Programs as the desktop shows them: the installed applications (.desktop
// entries) with the absolute path of the program each one runs, so a listed
// path appears under its application's name and icon.
#pragma once

#include <giomm/icon.h>

#include <string>
#include <vector>

struct Application {
    std::string name;        // the entry's name, or the path when there is none
    std::string executable;  // absolute path
    Glib::RefPtr<Gio::Icon> icon;  // may be empty
};

// The installed applications that name an executable found on PATH, by name.
std::vector<Application> installed_applications();

// The application of apps that runs path, or one made of the path alone.
Application application_for(const std::vector<Application> &apps, const std::string &path);
