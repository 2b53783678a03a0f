// SPDX-License-Identifier: GPL-2.0-or-later
// Caller vetting: who may change protection.
#pragma once

#include <sys/types.h>

#include <systemd/sd-bus.h>

#include <string>

// The executable path of the sender of m (its PID in pid), or "" when it
// cannot be learned.
std::string get_caller_apppath(sd_bus_message *m, pid_t *pid);

// 0 when caller_path is on the whitelist, else -1.
int check_caller(std::string caller_path, pid_t pid);

// polkit's answer for process pid (nothing in the service asks it): 0 when
// authorized, else -1.
int check_authorization(pid_t pid);

// Vets the sender of a changing call and fills caller_path, the profile's
// owner: 0, or -1 (or -ECANCELED when the user dismissed polkit's prompt).
int vet_caller(sd_bus_message *m, std::string *caller_path);
