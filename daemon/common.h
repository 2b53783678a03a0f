// SPDX-License-Identifier: GPL-2.0-or-later
// Shared by quorvane_daemon and quorvane_notify: the camera's profile path
// and the one diagnostic macro every source file prints through.
#pragma once

#include "diag.h"

// The camera's protection profile is stored under this device node path.
extern const char CAMERA_DEVPATH[];
