// SPDX-License-Identifier: MIT
// The framer on byte/time streams: where it cuts packets and what it says about their ends.
// Every row is a stream as a line would hand it over (bytes with the times they became
// readable, and the calls the transport makes between them) and what must come out.
#include "framer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using End = Framer::End;
using Time = Framer::Time;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kQuiet = std::chrono::duration_cast<microseconds>(Framer::kQuietUart);
// Silence, unlike a gap before a chunk, must outlast any adapter's holding back.
constexpr auto kIdleQuiet =
    std::chrono::duration_cast<microseconds>(std::max(Framer::kQuietUart, Framer::kQuietUsb));
constexpr auto kSettle = std::chrono::duration_cast<microseconds>(Framer::kSettleMin);
// One character at 9600 baud with start and stop bits.
constexpr microseconds kChar{1042};
// From the first byte of a packet to its last, at line pace.
constexpr microseconds kPacketSpan = 9 * kChar;
// Long enough after anything for a pause, short of anything the framer might learn.
constexpr microseconds kLater{milliseconds(500)};

// Times in a row count from here; far from the clock's epoch, which a fresh framer takes for
// the time of the last byte.
Time at(microseconds t) {
    return Time{} + std::chrono::hours(1) + t;
}

// Replies: the usual lead-in, and another one a controller may choose.
const Packet kA = {0x55, 'a', 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
const Packet kB = {0x55, 'b', 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
const Packet kC = {0x55, 'c', 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
const Packet kD = {0x55, 'd', 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};
const Packet kX = {0xaa, 'x', 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48};
const Packet kY = {0xaa, 'y', 0x51, 0x52, 0x53, 0x54, 0x56, 0x57, 0x58, 0x59};

// A touch report of a held finger; `low` is the low byte of X (byte 3), the rest moves a
// little from report to report.
Packet report(std::uint8_t n, std::uint8_t low = 0x10) {
    return {0x55, 'T', 0x01, low, 0x02, static_cast<std::uint8_t>(0x60 + n), 0x01, 0, 0, 0};
}
// Reports whose X reads 0x55 in its low byte, as a lead-in would.
Packet ambiguous(std::uint8_t n) {
    return report(n, 0x55);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}
Bytes whole(const Packet& p) {
    return Bytes(p.begin(), p.end());
}
Bytes cat(std::initializer_list<Packet> packets) {
    Bytes out;
    for (const Packet& p : packets) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}
// Bytes [from, to) of a packet.
template <typename Seq>
Bytes part(const Seq& p, std::size_t from, std::size_t to) {
    return Bytes(p.begin() + static_cast<std::ptrdiff_t>(from),
                 p.begin() + static_cast<std::ptrdiff_t>(to));
}
Bytes head(const Packet& p, std::size_t n) {
    return part(p, 0, n);
}
// The last n bytes: what is left of a packet whose head went by unseen.
Bytes tail(const Packet& p, std::size_t n) {
    return part(p, p.size() - n, p.size());
}
// A packet with byte k lost on the line.
Bytes without(const Packet& p, std::size_t k) {
    return cat({part(p, 0, k), part(p, k + 1, p.size())});
}

Packet packet(const Bytes& bytes) {
    Packet p{};
    EXPECT_EQ(bytes.size(), p.size());
    std::copy_n(bytes.begin(), std::min(bytes.size(), p.size()), p.begin());
    return p;
}

struct Event {
    enum Kind { bytes, lose, wrote, idle } kind;
    microseconds time;
    Bytes data{};
    microseconds step{};  // between two bytes of data
};

Event in(microseconds t, Bytes data, microseconds step = kChar) {
    return {Event::bytes, t, std::move(data), step};
}
Event in(microseconds t, const Packet& p, microseconds step = kChar) {
    return in(t, whole(p), step);
}
Event lose(microseconds t) {
    return {Event::lose, t};
}
Event wrote(microseconds t) {
    return {Event::wrote, t};
}
Event idle(microseconds t) {
    return {Event::idle, t};
}

void apply(Framer& f, const Event& e) {
    switch (e.kind) {
        case Event::bytes:
            // Bytes handed over together are one chunk, as one read gets them.
            if (e.step == microseconds{}) {
                f.feed(e.data.data(), e.data.size(), at(e.time));
                break;
            }
            for (std::size_t i = 0; i < e.data.size(); ++i) {
                f.feed(e.data[i], at(e.time + static_cast<int>(i) * e.step));
            }
            break;
        case Event::lose:
            f.lose(at(e.time));
            break;
        case Event::wrote:
            f.wrote(at(e.time));
            break;
        case Event::idle:
            f.idle(at(e.time));
            break;
    }
}

struct Outcome {
    std::vector<Packet> packets;
    std::vector<End> ends;  // of each packet, as the whole stream shows it
    bool synced = false;
    std::size_t held = 0;
    std::size_t discarded = 0;
    Framer::Duration quiet{};
    Framer::Duration settle{};
};

Outcome run(Framer& f, const std::vector<Event>& events) {
    for (const Event& e : events) {
        apply(f, e);
    }
    Outcome out;
    while (auto framed = f.next()) {
        out.packets.push_back(framed->pkt);
        out.ends.push_back(f.endOfLast());
    }
    out.synced = f.synced();
    out.held = f.held();
    out.discarded = f.discarded();
    out.quiet = f.quiet();
    out.settle = f.settle();
    return out;
}

struct Row {
    const char* name;
    std::vector<Event> events;
    std::vector<Packet> packets;
    std::vector<End> ends;
    std::optional<bool> synced{};
    std::optional<std::size_t> held{};
    std::optional<std::size_t> discarded{};
    std::optional<Framer::Duration> quiet{};
    std::optional<Framer::Duration> settle{};
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

std::string hex(const Packet& p) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : p) {
        s += kHex[b >> 4];
        s += kHex[b & 0xf];
        s += ' ';
    }
    return s;
}

std::vector<std::string> hex(const std::vector<Packet>& packets) {
    std::vector<std::string> out;
    for (const Packet& p : packets) {
        out.push_back(hex(p));
    }
    return out;
}

const char* name(End e) {
    switch (e) {
        case End::open:
            return "open";
        case End::clean:
            return "clean";
        case End::broken:
            return "broken";
    }
    return "?";
}

std::vector<std::string> names(const std::vector<End>& ends) {
    std::vector<std::string> out;
    for (End e : ends) {
        out.emplace_back(name(e));
    }
    return out;
}

void check(const Row& row, const Outcome& got) {
    EXPECT_EQ(hex(got.packets), hex(row.packets));
    EXPECT_EQ(names(got.ends), names(row.ends));
    if (row.synced) {
        EXPECT_EQ(got.synced, *row.synced);
    }
    if (row.held) {
        EXPECT_EQ(got.held, *row.held);
    }
    if (row.discarded) {
        EXPECT_EQ(got.discarded, *row.discarded);
    }
    if (row.quiet) {
        EXPECT_EQ(std::chrono::duration_cast<microseconds>(got.quiet).count(),
                  std::chrono::duration_cast<microseconds>(*row.quiet).count());
    }
    if (row.settle) {
        EXPECT_EQ(std::chrono::duration_cast<microseconds>(got.settle).count(),
                  std::chrono::duration_cast<microseconds>(*row.settle).count());
    }
}

class Framing : public ::testing::TestWithParam<Row> {};

TEST_P(Framing, CutsTheStream) {
    Framer f;
    check(GetParam(), run(f, GetParam().events));
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// The line's pace after a lose(): the first byte comes before any pause could have passed.
constexpr microseconds kSoon{milliseconds(1)};

// --- a quiet line -------------------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    QuietGap, Framing,
    ::testing::Values(
        // Unsynced: a tail, then a whole packet; the last byte is at kSoon + 12 kChar.
        Row{"PauseOfExactlyQuietFramesWhatCameBefore",
            {lose({}), in(kSoon, cat({tail(kC, 3), whole(kA)})),
             idle(kSoon + 12 * kChar + kIdleQuiet)},
            {kA},
            {End::clean},
            true,
            0,
            3},
        Row{"ByteExactlyQuietAfterFramesWhatCameBefore",
            {lose({}), in(kSoon, cat({tail(kC, 3), whole(kA)})),
             in(kSoon + 12 * kChar + kQuiet, kB)},
            {kA, kB},
            {End::clean, End::open},
            true,
            0,
            3},
        Row{"JustBelowQuietIsNoPause",
            {lose({}), in(kSoon, cat({tail(kC, 3), whole(kA)})),
             idle(kSoon + 12 * kChar + kQuiet - microseconds(1))},
            {},
            {},
            false,
            13,
            0},
        // Synced: a few character times of silence after a packet are enough to confirm its
        // end. A packet with another lead-in after that is not in doubt, so the second one
        // after it only puts its own end in doubt.
        Row{"SettleTimeAfterAPacketConfirmsItsEnd",
            {in({}, kA), in(kPacketSpan + kSettle, cat({kX, kY})), idle(kLater)},
            {kA, kX, kY},
            {End::clean, End::clean, End::clean},
            true},
        Row{"JustBelowTheSettleTimeTheChainGoesOn",
            {in({}, kA), in(kPacketSpan + kSettle - microseconds(1), cat({kX, kY})), idle(kLater)},
            {kA, kX},
            {End::broken, End::broken},
            true,
            0,
            10},
        Row{"SettleTimeConfirmsWithNothingMoreComing",
            {in({}, kA), idle(kPacketSpan + kSettle)},
            {kA},
            {End::clean}},
        Row{"JustBelowTheSettleTimeNothingIsConfirmed",
            {in({}, kA), idle(kPacketSpan + kSettle - microseconds(1))},
            {kA},
            {End::open}}),
    rowName);

// --- framing backwards from a pause -------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    BackFraming, Framing,
    ::testing::Values(
        Row{"TailBeforeWholePacketsIsPassedOver",
            {lose({}), in(kSoon, cat({tail(kC, 3), whole(kA), whole(kB)})), idle(kLater)},
            {kA, kB},
            {End::clean, End::clean},
            true,
            0,
            3},
        // Counted back from the pause the head of A would begin a packet; no lead-in there.
        Row{"ReplyCutShortBeforeThePauseSpoilsTheCount",
            {lose({}), in(kSoon, cat({whole(kA), head(kB, 6)})), idle(kLater),
             in(kLater + kChar, kC), idle(2 * kLater)},
            {kC},
            {End::clean},
            true,
            0,
            16},
        // Stale bytes before the whole packets may have any values: a packet without the
        // lead-in is taken back from a pause only between two that have it.
        Row{"AnotherLeadInFirstIsNotBorneOut",
            {lose({}), in(kSoon, cat({kX, kA})), idle(kLater)},
            {kA},
            {End::clean},
            true,
            0,
            10},
        Row{"AnotherLeadInBetweenTwoIsBorneOut",
            {lose({}), in(kSoon, cat({kA, kX, kB})), idle(kLater)},
            {kA, kX, kB},
            {End::clean, End::clean, End::clean},
            true,
            0,
            0},
        Row{"AnotherLeadInLastBeforeThePauseIsNotBorneOut",
            {lose({}), in(kSoon, cat({kA, kX})), idle(kLater)},
            {},
            {},
            true,
            0,
            20},
        Row{"TwoOtherLeadInsInARowAreNotBorneOut",
            {lose({}), in(kSoon, cat({kX, kY, kA})), idle(kLater)},
            {kA},
            {End::clean},
            true,
            0,
            20},
        Row{"AfterAWriteToAnEmptyLineWholePacketsStandOnTheirOwn",
            {lose({}), wrote(milliseconds(5)), in(milliseconds(6), cat({kX, kY})), idle(kLater)},
            {kX, kY},
            {End::clean, End::clean},
            true,
            0,
            0},
        // A packet with the lead-in bears the count out from there on; what comes before it
        // without one is what the count-back makes of it, here nothing.
        Row{"AfterAWriteALeadInBehindThemSpoilsThat",
            {lose({}), wrote(milliseconds(5)), in(milliseconds(6), cat({kX, kA})), idle(kLater)},
            {kA},
            {End::clean},
            true,
            0,
            10},
        Row{"AfterAWriteATailBeforeThemSpoilsThat",
            {lose({}), wrote(milliseconds(5)), in(milliseconds(6), cat({tail(kC, 3), whole(kX)})),
             idle(kLater)},
            {},
            {},
            true,
            0,
            13},
        Row{"AWriteThatFoundBytesInHandVouchesForNothing",
            {lose({}), in(kSoon, cat({kA, kX})), wrote(kSoon + 4 * kChar), idle(kLater)},
            {},
            {},
            true,
            0,
            20},
        // The write was made while the boundaries were known; the loss came after it.
        Row{"AWriteBeforeALossVouchesForNothingAfterIt",
            {in({}, kA), idle(milliseconds(20)), wrote(milliseconds(30)), lose(milliseconds(40)),
             in(milliseconds(41), kX), idle(kLater)},
            {kA},
            {End::clean},
            true,
            0,
            10}),
    rowName);

// --- the chain of lead-ins ----------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    Chain, Framing,
    ::testing::Values(Row{"LeadInAfterAPacketConfirmsItsEnd",
                          {in({}, cat({kA, kB}))},
                          {kA, kB},
                          {End::clean, End::open}},
                      Row{"AnotherLeadInIsTakenOnTrust",
                          {in({}, cat({kA, kX}))},
                          {kA, kX},
                          {End::open, End::open},
                          true},
                      Row{"TrustIsBorneOutByTheNextLeadIn",
                          {in({}, cat({kA, kX, kB}))},
                          {kA, kX, kB},
                          {End::clean, End::clean, End::open}},
                      Row{"TrustIsBorneOutByAPause",
                          {in({}, cat({kA, kX})), idle(kLater)},
                          {kA, kX},
                          {End::clean, End::clean}},
                      Row{"TwoOtherLeadInsInARowMeanTheCountSlipped",
                          {in({}, cat({kA, kX, kY}))},
                          {kA, kX},
                          {End::broken, End::broken},
                          false,
                          10,
                          0},
                      // B's lead-in went missing: what is cut from B's rest begins with its letter.
                      Row{"ALostLeadInBreaksThePacketBeforeIt",
                          {in({}, cat({whole(kA), tail(kB, 9), whole(kC), whole(kD)}))},
                          {kA, packet(cat({tail(kB, 9), head(kC, 1)}))},
                          {End::broken, End::broken}},
                      Row{"AByteLostInsideAPacketLeavesTheOneBeforeItClean",
                          {in({}, cat({whole(kA), without(kB, 4), whole(kC), whole(kD)}))},
                          {kA, packet(cat({without(kB, 4), head(kC, 1)})),
                           packet(cat({part(kC, 1, 10), head(kD, 1)}))},
                          {End::clean, End::broken, End::broken},
                          false}),
    rowName);

// --- three lead-ins on a line that is never quiet -----------------------------------------

INSTANTIATE_TEST_SUITE_P(
    LeadIn, Framing,
    ::testing::Values(
        Row{"ThreeLeadInsTenBytesApart",
            {lose({}), in(kSoon, cat({tail(report(0), 6), whole(report(1)), whole(report(2)),
                                      whole(report(3)), whole(report(4))}))},
            {report(1), report(2), report(3), report(4)},
            {End::clean, End::clean, End::clean, End::open},
            true,
            0,
            6},
        Row{"TwoLeadInsAreNotEnough",
            {lose({}), in(kSoon, cat({tail(report(0), 6), whole(report(1)), whole(report(2))}))},
            {},
            {},
            false,
            26,
            0},
        // A held finger whose X reads 0x55 in its low byte: every report has two places that
        // look like its start, three bytes apart. Only the real one is followed by the touch
        // report's letter.
        Row{"CoordinateLikeALeadInBeforeTheLeadIn",
            {lose({}), in(kSoon, cat({tail(ambiguous(0), 9),
                                      cat({ambiguous(1), ambiguous(2), ambiguous(3), ambiguous(4),
                                           ambiguous(5), ambiguous(6), ambiguous(7)})}))},
            {ambiguous(1), ambiguous(2), ambiguous(3), ambiguous(4), ambiguous(5), ambiguous(6),
             ambiguous(7)},
            {End::clean, End::clean, End::clean, End::clean, End::clean, End::clean, End::open},
            true,
            0,
            9},
        Row{"CoordinateLikeALeadInAfterTheLeadIn",
            {lose({}), in(kSoon, cat({tail(ambiguous(0), 6),
                                      cat({ambiguous(1), ambiguous(2), ambiguous(3), ambiguous(4),
                                           ambiguous(5), ambiguous(6), ambiguous(7)})}))},
            {ambiguous(1), ambiguous(2), ambiguous(3), ambiguous(4), ambiguous(5), ambiguous(6),
             ambiguous(7)},
            {End::clean, End::clean, End::clean, End::clean, End::clean, End::clean, End::open},
            true,
            0,
            6},
        // The finger moves on after a few reports: the touch letter has told the real lead-ins
        // apart from the start.
        Row{"CoordinateLikeALeadInForAWhileIsSeenPast",
            {lose({}),
             in(kSoon, cat({tail(ambiguous(0), 9),
                            cat({ambiguous(1), ambiguous(2), ambiguous(3), report(4), report(5),
                                 report(6), report(7), report(8), report(9)})}))},
            {ambiguous(1), ambiguous(2), ambiguous(3), report(4), report(5), report(6), report(7),
             report(8), report(9)},
            {End::clean, End::clean, End::clean, End::clean, End::clean, End::clean, End::clean,
             End::clean, End::open},
            true,
            0,
            9}),
    rowName);

// A 16550 UART hands bytes over when eight are in its receive FIFO, or four character times
// after the last one: a steady stream comes in chunks of eight, eight character times apart.
std::vector<Event> fifo(microseconds t, const Bytes& bytes) {
    std::vector<Event> events;
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const std::size_t end = std::min(bytes.size(), i + 8);
        events.push_back(in(t + static_cast<int>(i) * kChar, part(bytes, i, end), {}));
    }
    return events;
}

std::vector<Event> opened(std::vector<Event> events) {
    events.insert(events.begin(), lose({}));
    return events;
}

INSTANTIATE_TEST_SUITE_P(
    Fifo, Framing,
    ::testing::Values(
        // The gaps between chunks are no pause: the lead-ins find the start.
        Row{"HeldFingerThroughAUartFifoAtOpen",
            opened(fifo(kSoon, cat({tail(report(0), 7),
                                    cat({report(1), report(2), report(3), report(4), report(5),
                                         report(6), report(7), report(8)})}))),
            {report(1), report(2), report(3), report(4), report(5), report(6), report(7),
             report(8)},
            {End::clean, End::clean, End::clean, End::clean, End::clean, End::clean, End::clean,
             End::open},
            true,
            0,
            7},
        // Opened in the middle of stale bytes that the FIFO hands over after the command, and
        // late for the last two bytes of the reply: that wait is no pause inside the reply.
        Row{"ReplyBehindStaleBytesToALateReader",
            {lose({}), in(kSoon, tail(kC, 8), {}), wrote(milliseconds(3)),
             in(milliseconds(10), cat({tail(kD, 9), tail(kB, 3)}), {}),
             in(milliseconds(20), head(kA, 8), {}), in(milliseconds(34), tail(kA, 2), {}),
             idle(kLater)},
            {kA},
            {End::clean},
            true,
            0,
            20}),
    rowName);

// A reply that lost a byte, read in one go with the lead-in of the report after it: the bytes
// came out of a buffer (a FIFO, an adapter, or a reader that was late), so a short wait for
// the next read proves nothing about where the packet ends.
INSTANTIATE_TEST_SUITE_P(
    Burst, Framing,
    ::testing::Values(Row{
        "AShortGapAfterABurstConfirmsNothing",
        {in({}, cat({report(1), report(2)})),
         in(milliseconds(30), cat({without(kA, 7), head(report(3), 1)}), {}),
         in(milliseconds(35), cat({part(report(3), 1, 10), whole(report(4)), whole(report(5))}))},
        {report(1), report(2), packet(cat({without(kA, 7), head(report(3), 1)})),
         packet(cat({part(report(3), 1, 10), head(report(4), 1)}))},
        {End::clean, End::clean, End::broken, End::broken},
        false}),
    rowName);

// --- what the framer holds, and what it lets go -------------------------------------------

Bytes noise(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(i % 0x50);  // never the lead-in
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    HoldAndLose, Framing,
    ::testing::Values(Row{"NeverMoreThanEightPacketsInHand",
                          {lose({}), in(kSoon, noise(200))},
                          {},
                          {},
                          false,
                          80,
                          120},
                      Row{"LoseBreaksAnEndStillOpen",
                          {in({}, kA), lose(milliseconds(12))},
                          {kA},
                          {End::broken},
                          false,
                          0,
                          0},
                      Row{"LosePassesOverAPacketInHand",
                          {in({}, cat({whole(kA), head(kB, 4)})), lose(milliseconds(20))},
                          {kA},
                          {End::clean},
                          false,
                          0,
                          4},
                      Row{"LoseBreaksATrustedPacketAndTheOneItVouchedFor",
                          {in({}, cat({kA, kX})), lose(milliseconds(30))},
                          {kA, kX},
                          {End::broken, End::broken},
                          false},
                      Row{"BytesRightAfterLoseWaitForAPause",
                          {in({}, kA), idle(milliseconds(20)), lose(milliseconds(30)),
                           in(milliseconds(31), kB)},
                          {kA},
                          {End::clean},
                          false,
                          10,
                          0},
                      Row{"APauseAfterLoseFramesThem",
                          {in({}, kA), idle(milliseconds(20)), lose(milliseconds(30)),
                           in(milliseconds(31), kB), idle(kLater)},
                          {kA, kB},
                          {End::clean, End::clean},
                          true,
                          0,
                          0}),
    rowName);

// --- how long a pause must be on this line, and how long a packet's end takes to settle ----

// A then B, B handed over in two bursts `gap` apart (a USB adapter's latency timer), then
// `after`.
// What a 20 ms gap between bursts teaches: the gap on the wire (the later burst's five bytes
// took their time on it first), half as much again.
constexpr auto kLearnt = (milliseconds(20) - 4 * kChar) * 3 / 2;

std::vector<Event> bursts(microseconds gap, std::vector<Event> after) {
    std::vector<Event> events = {in({}, kA), idle(milliseconds(20)),
                                 in(milliseconds(40), head(kB, 5), {}),
                                 in(milliseconds(40) + gap, tail(kB, 5), {})};
    events.insert(events.end(), after.begin(), after.end());
    return events;
}

INSTANTIATE_TEST_SUITE_P(
    QuietLearning, Framing,
    ::testing::Values(
        Row{"BurstsTeachHowLateTheLineHandsBytesOver",
            bursts(milliseconds(20), {idle(kLater)}),
            {kA, kB},
            {End::clean, End::clean},
            true,
            0,
            0,
            kLearnt,
            milliseconds(25)},
        // Learning lengthens the silence too, but what it learns from is shorter than a silence:
        // a gap inside a packet that is longer again than what was learnt is a silence, and
        // teaches nothing.
        Row{"WhatItLearnsIsBounded",
            bursts(kIdleQuiet - milliseconds(1),
                   {in(milliseconds(200), head(kC, 5), {}), in(milliseconds(265), tail(kC, 5), {}),
                    idle(kLater)}),
            {kA, kB},
            {End::clean, End::clean},
            true,
            0,
            10,
            (kIdleQuiet - milliseconds(1) - 4 * kChar) * 3 / 2},
        // No adapter holds bytes back through a silence: B's head was cut short there, and its
        // tail is no packet either.
        Row{"ASilenceInsideAPacketCutsIt",
            bursts(kIdleQuiet + 5 * kChar, {idle(kLater)}),
            {kA},
            {End::clean},
            true,
            0,
            10,
            kQuiet},
        // Below a pause, a gap still lengthens the settle time, up to a pause.
        Row{"AGapBelowQuietTeachesOnlyTheSettleTime",
            bursts(milliseconds(5), {idle(kLater)}),
            {kA, kB},
            {End::clean, End::clean},
            true,
            0,
            0,
            kQuiet,
            microseconds(6250)},
        Row{"TheSettleTimeLearntHoldsFromThenOn",
            bursts(milliseconds(5),
                   {idle(kLater), in(kLater + kChar, kC),
                    in(kLater + kChar + kPacketSpan + milliseconds(5), cat({kX, kY}))}),
            {kA, kB, kC, kX},
            {End::clean, End::clean, End::broken, End::broken},
            false,
            10,
            0,
            kQuiet,
            microseconds(6250)},
        Row{"APacketCutWrongTeachesNothing",
            bursts(milliseconds(20), {in(milliseconds(61), cat({kX, kY}))}),
            {kA, kB, kX},
            {End::clean, End::broken, End::broken},
            false,
            10,
            0,
            kQuiet},
        // Once learnt, a gap of 20 ms is no longer a pause: X follows C directly, and
        // Y after it shows the count slipped.
        Row{"WhatItLearnsHoldsFromThenOn",
            bursts(milliseconds(20), {in(milliseconds(60) + kChar, kC),
                                      in(milliseconds(80) + 10 * kChar, cat({kX, kY}))}),
            {kA, kB, kC, kX},
            {End::clean, End::clean, End::broken, End::broken},
            false,
            10,
            0,
            kLearnt}),
    rowName);

TEST(Framer, APacketCarriesWhenItsFirstAndLastBytesCame) {
    Framer f;
    for (const Event& e : bursts(milliseconds(20), {})) {
        apply(f, e);
    }
    auto a = f.next();
    auto b = f.next();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->first, at({}));
    EXPECT_EQ(a->last, at(kPacketSpan));
    EXPECT_EQ(b->first, at(milliseconds(40)));
    EXPECT_EQ(b->last, at(milliseconds(60)));
    EXPECT_FALSE(f.next());
}

// When the transport must look again though nothing arrives: only while a pause could still
// settle something.
TEST(Framer, SettlesAtAPauseOnlyWhileOneWouldTellSomething) {
    struct Case {
        const char* name;
        std::vector<Event> events;
        Time want;
    };
    const Case cases[] = {
        {"just opened", {lose(milliseconds(3))}, at(milliseconds(3)) + kIdleQuiet},
        {"bytes of no known packet",
         {lose({}), in(kSoon, head(kA, 3))},
         at(kSoon + 2 * kChar) + kIdleQuiet},
        {"a packet whose end is open", {in({}, kA)}, at(kPacketSpan) + kSettle},
        {"one whose own bytes came far apart",
         {in({}, kA), idle(milliseconds(20)), in(milliseconds(40), head(kB, 5), {}),
          in(milliseconds(45), tail(kB, 5), {})},
         at(milliseconds(45)) + microseconds(6250)},
        {"its end confirmed by a pause", {in({}, kA), idle(kLater)}, Time::max()},
        // Its end is confirmed by the next lead-in, but a silence would show that one cut short.
        {"the next one begun",
         {in({}, cat({whole(kA), head(kB, 3)}))},
         at(12 * kChar) + kIdleQuiet},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Framer f;
        for (const Event& e : c.events) {
            apply(f, e);
        }
        EXPECT_EQ(f.settleAt(), c.want);
    }
}

}  // namespace

namespace {

// Cut at a coordinate byte that reads 0x55, a held finger's reports chain as cleanly as at the
// real lead-ins; packets that are no touch reports but carry the head of one at the same place,
// twice in a row, give it away. Once is a reply that happens to hold those bytes.
TEST(Framer, PacketsHoldingTheHeadOfATouchReportWereCutWrong) {
    const Packet cut = {0x55, 0x0b, 0xa7, 0xa8, 0xa9, 0x55, 'T', 1, 2, 3};
    const Packet report = {0x55, 'T', 0xa7, 0x55, 'T', 0x55, 0x0b, 1, 2, 3};
    const Packet reply = {0x55, 'F', 0xa7, 0x55, 'T', 0x05, 0x0b, 1, 2, 3};
    const Packet plain = {0x55, 'F', 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 1, 2, 3};
    const struct {
        const char* name;
        std::vector<Packet> stream;
        End end;  // of the last packet
        bool synced;
    } cases[] = {
        {"twice at the same place", {cut, cut}, End::broken, false},
        {"once, in a reply", {reply, report}, End::open, true},
        {"in touch reports themselves", {report, report}, End::open, true},
        // Cut at the coordinate, a reply between two reports is cut as wrong, and holds no head.
        {"twice, a packet without it between", {cut, plain, cut}, End::broken, false},
        {"twice, a touch report between", {reply, report, reply}, End::open, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Framer f;
        Bytes bytes;
        for (const Packet& p : c.stream) {
            bytes.insert(bytes.end(), p.begin(), p.end());
        }
        f.feed(bytes.data(), bytes.size(), Framer::Clock::now());
        std::vector<Packet> got;
        while (const auto p = f.next()) {
            got.push_back(p->pkt);
        }
        EXPECT_EQ(got, c.stream);
        EXPECT_EQ(f.endOfLast(), c.end);
        EXPECT_EQ(f.synced(), c.synced);
    }
}

}  // namespace
