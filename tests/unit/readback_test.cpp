// SPDX-License-Identifier: MIT
// Reading back the controller's settings over a real line, and the differences --verify reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main.h"
#include "pty_line.h"
#include "readback.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using ReadbackLine = PanelLine;

// Replies with a foreign lead-in, letters of the controller's own and no zero anywhere, so that
// a value taken from the wrong byte shows.
const Packet kFilter = {0xaa, 'F', 0xa2, 8, 20, 3, 0xa6, 0xa7, 0xa8, 0xa9};
const Packet kReport = {0xaa, 'B', 3, 40, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9};
const Packet kMode = {0xaa, 'O', 0xa2, 0x05, 0x0e, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9};
const Packet kTrailer = {0x55, 'Z', 1, 2, 3, 4, 5, 6, 7, 8};

const Packet kFilterQuery = {0x55, 'f'};
const Packet kReportQuery = {0x55, 'b'};
const Packet kModeQuery = {0x55, 'm'};

std::string show(const HeldSettings& h) {
    std::string s;
    s += h.filter ? std::to_string(h.filter->slen) + "," + std::to_string(h.filter->deviation) +
                        "," + std::to_string(h.filter->states)
                  : "-";
    s += " ";
    s +=
        h.report ? std::to_string(h.report->untouch) + "," + std::to_string(h.report->repeat) : "-";
    s += " ";
    s += h.mode ? std::to_string(h.mode->reportFlags) + "," + std::to_string(h.mode->processFlags)
                : "-";
    return s;
}

struct ReadCase {
    const char* what;
    std::vector<Step> script;  // answers to the filter, report and mode queries in turn
    std::string held;
    bool gone;
    std::vector<Packet> sent;
};

TEST_F(ReadbackLine, EachGroupIsItsOwnQueryAndOnlyAWholeReplyCounts) {
    const std::vector<Packet> all = {kFilterQuery, kReportQuery, kModeQuery};
    const ReadCase cases[] = {
        {"every group answered",
         {{join({kFilter})}, {join({kReport})}, {join({kMode, kTrailer})}},
         "8,20,3 3,40 5,14",
         false,
         all},
        {"a silent filter query costs that group alone",
         {{}, {join({kReport})}, {join({kMode, kTrailer})}},
         "- 3,40 5,14",
         false,
         all},
        {"a report reply cut short twice is not taken",
         {{join({kFilter})}, {head(kReport, 6)}, {head(kReport, 6)}, {join({kMode, kTrailer})}},
         "8,20,3 - 5,14",
         false,
         {kFilterQuery, kReportQuery, kReportQuery, kModeQuery}},
        {"the mode without its second packet is asked again, and not certain without it",
         {{join({kFilter})}, {join({kReport})}, {join({kMode})}, {join({kMode})}},
         "8,20,3 3,40 -",
         false,
         {kFilterQuery, kReportQuery, kModeQuery, kModeQuery}},
        {"the mode with its second packet the second time is taken",
         {{join({kFilter})}, {join({kReport})}, {join({kMode})}, {join({kMode, kTrailer})}},
         "8,20,3 3,40 5,14",
         false,
         {kFilterQuery, kReportQuery, kModeQuery, kModeQuery}},
        {"a hang-up ends the queries",
         {{join({kFilter})}, {{}, true}},
         "8,20,3 - -",
         true,
         {kFilterQuery, kReportQuery}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        Pty pty;
        Port port = openPanel(pty.path());
        ASSERT_TRUE(port);
        Controller controller(pty, c.script);
        Readback readback(port.fd());
        CaptureStderr();
        const HeldSettings held = readback.all();
        GetCapturedStderr();  // the transport's own messages
        EXPECT_EQ(show(held), c.held);
        EXPECT_EQ(held.complete(), c.held.find('-') == std::string::npos);
        EXPECT_EQ(readback.gone(), c.gone);
        EXPECT_EQ(controller.finish(), c.sent);
    }
}

struct DifferenceCase {
    const char* what;
    std::vector<std::string> got;
    std::vector<std::string> want;
};

TEST(Differences, OnlyNamedValuesAndBothModeBytesCount) {
    const FilterParams held{8, 16, 3};
    const ReportParams report{3, 40};
    const DifferenceCase cases[] = {
        {"deviation named, differs",
         filterDifferences({8, 12, 3}, filterBit::deviation, held),
         {"tavrinset: filter deviation reads back 16, not 12"}},
        {"values not named may differ",
         filterDifferences({1, 16, 9}, filterBit::deviation, held),
         {}},
        {"every named value differs",
         filterDifferences({9, 17, 4}, 7, held),
         {"tavrinset: filter slen reads back 8, not 9",
          "tavrinset: filter deviation reads back 16, not 17",
          "tavrinset: filter states reads back 3, not 4"}},
        {"slen and states",
         filterDifferences({255, 0, 0}, filterBit::slen | filterBit::states, held),
         {"tavrinset: filter slen reads back 8, not 255",
          "tavrinset: filter states reads back 3, not 0"}},
        {"filter not read",
         filterDifferences({8, 16, 3}, 7, std::nullopt),
         {"tavrinset: filter could not be read back"}},
        {"untouch",
         reportDifferences({5, 40}, 3, report),
         {"tavrinset: report untouch reads back 3, not 5"}},
        {"repeat named",
         reportDifferences({3, 41}, reportBit::repeat, report),
         {"tavrinset: report repeat reads back 40, not 41"}},
        {"untouch not named", reportDifferences({9, 40}, reportBit::repeat, report), {}},
        {"report not read",
         reportDifferences({3, 40}, 1, std::nullopt),
         {"tavrinset: report could not be read back"}},
        {"mode as sent", modeDifferences({0x05, 0x0e}, ModeFlags{0x05, 0x0e}), {}},
        {"mode differs",
         modeDifferences({0x07, 0x4e}, ModeFlags{0x05, 0x0e}),
         {"tavrinset: mode reads back 0x05 0x0e, not 0x07 0x4e"}},
        {"report byte alone differs",
         modeDifferences({0x01, 0x08}, ModeFlags{0x00, 0x08}),
         {"tavrinset: mode reads back 0x00 0x08, not 0x01 0x08"}},
        {"process byte alone differs",
         modeDifferences({0x01, 0x08}, ModeFlags{0x01, 0x88}),
         {"tavrinset: mode reads back 0x01 0x88, not 0x01 0x08"}},
        {"mode not read",
         modeDifferences({0, 0}, std::nullopt),
         {"tavrinset: mode could not be read back"}},
    };
    for (const DifferenceCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.got, c.want);
    }
}

struct VerifyCase {
    const char* what;
    std::vector<std::string> args;
    std::vector<Step> script;
    bool same;
    std::string err;  // our own lines, after whatever the transport said
    std::vector<Packet> sent;
};

TEST_F(ReadbackLine, VerifyQueriesOnlyTheGroupsWrittenAndReportsEachDifference) {
    const VerifyCase cases[] = {
        {"all as sent",
         {"--deviation", "20", "--repeat", "40", "--mode", "touch,untouch,trim,calib,scale"},
         {{join({kFilter})}, {join({kReport})}, {join({kMode, kTrailer})}},
         true,
         "",
         {kFilterQuery, kReportQuery, kModeQuery}},
        // First on a fresh line, a reply with a lead-in of its own before one with the usual
        // lead-in may be bytes that were on their way at open: it is asked for again.
        {"mode alone",
         {"--mode", "default"},
         {{join({kMode, kTrailer})}, {join({kMode, kTrailer})}},
         false,
         "tavrinset: mode reads back 0x05 0x0e, not 0x07 0x4e\n",
         {kModeQuery, kModeQuery}},
        {"report alone, one value off",
         {"--untouch", "5", "--repeat", "40"},
         {{join({kReport})}},
         false,
         "tavrinset: report untouch reads back 3, not 5\n",
         {kReportQuery}},
        {"a failed query is a difference and the next group is still checked",
         {"--slen", "8", "--mode", "default"},
         {{}, {join({kMode, kTrailer})}},
         false,
         "tavrinset: filter could not be read back\n"
         "tavrinset: mode reads back 0x05 0x0e, not 0x07 0x4e\n",
         {kFilterQuery, kModeQuery}},
        {"after a hang-up nothing more is sent or said",
         {"--slen", "8", "--untouch", "3", "--mode", "default"},
         {{{}, true}},
         false,
         "",
         {kFilterQuery}},
        {"nothing written, nothing to verify", {"--width", "800", "-p"}, {}, true, "", {}},
    };
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "tavrinset");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        Options opts;
        ASSERT_EQ(parseOptions(static_cast<int>(argv.size()), argv.data(), opts), Parsed::run);

        Pty pty;
        Port port = openPanel(pty.path());
        ASSERT_TRUE(port);
        Controller controller(pty, c.script);
        Readback readback(port.fd());
        CaptureStderr();
        EXPECT_EQ(verifySettings(readback, opts), c.same);
        const std::string err = GetCapturedStderr();
        // Only the transport's messages may come before or between ours.
        std::string ours;
        for (std::size_t pos = 0; pos < err.size();) {
            std::size_t end = err.find('\n', pos);
            std::string line = err.substr(pos, end - pos + 1);
            if (line.starts_with("tavrinset: ")) {
                ours += line;
            }
            pos = end + 1;
        }
        EXPECT_EQ(ours, c.err);
        EXPECT_EQ(controller.finish(), c.sent);
    }
}

}  // namespace
