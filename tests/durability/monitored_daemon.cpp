// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane_daemon with its camera hot-plug monitor running: the shipped
// start-up never starts the monitor, so the load test runs the same spine
// (main.cpp, its main renamed) with the monitor thread started first.
#include "camera.h"

int quorvane_main(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    init_device_camera_monitor();
    return quorvane_main(argc, argv);
}
