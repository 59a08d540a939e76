// SPDX-License-Identifier: MIT
// The emulator's faults: what --fault takes, and what each puts on the line.
#include "faults.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using emu::Fault;
using emu::FaultPlan;
using emu::Outgoing;
using Bytes = std::vector<std::uint8_t>;

TEST(FaultPlan, TakesTheSyntaxesAndSaysWhatIsWrong) {
    const std::string longest = "1:reply:" + std::string(128, 'a');
    const std::string tooLong = longest + "aa";
    const struct {
        const char* spec;
        const char* error;  // empty: taken
    } cases[] = {
        {"2:reply:55aB", ""},
        {"echoes", "expected echo, loopback or N:KIND"},
        {"1:echo", "unknown fault 'echo'"},
        {"1:zeros:3", "'zeros' takes no argument"},
        {"1:reply", "'reply' needs an argument"},
        {"1:reply:5", "bad argument '5'"},
        {"1:reply:5x", "bad argument '5x'"},
        {longest.c_str(), ""},
        {tooLong.c_str(), "bad argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spec);
        FaultPlan plan;
        std::string error;
        EXPECT_EQ(plan.add(c.spec, error), *c.error == '\0');
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(FaultPlan, WhatEachPutsOnTheLineInPlaceOfTheAnswer) {
    const Packet reply{0x55, 'O', 1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<Packet> answer{reply, reply};
    const Bytes reply0(reply.begin(), reply.end());
    const struct {
        std::vector<std::string> specs;
        unsigned exchange;
        std::vector<Outgoing> out;
        bool echo;
    } cases[] = {
        {{"echo"}, 4, {{reply0, "reply"}, {reply0, "reply"}}, true},
        {{"loopback"}, 0, {}, true},
        {{"1:zeros"}, 1, {{Bytes(10, 0), "zeros"}}, false},
        {{"1:zeros"}, 0, {{reply0, "reply"}, {reply0, "reply"}}, false},
        {{"3:reply:5541aa"}, 3, {{{0x55, 0x41, 0xaa}, "injected"}}, false},
        {{"3:reply:5541aa", "3:short:2"}, 3, {{{0x55, 0x41}, "injected"}}, false},
        {{"3:noise", "3:drop:0"}, 3, {{emu::noiseBytes(3), "noise", 0}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.specs.back());
        FaultPlan plan;
        std::string error;
        for (const std::string& spec : c.specs) {
            ASSERT_TRUE(plan.add(spec, error)) << error;
        }
        const Fault f = plan.at(c.exchange);
        EXPECT_EQ(f.echo, c.echo);
        const std::vector<Outgoing> got = emu::shapeReplies(answer, f);
        ASSERT_EQ(got.size(), c.out.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].bytes, c.out[i].bytes);
            EXPECT_EQ(got[i].kind, c.out[i].kind);
            EXPECT_EQ(got[i].lost, c.out[i].lost);
        }
    }
}

TEST(FaultPlan, NoiseRepeatsAndNeverBearsALeadIn) {
    for (unsigned seed = 0; seed < 500; ++seed) {
        const Bytes noise = emu::noiseBytes(seed);
        ASSERT_EQ(noise.size(), 10u);
        EXPECT_EQ(std::count(noise.begin(), noise.end(), 0x55), 0);
        EXPECT_EQ(noise, emu::noiseBytes(seed));
        EXPECT_NE(noise, emu::noiseBytes(seed + 1));
    }
}

}  // namespace
