// SPDX-License-Identifier: MIT
// The framer on byte/time streams. A row is a stream as a line hands it over (bytes with the
// times they became readable, the transport's calls between them) and what must come out: the
// packets, how each ends as the whole stream shows it (c clean, o open, b broken), and what is
// left: synced, bytes held, bytes passed over (-1: not checked), the quiet and settle times
// learnt (zero: not checked).
#include "framer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using std::chrono::milliseconds;
using us = std::chrono::microseconds;
using Time = Framer::Time;
using Bytes = std::vector<std::uint8_t>;

constexpr us kQuiet = std::chrono::duration_cast<us>(Framer::kQuietUart);
// Silence, unlike a gap before a chunk, must outlast any adapter's holding back.
constexpr us kIdle =
    std::chrono::duration_cast<us>(std::max(Framer::kQuietUart, Framer::kQuietUsb));
constexpr us kSettle = std::chrono::duration_cast<us>(Framer::kSettleMin);
constexpr us kChar{1042};
constexpr us kSpan = 9 * kChar;  // a packet's first byte to its last, at line pace
constexpr us kLater{milliseconds(500)};
constexpr us kSoon{milliseconds(1)};  // after a lose(), sooner than any pause

// Far from the clock's epoch, which a fresh framer takes for the time of the last byte.
Time at(us t) {
    return Time{} + std::chrono::hours(1) + t;
}

// Replies with the usual lead-in, and with another one a controller may choose.
const Packet kA = {0x55, 'a', 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
const Packet kB = {0x55, 'b', 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
const Packet kC = {0x55, 'c', 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
const Packet kD = {0x55, 'd', 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};
const Packet kU = {0x55, 'U', 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68};
const Packet kX = {0xaa, 'x', 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48};
const Packet kY = {0xaa, 'y', 0x51, 0x52, 0x53, 0x54, 0x56, 0x57, 0x58, 0x59};

// A held finger's report n; `low`, the low byte of X, at 0x55 reads as a lead-in.
Packet rep(int n, std::uint8_t low = 0x10) {
    return {0x55, 'T', 0x01, low, 0x02, static_cast<std::uint8_t>(0x60 + n), 0x01, 0, 0, 0};
}
// Reports from..to.
std::vector<Packet> reps(int from, int to, std::uint8_t low = 0x10) {
    std::vector<Packet> out;
    for (int n = from; n <= to; ++n) {
        out.push_back(rep(n, low));
    }
    return out;
}

void add(Bytes& out, const Bytes& b) {
    out.insert(out.end(), b.begin(), b.end());
}
void add(Bytes& out, const Packet& p) {
    out.insert(out.end(), p.begin(), p.end());
}
void add(Bytes& out, const std::vector<Packet>& ps) {
    for (const Packet& p : ps) {
        add(out, p);
    }
}
template <typename... T>
Bytes cat(const T&... parts) {
    Bytes out;
    (add(out, parts), ...);
    return out;
}
// Bytes [from, to) of a packet; its head, its tail (what is left when the head went unseen),
// and the packet with byte k lost on the line.
Bytes part(const Packet& p, std::size_t from, std::size_t to) {
    return {p.begin() + static_cast<std::ptrdiff_t>(from),
            p.begin() + static_cast<std::ptrdiff_t>(to)};
}
Bytes head(const Packet& p, std::size_t n) {
    return part(p, 0, n);
}
Bytes tail(const Packet& p, std::size_t n) {
    return part(p, p.size() - n, p.size());
}
Bytes without(const Packet& p, std::size_t k) {
    return cat(part(p, 0, k), part(p, k + 1, p.size()));
}
// A packet cut from these bytes.
template <typename... T>
Packet pk(const T&... parts) {
    const Bytes b = cat(parts...);
    Packet p{};
    EXPECT_EQ(b.size(), p.size());
    std::copy_n(b.begin(), std::min(b.size(), p.size()), p.begin());
    return p;
}

struct Ev {
    enum Kind { paced, chunk, lose, wrote, idle } kind;
    us t;
    Bytes data{};
};
// One byte per character time from t, as a line without a FIFO hands them over.
template <typename... T>
Ev in(us t, const T&... parts) {
    return {Ev::paced, t, cat(parts...)};
}
// Handed over together, as one read gets them.
template <typename... T>
Ev chunk(us t, const T&... parts) {
    return {Ev::chunk, t, cat(parts...)};
}
Ev lose(us t) {
    return {Ev::lose, t};
}
Ev wrote(us t) {
    return {Ev::wrote, t};
}
Ev idle(us t) {
    return {Ev::idle, t};
}

void apply(Framer& f, const Ev& e) {
    switch (e.kind) {
        case Ev::paced:
            for (std::size_t i = 0; i < e.data.size(); ++i) {
                f.feed(e.data[i], at(e.t + static_cast<int>(i) * kChar));
            }
            break;
        case Ev::chunk:
            f.feed(e.data.data(), e.data.size(), at(e.t));
            break;
        case Ev::lose:
            f.lose(at(e.t));
            break;
        case Ev::wrote:
            f.wrote(at(e.t));
            break;
        case Ev::idle:
            f.idle(at(e.t));
            break;
    }
}

struct Row {
    const char* name;
    std::vector<Ev> events;
    std::vector<Packet> packets;
    std::string ends;
    int synced = -1;
    int held = -1;
    int passed = -1;
    us quiet{};
    us settle{};
};

Row row(const char* name, std::vector<Ev> events, std::vector<Packet> packets, std::string ends,
        int synced = -1, int held = -1, int passed = -1, us quiet = {}, us settle = {}) {
    return {
        name,  std::move(events), std::move(packets), std::move(ends), synced, held, passed, quiet,
        settle};
}

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class Framing : public ::testing::TestWithParam<Row> {};

TEST_P(Framing, CutsTheStream) {
    const Row& row = GetParam();
    Framer f;
    for (const Ev& e : row.events) {
        apply(f, e);
    }
    std::vector<Packet> got;
    std::string ends;
    while (auto framed = f.next()) {
        got.push_back(framed->pkt);
        ends += "cob"[static_cast<int>(f.endOfLast() == Framer::End::open) +
                      2 * static_cast<int>(f.endOfLast() == Framer::End::broken)];
    }
    EXPECT_EQ(got, row.packets);
    EXPECT_EQ(ends, row.ends);
    if (row.synced >= 0) {
        EXPECT_EQ(f.synced(), row.synced == 1);
    }
    if (row.held >= 0) {
        EXPECT_EQ(f.held(), static_cast<std::size_t>(row.held));
    }
    if (row.passed >= 0) {
        EXPECT_EQ(f.discarded(), static_cast<std::size_t>(row.passed));
    }
    if (row.quiet != us{}) {
        EXPECT_EQ(std::chrono::duration_cast<us>(f.quiet()).count(), row.quiet.count());
    }
    if (row.settle != us{}) {
        EXPECT_EQ(std::chrono::duration_cast<us>(f.settle()).count(), row.settle.count());
    }
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// Opened on a tail and a whole packet; the last byte comes at kSoon + 12 kChar.
const Ev kOpen = in(kSoon, tail(kC, 3), kA);
constexpr us kOpenLast = kSoon + 12 * kChar;

// A quiet line: a pause frames what came before it, and after a packet a few character times
// confirm its end.
INSTANTIATE_TEST_SUITE_P(
    Pause, Framing,
    ::testing::Values(
        row("SilenceFramesWhatCameBefore", {lose({}), kOpen, idle(kOpenLast + kIdle)}, {kA}, "c", 1,
            0, 3),
        row("JustShortOfASilenceIsNone", {lose({}), kOpen, idle(kOpenLast + kIdle - us(1))}, {}, "",
            0, 13, 0),
        row("AByteAPauseAfterFramesWhatCameBefore", {lose({}), kOpen, in(kOpenLast + kQuiet, kB)},
            {kA, kB}, "co", 1, 0, 3),
        row("AByteJustShortOfAPauseAfterIsNone",
            {lose({}), kOpen, in(kOpenLast + kQuiet - us(1), kB)}, {}, "", 0, 23, 0),
        // A packet with another lead-in after the settle time is not in doubt: the second one
        // after it only puts its own end in doubt.
        row("SettleTimeConfirmsAnEnd", {in({}, kA), in(kSpan + kSettle, kX, kY), idle(kLater)},
            {kA, kX, kY}, "ccc", 1),
        row("JustBelowTheSettleTimeTheChainGoesOn",
            {in({}, kA), in(kSpan + kSettle - us(1), kX, kY), idle(kLater)}, {kA, kX}, "bb", 1, 0,
            10),
        row("SettleTimeWithNothingMore", {in({}, kA), idle(kSpan + kSettle)}, {kA}, "c"),
        row("JustBelowTheSettleTimeNothing", {in({}, kA), idle(kSpan + kSettle - us(1))}, {kA},
            "o")),
    rowName);

// Framing backwards from a pause: packets are taken back for as long as the lead-ins bear the
// count out; one with another lead-in only between two that have it.
INSTANTIATE_TEST_SUITE_P(
    Back, Framing,
    ::testing::Values(
        row("TailBeforeWholePacketsIsPassedOver",
            {lose({}), in(kSoon, tail(kC, 3), kA, kB), idle(kLater)}, {kA, kB}, "cc", 1, 0, 3),
        // Counted back from the pause, A's head would begin a packet; no lead-in there.
        row("ReplyCutShortSpoilsTheCount",
            {lose({}), in(kSoon, kA, head(kB, 6)), idle(kLater), in(kLater + kChar, kC),
             idle(2 * kLater)},
            {kC}, "c", 1, 0, 16),
        row("OtherLeadInFirst", {lose({}), in(kSoon, kX, kA), idle(kLater)}, {kA}, "c", 1, 0, 10),
        row("OtherLeadInBetween", {lose({}), in(kSoon, kA, kX, kB), idle(kLater)}, {kA, kX, kB},
            "ccc", 1, 0, 0),
        row("OtherLeadInLast", {lose({}), in(kSoon, kA, kX), idle(kLater)}, {}, "", 1, 0, 20),
        row("TwoOtherLeadIns", {lose({}), in(kSoon, kX, kY, kA), idle(kLater)}, {kA}, "c", 1, 0,
            20),
        // Opened amid stale bytes that a FIFO hands over after the command, and late for the
        // reply's last two bytes: that wait is no pause inside the reply.
        row("ReplyBehindStaleBytesToALateReader",
            {lose({}), chunk(kSoon, tail(kC, 8)), wrote(milliseconds(3)),
             chunk(milliseconds(10), tail(kD, 9), tail(kB, 3)),
             chunk(milliseconds(20), head(kA, 8)), chunk(milliseconds(34), tail(kA, 2)),
             idle(kLater)},
            {kA}, "c", 1, 0, 20),
        // The letter of a whole reply reads as a lead-in with less than a packet after it: no
        // reply coming in, since a pause follows the whole one.
        row("AReplyWholeBeforeAPause",
            {lose({}), wrote(kSoon), in(milliseconds(2), kU),
             in(milliseconds(2) + kSpan + kQuiet, kA), idle(kLater)},
            {kU, kA}, "cc", 1, 0, 0),
        // Its letter handed over as the write went out came before it.
        row("ALetterHandedOverWithTheWrite",
            {lose({}), in(kSoon, head(kU, 1)), chunk(milliseconds(7), tail(kU, 9)),
             wrote(milliseconds(7)), in(milliseconds(7) + kQuiet, kA), idle(kLater)},
            {kU, kA}, "cc", 1, 0, 0),
        // After a write to an empty line whole packets stand on their own, unless a lead-in
        // behind them, or a tail before them, shows the count is not theirs.
        row("AfterAWrite",
            {lose({}), wrote(milliseconds(5)), in(milliseconds(6), kX, kY), idle(kLater)}, {kX, kY},
            "cc", 1, 0, 0),
        row("AfterAWriteALeadInBehind",
            {lose({}), wrote(milliseconds(5)), in(milliseconds(6), kX, kA), idle(kLater)}, {kA},
            "c", 1, 0, 10),
        row("AfterAWriteATailBefore",
            {lose({}), wrote(milliseconds(5)), in(milliseconds(6), tail(kC, 3), kX), idle(kLater)},
            {}, "", 1, 0, 13),
        row("AWriteThatFoundBytesInHand",
            {lose({}), in(kSoon, kA, kX), wrote(kSoon + 4 * kChar), idle(kLater)}, {}, "", 1, 0,
            20),
        row("AWriteBeforeALoss",
            {in({}, kA), idle(milliseconds(20)), wrote(milliseconds(30)), lose(milliseconds(40)),
             in(milliseconds(41), kX), idle(kLater)},
            {kA}, "c", 1, 0, 10)),
    rowName);

// The chain of lead-ins: another lead-in is taken on trust until what follows bears it out.
INSTANTIATE_TEST_SUITE_P(
    Chain, Framing,
    ::testing::Values(
        row("LeadInConfirmsTheEnd", {in({}, kA, kB)}, {kA, kB}, "co"),
        row("OtherLeadInOnTrust", {in({}, kA, kX)}, {kA, kX}, "oo", 1),
        row("TrustBorneOutByALeadIn", {in({}, kA, kX, kB)}, {kA, kX, kB}, "cco"),
        row("TrustBorneOutByAPause", {in({}, kA, kX), idle(kLater)}, {kA, kX}, "cc"),
        row("TwoOtherLeadInsMeanTheCountSlipped", {in({}, kA, kX, kY)}, {kA, kX}, "bb", 0, 10, 0),
        row("ALostLeadInBreaksThePacketBefore", {in({}, kA, tail(kB, 9), kC, kD)},
            {kA, pk(tail(kB, 9), head(kC, 1))}, "bb"),
        row("AByteLostInsideLeavesThePacketBeforeClean", {in({}, kA, without(kB, 4), kC, kD)},
            {kA, pk(without(kB, 4), head(kC, 1)), pk(part(kC, 1, 10), head(kD, 1))}, "cbb", 0),
        // Bytes read together came out of a buffer: a short gap after them proves no end.
        row("AShortGapAfterABurstConfirmsNothing",
            {in({}, rep(1), rep(2)), chunk(milliseconds(30), without(kA, 7), head(rep(3), 1)),
             in(milliseconds(35), part(rep(3), 1, 10), rep(4), rep(5))},
            {rep(1), rep(2), pk(without(kA, 7), head(rep(3), 1)),
             pk(part(rep(3), 1, 10), head(rep(4), 1))},
            "ccbb", 0)),
    rowName);

// Opened on a steady stream through a 16550 UART: eight bytes at a time, as they fill its FIFO.
std::vector<Ev> fifo(const Bytes& bytes) {
    std::vector<Ev> events = {lose({})};
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const auto end = static_cast<std::ptrdiff_t>(std::min(bytes.size(), i + 8));
        events.push_back(
            {Ev::chunk, kSoon + static_cast<int>(i) * kChar,
             Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.begin() + end)});
    }
    return events;
}

const Packet kCut = {0x55, 0x0b, 0xa7, 0xa8, 0xa9, 0x55, 'T', 1, 2, 3};
const Packet kHeadReply = {0x55, 'F', 0xa7, 0x55, 'T', 0x05, 0x0b, 1, 2, 3};
const Packet kHeadReport = {0x55, 'T', 0xa7, 0x55, 'T', 0x55, 0x0b, 1, 2, 3};
const Packet kPlain = {0x55, 'F', 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 1, 2, 3};

// A line that is never quiet: three lead-ins ten bytes apart and no other place closer. A held
// finger whose X reads 0x55 has two such places per report; the touch letter tells them apart.
INSTANTIATE_TEST_SUITE_P(
    LeadIns, Framing,
    ::testing::Values(
        row("ThreeTenBytesApart", {lose({}), in(kSoon, tail(rep(0), 6), reps(1, 4))}, reps(1, 4),
            "ccco", 1, 0, 6),
        row("TwoAreNotEnough", {lose({}), in(kSoon, tail(rep(0), 6), reps(1, 2))}, {}, "", 0, 26,
            0),
        row("ACoordinateBeforeTheLeadIn",
            {lose({}), in(kSoon, tail(rep(0, 0x55), 9), reps(1, 7, 0x55))}, reps(1, 7, 0x55),
            "cccccco", 1, 0, 9),
        row("ACoordinateAfterTheLeadIn",
            {lose({}), in(kSoon, tail(rep(0, 0x55), 6), reps(1, 7, 0x55))}, reps(1, 7, 0x55),
            "cccccco", 1, 0, 6),
        row("ACoordinateForAWhile",
            {lose({}), in(kSoon, tail(rep(0, 0x55), 9), reps(1, 3, 0x55), reps(4, 9))},
            {rep(1, 0x55), rep(2, 0x55), rep(3, 0x55), rep(4), rep(5), rep(6), rep(7), rep(8),
             rep(9)},
            "cccccccco", 1, 0, 9),
        // The gaps between a FIFO's chunks are no pause.
        row("ThroughAUartFifo", fifo(cat(tail(rep(0), 7), reps(1, 8))), reps(1, 8), "ccccccco", 1,
            0, 7),
        // Cut at a coordinate that reads 0x55, reports chain as cleanly as at the
        // lead-ins; no touch reports with one's head at the same place twice give it
        // away. Once is a reply that happens to hold those bytes.
        row("HeadOfATouchTwice", {chunk({}, kCut, kCut)}, {kCut, kCut}, "cb", 0),
        row("HeadOfATouchInAReply", {chunk({}, kHeadReply, kHeadReport)}, {kHeadReply, kHeadReport},
            "co", 1),
        row("HeadOfATouchInReports", {chunk({}, kHeadReport, kHeadReport)},
            {kHeadReport, kHeadReport}, "co", 1),
        row("HeadOfATouchTwiceAPacketBetween", {chunk({}, kCut, kPlain, kCut)},
            {kCut, kPlain, kCut}, "ccb", 0),
        row("HeadOfATouchTwiceAReportBetween", {chunk({}, kHeadReply, kHeadReport, kHeadReply)},
            {kHeadReply, kHeadReport, kHeadReply}, "cco", 1)),
    rowName);

// What lose() lets go. (How much the framer holds, the framer fuzzer checks on every stream.)
INSTANTIATE_TEST_SUITE_P(
    Lose, Framing,
    ::testing::Values(
        row("LoseBreaksAnOpenEnd", {in({}, kA), lose(milliseconds(12))}, {kA}, "b", 0, 0, 0),
        row("LosePassesOverWhatIsInHand", {in({}, kA, head(kB, 4)), lose(milliseconds(20))}, {kA},
            "c", 0, 0, 4),
        row("LoseBreaksATrustedPacketAndItsVoucher", {in({}, kA, kX), lose(milliseconds(30))},
            {kA, kX}, "bb", 0),
        row("AfterLoseBytesWaitForAPause",
            {in({}, kA), idle(milliseconds(20)), lose(milliseconds(30)), in(milliseconds(31), kB)},
            {kA}, "c", 0, 10, 0),
        row("AfterLoseAPauseFramesThem",
            {in({}, kA), idle(milliseconds(20)), lose(milliseconds(30)), in(milliseconds(31), kB),
             idle(kLater)},
            {kA, kB}, "cc", 1, 0, 0)),
    rowName);

// A, then B in two bursts `gap` apart (a USB adapter's latency timer), then `after`.
std::vector<Ev> bursts(us gap, std::vector<Ev> after) {
    std::vector<Ev> events = {in({}, kA), idle(milliseconds(20)),
                              chunk(milliseconds(40), head(kB, 5)),
                              chunk(milliseconds(40) + gap, tail(kB, 5))};
    events.insert(events.end(), after.begin(), after.end());
    return events;
}
// What a gap between bursts teaches: the gap on the wire (the later burst's five bytes took
// their time on it first), half as much again.
constexpr us learnt(us gap) {
    return (gap - 4 * kChar) * 3 / 2;
}

// How long a pause must be on this line, and how long a packet's end takes to settle.
INSTANTIATE_TEST_SUITE_P(
    Learning, Framing,
    ::testing::Values(
        row("BurstsTeachHowLateTheLineIs", bursts(milliseconds(20), {idle(kLater)}), {kA, kB}, "cc",
            1, 0, 0, learnt(milliseconds(20)), milliseconds(25)),
        // A gap inside a packet longer again than what was learnt is a silence: it teaches
        // nothing.
        row("WhatItLearnsIsBounded",
            bursts(kIdle - milliseconds(1), {chunk(milliseconds(200), head(kC, 5)),
                                             chunk(milliseconds(265), tail(kC, 5)), idle(kLater)}),
            {kA, kB}, "cc", 1, 0, 10, learnt(kIdle - milliseconds(1))),
        // No adapter holds bytes back through a silence: B's head and tail are no packet.
        row("ASilenceInsideAPacketCutsIt", bursts(kIdle + 5 * kChar, {idle(kLater)}), {kA}, "c", 1,
            0, 10, kQuiet),
        row("AGapBelowQuietTeachesTheSettleTime", bursts(milliseconds(5), {idle(kLater)}), {kA, kB},
            "cc", 1, 0, 0, kQuiet, us(6250)),
        row("TheSettleTimeLearntHolds",
            bursts(milliseconds(5), {idle(kLater), in(kLater + kChar, kC),
                                     in(kLater + kChar + kSpan + milliseconds(5), kX, kY)}),
            {kA, kB, kC, kX}, "ccbb", 0, 10, 0, kQuiet, us(6250)),
        row("APacketCutWrongTeachesNothing",
            bursts(milliseconds(20), {in(milliseconds(61), kX, kY)}), {kA, kB, kX}, "cbb", 0, 10, 0,
            kQuiet),
        // Once learnt, 20 ms is no pause: X follows C directly, and Y shows the count slipped.
        row("WhatItLearnsHolds",
            bursts(milliseconds(20),
                   {in(milliseconds(60) + kChar, kC), in(milliseconds(80) + 10 * kChar, kX, kY)}),
            {kA, kB, kC, kX}, "ccbb", 0, 10, 0, learnt(milliseconds(20)))),
    rowName);

// The transport need look again though nothing arrives only while a pause could settle
// something.
TEST(Framer, SettlesAtAPauseOnlyWhileOneWouldTellSomething) {
    const struct {
        const char* name;
        std::vector<Ev> events;
        Time want;
    } cases[] = {
        {"just opened", {lose(milliseconds(3))}, at(milliseconds(3)) + kIdle},
        {"bytes of no known packet",
         {lose({}), in(kSoon, head(kA, 3))},
         at(kSoon + 2 * kChar) + kIdle},
        {"an open end", {in({}, kA)}, at(kSpan) + kSettle},
        {"bytes far apart",
         {in({}, kA), idle(milliseconds(20)), chunk(milliseconds(40), head(kB, 5)),
          chunk(milliseconds(45), tail(kB, 5))},
         at(milliseconds(45)) + us(6250)},
        {"an end confirmed", {in({}, kA), idle(kLater)}, Time::max()},
        // Confirmed by the next lead-in, but a silence would show that one cut short.
        {"the next one begun", {in({}, kA, head(kB, 3))}, at(12 * kChar) + kIdle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Framer f;
        for (const Ev& e : c.events) {
            apply(f, e);
        }
        EXPECT_EQ(f.settleAt(), c.want);
    }
}

}  // namespace
