// SPDX-License-Identifier: GPL-2.0-or-later
// Profile editing for the bus methods: one-rule profiles stored and deleted
// through libquorvane, the camera fan-out, and switching "quorvane.service".
#pragma once

#include <string>
#include <vector>

#include "quorvane.h"

// Stores the one-rule profile of filepath (fan-out when it is the camera's),
// then switches the unit. 0, or the failing step's negative result.
int set_profile(std::string filepath, const std::vector<std::string> &apps, const std::string &ownapp,
                PermitType type);

// Deletes the profile of filepath (fan-out when it is the camera's), then
// switches the unit. 0, or the negative result of the fan-out or else of the
// reload after the deletion (printed; the unit is then not switched).
int delete_profile(std::string filepath);

// Regular files directly in dir_path (symbolic links and subdirectories do not
// count), or -1 when it cannot be opened.
int get_dir_file_count(const char *dir_path);

// "systemctl enable quorvane.service" while a profile file exists, else
// "systemctl disable quorvane.service".
void set_service_status();
