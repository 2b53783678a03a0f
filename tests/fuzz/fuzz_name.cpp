// SPDX-License-Identifier: GPL-2.0-or-later
// Any bytes as a protected path: the path check and the profile file name.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_abort_on(fuzz_check_name(data, size));
    return 0;
}
