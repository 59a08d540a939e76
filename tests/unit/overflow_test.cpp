// SPDX-License-Identifier: MIT
// Numbers with more digits than any field holds. Accumulated in 64 bits without a bound, a
// value wraps around modulo 2^64 and can come out small, or as -1: each of these would then be
// taken as a valid setting, or as an endless raw dump.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "main.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct Parse {
    Parsed parsed;
    Options opts;
    std::string err;
};

Parse parse(const std::string& option, const std::string& value) {
    std::vector<std::string> args = {"tavrinset", option, value};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Parse p{};
    CaptureStderr();
    p.parsed = parseOptions(static_cast<int>(args.size()), argv.data(), p.opts);
    p.err = GetCapturedStderr();
    return p;
}

TEST(NumberOverflow, ValuesThatWrapIntoRangeAreRefused) {
    struct Case {
        const char* option;
        const char* value;  // and what it wraps to
    };
    const Case cases[] = {
        {"--slen", "18446744073709551621"},                 // 2^64 + 5: 5
        {"--repeat", "18446744073709551616"},               // 2^64: 0
        {"-u", "340282366920938463463374607431768211461"},  // 2^128 + 5: 5
        {"--width", "18446744073709552416"},                // 2^64 + 800: 800
        {"--xlow", "-18446744073709551617"},                // -(2^64 + 1): -1
        {"-Y", "36893488147419103231"},                     // 2^65 - 1: -1
        {"--raw", "36893488147419103231"},                  // -1, a dump without end
        {"-r", "18446744073709551619"},                     // 2^64 + 3: 3
        {"-r", "-18446744073709551617"},                    // -(2^64 + 1): -1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + c.value);
        Parse p = parse(c.option, c.value);
        EXPECT_EQ(p.parsed, Parsed::error);
        EXPECT_EQ(p.err, std::string("tavrinset: invalid value '") + c.value + "' for " + c.option +
                             "\nTry 'tavrinset --help' for more information.\n");
    }
}

// However the bound is kept, it is on the value and not on the number of digits.
TEST(NumberOverflow, ManyLeadingZerosAreStillSmallNumbers) {
    Parse slen = parse("--slen", "000000000000000000000000000000255");
    EXPECT_EQ(slen.parsed, Parsed::run) << slen.err;
    EXPECT_EQ(slen.opts.filter.slen, 255);
    Parse raw = parse("--raw", "-000000000000000000000000000002147483648");
    EXPECT_EQ(raw.parsed, Parsed::run) << raw.err;
    EXPECT_EQ(raw.opts.raw, INT32_MIN);
}

}  // namespace
