#include "common.h"

const char CAMERA_DEVPATH[] = "/dev/video0";
