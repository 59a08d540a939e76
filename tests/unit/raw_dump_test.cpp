// SPDX-License-Identifier: MIT
// The raw dump: into raw mode, the touch reports it prints, and back to the controller's mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pty_line.h"
#include "rawmode.h"
#include "settings.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

using RawDump = PanelLine;

const Packet kQuery = {0x55, 'm'};
// The controller's mode, with bytes of its own around the two flag bytes.
const Packet kMode = {0xaa, 'n', 0x21, 0x07, 0x4e, 0x11, 0x22, 0x33, 0x44, 0x55};
const Packet kSecond = {0x55, 'o', 1, 2, 3, 4, 5, 6, 7, 8};
const Packet kAck = {0x55, 'a', 'k'};
const Packet kRawMode = {0x55, 'M', 0x21, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const Packet kRestore = {0x55, 'M', 0x21, 0x07, 0x4e, 0, 0, 0, 0, 0};

Packet touch(std::uint16_t x, std::uint16_t y) {
    Packet pkt = {0x55, 'T'};
    putLe16(&pkt[at::touchX], x);
    putLe16(&pkt[at::touchY], y);
    return pkt;
}

TEST_F(RawDump, PrintsCountTouchesThenRestoresTheMode) {
    const Packet other = {0x55, 'Q', 0, 0x10, 0x20, 0x30, 0x40};
    Controller controller(
        pty_, {{join({touch(7, 7), kMode, kSecond})},
               {join({kAck, touch(512, 730), other, touch(65535, 0), touch(1, 2), touch(9, 9)})},
               {join({kAck})}});
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dumpRaw(fd(), 3), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "512, 730\n65535, 0\n1, 2\n");
    EXPECT_EQ(controller.finish(), (std::vector<Packet>{kQuery, kRawMode, kRestore}));
}

TEST_F(RawDump, DoesNotStartWithoutTheMode) {
    // Silence is not asked again; a reply cut short is, once.
    const struct {
        std::vector<Step> script;
        std::vector<Packet> sent;
    } cases[] = {
        {{}, {kQuery}},
        {{{head(kMode, 6)}, {head(kMode, 6)}}, {kQuery, kQuery}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent.size());
        Controller controller(pty_, c.script);
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(dumpRaw(fd(), 1), -1);
        EXPECT_EQ(GetCapturedStderr(),
                  "Timeout while reading packet\nRaw dump not started: mode unknown\n");
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(controller.finish(), c.sent);
    }
}

TEST_F(RawDump, EndlessDumpEndsWhenTheLineHangsUp) {
    // The mode's reply, with a lead-in of its own, comes first on a fresh line: it is asked
    // for twice (see ReadbackLine).
    Controller controller(
        pty_, {{join({kMode, kSecond})}, {join({kMode, kSecond})}, {join({kAck}), true}});
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(dumpRaw(fd(), -1), -1);
    EXPECT_NE(GetCapturedStderr().find("Error while reading packet"), std::string::npos);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(controller.finish(), (std::vector<Packet>{kQuery, kQuery, kRawMode}));
}

TEST_F(RawDump, OtherPacketsDoNotExtendTheWaitForATouch) {
    // Something else every 40 ms for a second, then a touch: a wait of 250 ms that started
    // again at each packet passed over would last until the touch.
    const Packet other = {0x55, 'Q', 1, 2, 3, 4, 5, 6, 7, 8};
    std::atomic<bool> written{true};
    auto send = [&](const Packet& pkt) {
        written = written &&
                  write(pty_.master(), pkt.data(), pkt.size()) == static_cast<ssize_t>(pkt.size());
    };
    std::thread chatter([&] {
        for (int i = 0; i < 25; ++i) {
            send(other);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        send(touch(1, 2));
    });
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    const Xfer got = nextTouch(fd(), x, y, 250);
    chatter.join();
    ASSERT_TRUE(written);
    EXPECT_EQ(got, Xfer::timeout);
}

}  // namespace
