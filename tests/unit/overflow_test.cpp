// SPDX-License-Identifier: MIT
// Numbers with more digits than any field holds. Accumulated in 64 bits without a bound, a
// value wraps around modulo 2^64 and can come out small, or as -1: each of these would then be
// taken as a valid setting, or as an endless raw dump.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "main.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// What parsing `option value` gives, and what it says.
Parsed parse(const std::string& option, const std::string& value, Options& opts, std::string& err) {
    std::vector<std::string> args = {"tavrinset", option, value};
    std::vector<char*> argv = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    CaptureStderr();
    const Parsed parsed = parseOptions(3, argv.data(), opts);
    err = GetCapturedStderr();
    return parsed;
}

TEST(NumberOverflow, ValuesThatWrapIntoRangeAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
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
    for (const auto& [option, value] : cases) {
        Options opts;
        std::string err;
        EXPECT_EQ(parse(option, value, opts, err), Parsed::error) << option << " " << value;
        EXPECT_EQ(err, std::string("tavrinset: invalid value '") + value + "' for " + option +
                           "\nTry 'tavrinset --help' for more information.\n");
    }
}

// However the bound is kept, it is on the value and not on the number of digits.
TEST(NumberOverflow, ManyLeadingZerosAreStillSmallNumbers) {
    Options opts;
    std::string err;
    EXPECT_EQ(parse("--slen", "000000000000000000000000000000255", opts, err), Parsed::run) << err;
    EXPECT_EQ(opts.filter.slen, 255);
    EXPECT_EQ(parse("--raw", "-000000000000000000000000000002147483648", opts, err), Parsed::run)
        << err;
    EXPECT_EQ(opts.raw, INT32_MIN);
}

}  // namespace
