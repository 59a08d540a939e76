// SPDX-License-Identifier: MIT
// The setting commands as they reach the line, and the query-and-write-back of parameters.
#include <gtest/gtest.h>

#include <functional>

#include "pty_line.h"
#include "settings.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Settings = PanelLine;

const Packet kAck = {0x55, 'a', 'k'};

struct CommandCase {
    const char* what;
    std::function<int(int)> run;
    Packet sent;
};

TEST_F(Settings, EachCommandIsOnePacketOutOneIn) {
    const CommandCase cases[] = {
        {"scaling X 0..800",
         [](int fd) { return setScaling(fd, 'X', 0, 800); },
         {0x55, 'S', 'X', 0x00, 0x00, 0x20, 0x03, 0, 0, 0}},
        {"scaling lower-case y",
         [](int fd) { return setScaling(fd, 'y', 0, 600); },
         {0x55, 'S', 'Y', 0x00, 0x00, 0x58, 0x02, 0, 0, 0}},
        {"calibration Y 150..900",
         [](int fd) { return setCalibration(fd, 'Y', 150, 900); },
         {0x55, 'C', 'Y', 0x96, 0x00, 0x84, 0x03, 0, 0, 0}},
        {"calibration x -1..-32768",
         [](int fd) { return setCalibration(fd, 'x', -1, -32768); },
         {0x55, 'C', 'X', 0xff, 0xff, 0x00, 0x80, 0, 0, 0}},
        {"mode touch,scale",
         [](int fd) {
             return setMode(fd, {0x01, 0x08});
         },
         {0x55, 'M', 0x00, 0x01, 0x08, 0, 0, 0, 0, 0}},
        {"mode default",
         [](int fd) {
             return setMode(fd, {0x07, 0x4e});
         },
         {0x55, 'M', 0x00, 0x07, 0x4e, 0, 0, 0, 0, 0}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.what);
        // The second reply must not be taken: the next command starts in step.
        Controller controller(pty_, {{join({kAck, kAck})}});
        EXPECT_EQ(c.run(fd()), 0);
        EXPECT_EQ(controller.finish(), std::vector<Packet>{c.sent});
    }
}

TEST_F(Settings, CommandWithoutReplyFails) {
    Controller controller(pty_, {});
    CaptureStderr();
    EXPECT_EQ(setScaling(fd(), 'X', 0, 800), -1);
    EXPECT_EQ(GetCapturedStderr(), "Timeout while reading packet\n");
    EXPECT_EQ(controller.finish().size(), 1u);
}

// The controller's reply, with a foreign lead-in and a letter of its own.
const Packet kParams = {0xaa, 'q', 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

struct WriteBackCase {
    const char* what;
    std::function<int(int)> run;
    std::uint8_t query;
    Packet writeBack;
};

TEST_F(Settings, WriteBackChangesOnlyTheNamedBytes) {
    const WriteBackCase cases[] = {
        {"deviation",
         [](int fd) {
             return setFilter(fd, {4, 12, 3}, filterBit::deviation);
         },
         'f',
         {0x55, 'q', 0x11, 0x22, 12, 0x44, 0x55, 0x66, 0x77, 0x88}},
        {"slen, states",
         [](int fd) {
             return setFilter(fd, {4, 12, 3}, filterBit::slen | filterBit::states);
         },
         'f',
         {0x55, 'q', 0x11, 4, 0x33, 3, 0x55, 0x66, 0x77, 0x88}},
        {"all filter",
         [](int fd) {
             return setFilter(fd, {4, 12, 3}, 7);
         },
         'f',
         {0x55, 'q', 0x11, 4, 12, 3, 0x55, 0x66, 0x77, 0x88}},
        {"untouch",
         [](int fd) {
             return setReport(fd, {5, 200}, reportBit::untouch);
         },
         'b',
         {0x55, 'q', 5, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
        {"repeat",
         [](int fd) {
             return setReport(fd, {5, 200}, reportBit::repeat);
         },
         'b',
         {0x55, 'q', 0x11, 200, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
    };
    for (const WriteBackCase& c : cases) {
        SCOPED_TRACE(c.what);
        Controller controller(pty_, {{join({kParams})}, {join({kAck})}});
        EXPECT_EQ(c.run(fd()), 0);
        const Packet query = {0x55, c.query};
        EXPECT_EQ(controller.finish(), (std::vector<Packet>{query, c.writeBack}));
    }
}

struct NotChangedCase {
    const char* what;
    std::function<int(int)> run;
    const char* message;
};

TEST_F(Settings, NothingIsWrittenBackWithoutAWholeReply) {
    const NotChangedCase cases[] = {
        {"filter",
         [](int fd) {
             return setFilter(fd, {4, 12, 3}, 7);
         },
         "Filter parameters not changed\n"},
        {"report",
         [](int fd) {
             return setReport(fd, {5, 200}, 3);
         },
         "Report parameters not changed\n"},
    };
    // Silence is not asked again; a reply cut short twice leaves the group alone.
    const struct {
        std::vector<Step> script;
        std::size_t sent;
    } lines[] = {
        {{}, 1},
        {{{head(kParams, 4)}, {head(kParams, 4)}}, 2},
    };
    for (const NotChangedCase& c : cases) {
        for (const auto& line : lines) {
            SCOPED_TRACE(testing::Message() << c.what << ", " << line.sent << " sent");
            Controller controller(pty_, line.script);
            CaptureStderr();
            EXPECT_EQ(c.run(fd()), -1);
            EXPECT_EQ(GetCapturedStderr(),
                      std::string("Timeout while reading packet\n") + c.message);
            EXPECT_EQ(controller.finish().size(), line.sent);
        }
    }
}

TEST_F(Settings, AReplyCutShortIsAskedForOnce) {
    Controller controller(pty_, {{head(kParams, 4)}, {join({kParams})}, {join({kAck})}});
    CaptureStderr();
    EXPECT_EQ(setFilter(fd(), {4, 12, 3}, filterBit::deviation), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    const Packet query = {0x55, 'f'};
    const Packet writeBack = {0x55, 'q', 0x11, 0x22, 12, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(controller.finish(), (std::vector<Packet>{query, query, writeBack}));
}

}  // namespace
