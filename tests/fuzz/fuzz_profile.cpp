// SPDX-License-Identifier: GPL-2.0-or-later
// A profile file's text: parsing, and the round trip through writing it back.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_abort_on(fuzz_check_profile(data, size));
    return 0;
}
