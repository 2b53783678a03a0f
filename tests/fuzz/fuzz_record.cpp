// SPDX-License-Identifier: GPL-2.0-or-later
// One notifier block record (1024 bytes; shorter inputs fill a template record,
// longer ones are cut) through splitting and the bus-free notification.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_abort_on(fuzz_check_record(data, size));
    return 0;
}
