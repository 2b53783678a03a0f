// SPDX-License-Identifier: GPL-2.0-or-later
#include "common.h"

const char CAMERA_DEVPATH[] = "/dev/video0";
