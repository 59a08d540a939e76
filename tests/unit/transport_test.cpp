// SPDX-License-Identifier: MIT
// Exchanges on a scripted line: which packet is the reply, what a failure says, how long it
// takes on the line's own clock.
#include "transport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scripted_line.h"

namespace {

using namespace std::chrono_literals;

const Packet kQuery = {0x55, 'f'};
const Packet kReply = {0x55, 'F', 0xa2, 8, 16, 4, 0xa6, 0xa7, 0xa8, 0xa9};
const Packet kOther = {0x55, 'G', 0xb2, 9, 17, 5, 0xb6, 0xb7, 0xb8, 0xb9};
const Packet kTrailer = {0x55, 'Z', 1, 2, 3, 4, 5, 6, 7, 8};
const Packet kTouch = {0x55, 'T', 0x01, 0x00, 0x02, 0xda, 0x02, 0, 0, 0};
// A reply with the lead-in's value among its data: where a lost byte could hide.
const Packet kLeadInside = {0x55, 'F', 0xa2, 0x55, 16, 4, 0xa6, 0xa7, 0xa8, 0xa9};

Bytes head(const Packet& p, std::size_t n) {
    return Bytes(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(n));
}
Bytes without(const Packet& p, std::size_t k) {
    Bytes b(p.begin(), p.end());
    b.erase(b.begin() + static_cast<std::ptrdiff_t>(k));
    return b;
}
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

enum class Op { command, query, queryTrailer, twoCommands };

struct Row {
    const char* name;
    Op op;
    std::vector<Answer> answers;
    Status::Kind want;
    std::size_t sent;
    std::optional<Packet> reply{};  // what a query leaves in its packet
    Duration within = 2100ms;       // the whole operation, on the line's clock
    std::vector<Piece> atOpen{};    // on the line before the first command
};

Row row(const char* name, Op op, std::vector<Answer> answers, Status::Kind want, std::size_t sent,
        std::optional<Packet> reply = {}, Duration within = 2100ms,
        std::vector<Piece> atOpen = {}) {
    return {name, op, std::move(answers), want, sent, reply, within, std::move(atOpen)};
}

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

constexpr Duration kPacketTime = 10 * kByteTime;
const Bytes kR = bytesOf({kReply});

class Exchange : public ::testing::TestWithParam<Row> {};

TEST_P(Exchange, TakesOnlyTheReply) {
    const Row& row = GetParam();
    ScriptedLine line(answering(row.answers));
    for (const Piece& p : row.atOpen) {
        p(line, Packet{});
    }
    Transport t(line, Framer::kQuietUart);
    const Time start = line.now();
    Packet pkt = kQuery;
    Status s;
    switch (row.op) {
        case Op::command:
            s = t.command(pkt);
            break;
        case Op::query:
            s = t.query(pkt);
            break;
        case Op::queryTrailer:
            s = t.query(pkt, 1);
            break;
        case Op::twoCommands:
            s = t.command(pkt);
            if (s.ok()) {
                // The second one costs no more than the line's time.
                const Time second = line.now();
                s = t.command(pkt);
                EXPECT_LT(line.now() - second, 2 * kPacketTime + 2ms);
            }
            break;
    }
    EXPECT_EQ(s.kind, row.want);
    EXPECT_EQ(line.written.size(), row.sent);
    EXPECT_EQ(pkt, row.reply.value_or(kQuery));
    EXPECT_LE(line.now() - start, row.within);
    EXPECT_EQ(t.dead(), row.want == Status::endOfFile || row.want == Status::echoOnly);
    if (t.dead()) {
        // Nothing more goes out, nothing more is said.
        const std::size_t before = line.written.size();
        EXPECT_EQ(t.command(pkt).kind, Status::silent);
        EXPECT_EQ(t.query(pkt).kind, Status::silent);
        EXPECT_EQ(t.next(pkt, kNever).kind, Status::silent);
        EXPECT_EQ(line.written.size(), before);
    }
}

const Row kRows[] = {
    row("ReplyAtOnce", Op::query, {{once(1ms, kR)}}, Status::done, 1, kReply, 2ms),
    row("SilenceTimesOut", Op::command, {}, Status::timeout, 1, {}, 2001ms),
    row("ReplyCutShortIsAskedAgainThenGivenUp", Op::query,
        {{once(1ms, head(kReply, 4))}, {once(1ms, head(kReply, 4))}}, Status::timeout, 2, {},
        4100ms),
    row("ReplyCutShortOnceIsAskedAgain", Op::query, {{once(1ms, head(kReply, 4))}, {once(1ms, kR)}},
        Status::done, 2, kReply, 2100ms),
    row("TouchReportsBeforeTheReplyArePassedOver", Op::query,
        {{once(1ms, bytesOf({kTouch, kTouch, kReply}))}}, Status::done, 1, kReply),
    row("TouchReportsDoNotExtendTheWait", Op::command,
        {{paced(0ms, bytesOf({kTouch, kTouch, kTouch, kTouch, kTouch, kTouch, kTouch, kTouch})),
          once(1000ms, bytesOf({kTouch})), once(1990ms, bytesOf({kTouch})),
          once(2050ms, bytesOf({kTouch}))}},
        Status::timeout, 1, {}, 2001ms),
    row("PacketBeforeTheCommandIsPassedOver", Op::query, {{once(1ms, kR)}}, Status::done, 1, kReply,
        45ms, {once(0ms, bytesOf({kOther}))}),
    // Opened halfway through a packet: its tail, glued to the reply by a FIFO.
    row("StaleTailAtOpenIsPassedOver", Op::query,
        {{once(8ms, cat(Bytes{0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}, head(kReply, 2))),
          once(14ms, Bytes(kReply.begin() + 2, kReply.end()))}},
        Status::done, 1, kReply, 2100ms),
    row("EchoIsPassedOver", Op::query, {{echo(), paced(11ms, kR)}}, Status::done, 1, kReply, 25ms),
    row("EchoOnlyEndsTheRun", Op::query, {{echo()}}, Status::echoOnly, 1, {}, 2001ms),
    row("ZerosAreNoReply", Op::query, {{once(1ms, Bytes(10, 0))}, {once(1ms, Bytes(10, 0))}},
        Status::noLeadIn, 2, {}, 4100ms),
    // What acknowledges a command is not used: its place is enough.
    row("AnAcknowledgementCountsByItsPlace", Op::command, {{once(1ms, Bytes(10, 0))}}, Status::done,
        1, {}, 45ms),
    // QEMU's 8250: the FIFO's eight bytes at once, the rest four character times later; the
    // reply, however soon, is the reply, and the next one is taken at once.
    row("FastLineReplyInFifoChunks", Op::twoCommands,
        {{once(500us, head(kReply, 8)), once(7ms, Bytes(kReply.begin() + 8, kReply.end()))},
         {once(500us, head(kReply, 8)), once(7ms, Bytes(kReply.begin() + 8, kReply.end()))}},
        Status::done, 2, {}, 300ms),
    // The same FIFO holding the last byte back longer than a pause, on a line just opened.
    // Once, what else might answer is waited for.
    row("FastLineLastByteHeldBack", Op::query,
        {{once(900us, head(kReply, 9)), once(9900us, Bytes{kReply[9]})}}, Status::done, 1, kReply,
        270ms),
    // Sent right after the last reply, it reaches us after the next command went out. (On a
    // line just opened, a pause shows where the packets begin.)
    row("PacketRightAfterTheCommandIsNotItsReply", Op::query,
        {{paced(200us, bytesOf({kOther})), paced(kPacketTime + 1ms, kR)}}, Status::done, 1, kReply,
        65ms),
    // The same, with the reply held back as a loaded machine or an adapter may: still not it.
    row("PacketRightAfterTheCommandWhileTheReplyIsLate", Op::query,
        {{paced(200us, bytesOf({kOther})), paced(kPacketTime + 200ms, kR)}}, Status::done, 1,
        kReply, 300ms),
    row("HangUpInsteadOfAReply", Op::query, {{hangUp(1ms)}}, Status::endOfFile, 1, {}, 2ms),
    row("HangUpHalfwayThroughAReply", Op::command, {{once(1ms, head(kReply, 4)), hangUp(2ms)}},
        Status::endOfFile, 1, {}, 3ms),
    // A stray byte after a reply that could hide a lost one: only the hang-up ends the wait.
    row("HangUpWhileAReplysEndIsAwaited", Op::query,
        {{once(1ms, cat(bytesOf({kLeadInside}), Bytes{0x33})), hangUp(30ms)}}, Status::endOfFile, 1,
        {}, 31ms),
    row("HangUpBeforeTheTrailer", Op::queryTrailer, {{once(1ms, kR), hangUp(3ms)}},
        Status::endOfFile, 1, {}, 4ms),
    // A byte lost on a busy line: the next packet's lead-in moves into the reply.
    row("LostByteOnABusyLineIsAskedAgain", Op::query,
        {{paced(11ms, cat(without(kLeadInside, 7), bytesOf({kTouch, kTouch})))},
         {paced(11ms, bytesOf({kLeadInside}))}},
        Status::done, 2, kLeadInside, 150ms),
    // Bytes passed over since the command (a silence cut them short) may have been its reply.
    row("BytesPassedOverAfterTheCommandSpoilWhatFollows", Op::query,
        {{paced(11ms, Bytes{1, 2, 3, 4, 5}), paced(70ms, bytesOf({kOther}))}, {once(1ms, kR)}},
        Status::done, 2, kReply, 100ms),
    row("TrailerMissingIsAskedAgainAndTheReplyKept", Op::queryTrailer,
        {{once(1ms, kR)}, {once(1ms, kR)}}, Status::timeout, 2, kReply, 4100ms),
    row("ReplyAndTrailer", Op::queryTrailer, {{once(1ms, bytesOf({kReply, kTrailer}))}},
        Status::done, 1, kReply, 2ms),
    // Without the lead-in's value after its own, no byte can have been lost unseen: no
    // waiting for what follows.
    row("PacedReplyIsTakenAsItsLastByteComes", Op::query, {{paced(kPacketTime, kR)}}, Status::done,
        1, kReply, 2 * kPacketTime + 1ms),
};

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Line, Exchange, ::testing::ValuesIn(kRows), rowName);

// Opened mid-packet, and under load the FIFO hands the rest of it over after a pause: what
// follows the pause is framed from the reply's lead-in, not from the stale bytes.
TEST(Transport, StaleBytesAcrossAPauseFrameNoPacket) {
    ScriptedLine line(answering({{once(1ms, Bytes{0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}),
                                  once(20ms, Bytes{0x69, 0x6a, 0x6b, 0x6c}), once(24ms, kR)}}));
    std::string trace;
    Transport t(line, Framer::kQuietUart, [&](const std::string& s) { trace += s; });
    EXPECT_TRUE(t.command(kQuery).ok());
    EXPECT_EQ(trace, "--> " + formatPacket(kQuery) + "<-- " + formatPacket(kReply));
}

TEST(Transport, WhatFailsSaysSo) {
    struct Case {
        const char* name;
        long takes;  // bytes the line takes of a write; 0: none, ever
        Duration stop;
        std::string message;
    };
    const Case cases[] = {
        {"short write", 4, 1h, "Short packet read. Excpected 10 got 4\n"},
        {"line stopped", 0, 1h, "Timeout while writing packet\n"},
        {"stop signal", -1, 0ms, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLine line;
        line.takeOnly(c.takes);
        line.stopAt(c.stop);
        Transport t(line, Framer::kQuietUart);
        const Status s = t.command(kQuery);
        EXPECT_FALSE(s.ok());
        EXPECT_EQ(describe(s, "/dev/tpanel"), c.message);
        EXPECT_FALSE(t.dead());
    }
}

}  // namespace
