// SPDX-License-Identifier: GPL-2.0-or-later
// Every input the fuzzers were seeded with or ever crashed on, judged again
// by the fuzzers' own invariants.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "harness.h"

namespace {

struct Target {
    const char *name;
    std::string (*check)(const uint8_t *, size_t);
};

const Target targets[] = {
    {"record", fuzz_check_record},
    {"profile", fuzz_check_profile},
    {"name", fuzz_check_name},
};

// ctest names each case by its target, not by the bytes of the row.
void PrintTo(const Target &t, std::ostream *os)
{
    *os << t.name;
}

class Replay : public testing::TestWithParam<Target> {};

TEST_P(Replay, EveryKeptInputHoldsTheInvariants)
{
    const Target &t = GetParam();
    size_t replayed = 0;
    for (const std::string dir : {"tests/fuzz/corpus/", "tests/fuzz/regressions/"}) {
        const std::string folder = qvt::source_path(dir + t.name);
        for (const std::string &file : qvt::regular_files(folder)) {
            const std::string input = qvt::read_file(folder + "/" + file);
            EXPECT_EQ(t.check(reinterpret_cast<const uint8_t *>(input.data()), input.size()), "")
                << dir << t.name << "/" << file;
            ++replayed;
        }
    }
    // A seed folder emptied by mistake would otherwise pass on nothing.
    EXPECT_GE(replayed, 5u) << "inputs of " << t.name;
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay, testing::ValuesIn(targets),
                         [](const testing::TestParamInfo<Target> &info) { return std::string(info.param.name); });

}  // namespace
