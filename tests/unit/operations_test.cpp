// SPDX-License-Identifier: MIT
// The operations against a scripted controller: what each sends, what it prints, and that
// nothing is built from what is not a reply. (Which bytes a write-back takes from the reply, the
// replies fuzzer checks on every input.)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics.h"
#include "rawdump.h"
#include "readback.h"
#include "scripted_line.h"
#include "settings.h"
#include "transport.h"

namespace {

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const Packet kAck = {0x55, 'a', 'k'};
// The controller's replies, letters of its own and no zero anywhere, so that a value taken from
// the wrong byte shows.
const Packet kFilter = {0x55, 'F', 0xa2, 8, 20, 3, 0xa6, 0xa7, 0xa8, 0xa9};
const Packet kMode = {0x55, 'O', 0x21, 0x05, 0x0e, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9};
const Packet kTrailer = {0x55, 'Z', 1, 2, 3, 4, 5, 6, 7, 8};

Answer reply(std::initializer_list<Packet> packets) {
    return {once(1ms, bytesOf(packets))};
}
Answer cut(const Packet& p, std::size_t n) {
    return {once(1ms, Bytes(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(n)))};
}
const Answer kSilence = {};
const Answer kZeros = {once(1ms, Bytes(10, 0))};
const Answer kEcho = {echo()};

struct Outcome {
    int result = 0;
    std::string out;
    std::string err;
    std::vector<Packet> sent;
};

Outcome run(std::vector<Answer> answers, const std::function<int(Transport&)>& op) {
    ScriptedLine line(answering(std::move(answers)));
    Transport t(line, Framer::kQuietUart, {}, "/dev/ttyS1");
    Outcome r;
    CaptureStdout();
    CaptureStderr();
    r.result = op(t);
    r.err = GetCapturedStderr();
    r.out = GetCapturedStdout();
    r.sent = line.written;
    return r;
}

using Op = std::function<int(Transport&)>;
// The filter set to slen 4, deviation 12, states 7, and the report to untouch 5, repeat 200, as
// far as mask names them.
Op filter(std::uint32_t mask) {
    return [mask](Transport& t) { return setFilter(t, {4, 12, 7}, mask); };
}
Op report(std::uint32_t mask) {
    return [mask](Transport& t) { return setReport(t, {5, 200}, mask); };
}

// No end-to-end group gives a bound below zero.
TEST(Commands, NegativeBoundsTravelAsTheirPattern) {
    const Outcome r =
        run({reply({kAck})}, [](Transport& t) { return setCalibration(t, 'x', -1, -32768); });
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.sent, (std::vector<Packet>{{0x55, 'C', 'X', 0xff, 0xff, 0x00, 0x80, 0, 0, 0}}));
}

// Silence, a reply cut short twice, zeros, a line that only echoes: no operation builds anything
// from them, and each says so once.
TEST(Operations, NothingIsBuiltFromWhatIsNoReply) {
    const std::string timeout = "Timeout while reading packet\n";
    const struct {
        std::vector<Answer> answers;
        std::size_t sent;
        std::string transport;  // what the transport says first
        bool gone;              // then nothing more
    } lines[] = {
        {{kSilence}, 1, timeout, false},
        {{cut(kFilter, 4), cut(kFilter, 4)}, 2, timeout, false},
        {{kZeros, kZeros},
         2,
         "Error while reading packet: no lead-in where the reply should begin\n",
         false},
        {{kEcho},
         1,
         "tavrinset: /dev/ttyS1 only echoes what is sent: no controller answers (a loopback or "
         "the wrong port?)\n",
         true},
    };
    bool ok = true;
    const std::pair<Op, std::string> ops[] = {
        {filter(7), "Filter parameters not changed\n"},
        {report(3), "Report parameters not changed\n"},
        {[](Transport& t) { return dumpRaw(t, 1) == Dumped::done ? 0 : -1; },
         "Raw dump not started: mode unknown\n"},
        {[&ok](Transport& t) { return runDiagnostics(t, 0x0f, ok); }, ""},
    };
    for (const auto& l : lines) {
        for (const auto& [op, message] : ops) {
            SCOPED_TRACE(l.transport + message);
            const Outcome r = run(l.answers, op);
            EXPECT_EQ(r.result, -1);
            EXPECT_EQ(r.err, l.transport + (l.gone ? "" : message));
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.sent.size(), l.sent);
        }
    }
    EXPECT_FALSE(ok);
}

Packet touch(std::uint16_t x, std::uint16_t y) {
    Packet pkt = {0x55, 'T'};
    putLe16(&pkt[at::touchX], x);
    putLe16(&pkt[at::touchY], y);
    return pkt;
}

const Packet kRawMode = {0x55, 'M', 0x21, 0x01, 0x00, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9};

TEST(RawDump, TheRestoreIsReadBackAndAMissedOneSaysHowToRedoIt) {
    const Packet rare = {0x55, 'O', 0x21, 0x01, 0x10, 0xa5};  // a bit no keyword names
    const std::string redo =
        "tavrinset: the panel may still be in raw mode; restore it with: tavrinset --mode "
        "touch,untouch,trim,calib,scale (0x05 0x0e)\n";
    const struct {
        const char* what;
        Packet mode;
        std::vector<Answer> afterRestore;  // to the restore, then to its read-back
        std::string err;
    } cases[] = {
        {"acknowledged, read back the same", kMode, {reply({kAck}), reply({kMode, kTrailer})}, ""},
        {"not acknowledged", kMode, {kSilence}, "Timeout while reading packet\n" + redo},
        {"acknowledged, still raw", kMode, {reply({kAck}), reply({kRawMode, kTrailer})}, redo},
        {"acknowledged, process byte other",
         kMode,
         {reply({kAck}), reply({{0x55, 'O', 0x21, 0x05, 0x0f}, kTrailer})},
         redo},
        {"acknowledged, not read back",
         kMode,
         {reply({kAck}), kSilence},
         "Timeout while reading packet\n" + redo},
        {"no keyword list sets it",
         rare,
         {kSilence},
         "Timeout while reading packet\ntavrinset: the panel may still be in raw mode; its "
         "mode was 0x01 0x10, which no --mode keyword list sets\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Answer> answers = {reply({c.mode, kTrailer}), reply({kAck, touch(1, 2)})};
        answers.insert(answers.end(), c.afterRestore.begin(), c.afterRestore.end());
        const Outcome r =
            run(answers, [](Transport& t) { return static_cast<int>(dumpRaw(t, 1)); });
        EXPECT_EQ(r.result, static_cast<int>(c.err.empty() ? Dumped::done : Dumped::failed));
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "1, 2\n");
    }
}

TEST(RawDump, OtherPacketsDoNotExtendTheWaitForATouch) {
    // Something else every 40 ms for a second, then a touch: a wait of 250 ms that started
    // again at each packet passed over would last until the touch.
    ScriptedLine line;
    for (int i = 0; i < 25; ++i) {
        line.at(i * 40ms, bytesOf({{0x55, 'Q', 1, 2, 3, 4, 5, 6, 7, 8}}));
    }
    line.at(1000ms, bytesOf({touch(1, 2)}));
    Transport t(line, Framer::kQuietUart);
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    const Time start = line.now();
    EXPECT_EQ(nextTouch(t, x, y, start + 250ms).kind, Status::timeout);
    EXPECT_EQ(line.now() - start, 250ms);
}

TEST(Differences, OnlyNamedValuesAndBothModeBytesCount) {
    const FilterParams held{8, 16, 3};
    const ReportParams report{3, 40};
    const struct {
        std::vector<std::string> got;
        std::vector<std::string> want;
    } cases[] = {
        {filterDifferences({1, 16, 9}, filterBit::deviation, held), {}},
        {filterDifferences({9, 17, 4}, 7, held),
         {"tavrinset: filter slen reads back 8, not 9",
          "tavrinset: filter deviation reads back 16, not 17",
          "tavrinset: filter states reads back 3, not 4"}},
        {filterDifferences({8, 16, 3}, 7, std::nullopt),
         {"tavrinset: filter could not be read back"}},
        {reportDifferences({3, 41}, reportBit::repeat, report),
         {"tavrinset: report repeat reads back 40, not 41"}},
        {modeDifferences({0x05, 0x0e}, ModeFlags{0x05, 0x0e}), {}},
        {modeDifferences({0x01, 0x08}, ModeFlags{0x00, 0x08}),
         {"tavrinset: mode reads back 0x00 0x08, not 0x01 0x08"}},
        {modeDifferences({0x01, 0x08}, ModeFlags{0x01, 0x88}),
         {"tavrinset: mode reads back 0x01 0x88, not 0x01 0x08"}},
        {modeDifferences({0, 0}, std::nullopt), {"tavrinset: mode could not be read back"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.want);
    }
}

}  // namespace
