// Packets over a real line: traces, the reply deadline, touch reports and stale input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "main.h"
#include "pty_line.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Transport = PanelLine;

const Packet kReply = {0x55, 'a', 'k', 1, 2, 3, 4, 5, 6, 7};
const Packet kTouch = {0x55, 'T', 0x01, 0x00, 0x02, 0xda, 0x02, 0, 0, 0};

TEST(ReplyTimeout, DefaultsToTwoSeconds) {
    EXPECT_EQ(replyTimeoutMs(), 2000);
}

TEST_F(Transport, CommandSetsLeadInAndTracesBothWays) {
    Controller controller(pty_, {{join({kReply})}});
    options.dump = true;
    Packet pkt = {0x00, 'S', 'X', 0x00, 0x00, 0x20, 0x03};
    CaptureStderr();
    EXPECT_EQ(sendCommand(fd(), pkt), 0);
    EXPECT_EQ(GetCapturedStderr(),
              "--> 55 53 58 00 00 20 03 00 00 00 \tU S X . . . . . . . \n"
              "<-- 55 61 6b 01 02 03 04 05 06 07 \tU a k . . . . . . . \n");
    const Packet sent = {0x55, 'S', 'X', 0x00, 0x00, 0x20, 0x03, 0, 0, 0};
    EXPECT_EQ(controller.finish(), std::vector<Packet>{sent});
}

TEST_F(Transport, SilentControllerTimesOutInBoundedTime) {
    setReplyTimeoutMs(300);
    Packet pkt = {0x55, 'f', 9};
    const Packet before = pkt;
    CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receivePacket(fd(), pkt), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetCapturedStderr(), "Timeout while reading packet\n");
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(1300));
    EXPECT_EQ(pkt, before);
}

TEST_F(Transport, WriteToAStoppedLineTimesOut) {
    setReplyTimeoutMs(300);
    ASSERT_EQ(tcflow(pty_.slave(), TCOOFF), 0);  // as if the far end never drained the line
    Controller controller(pty_, {});
    Packet pkt = {0x55, 'M'};
    CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(writePacket(fd(), pkt, Wait::reply), Xfer::timeout);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetCapturedStderr(), "Timeout while writing packet\n");
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(1300));
    ASSERT_EQ(tcflow(pty_.slave(), TCOON), 0);
    EXPECT_TRUE(controller.finish().empty());
}

TEST_F(Transport, PartialReplyTimesOutAndIsNotTaken) {
    Controller controller(pty_, {{head(kReply, 4)}});
    Packet pkt = {0x55, 'b'};
    CaptureStderr();
    EXPECT_EQ(sendPacket(fd(), pkt), 0);
    EXPECT_EQ(receivePacket(fd(), pkt), -1);
    EXPECT_EQ(GetCapturedStderr(), "Timeout while reading packet\n");
    EXPECT_EQ(pkt, (Packet{0x55, 'b'}));
}

TEST_F(Transport, TouchReportsArePassedOverAndTraced) {
    Controller controller(pty_, {{join({kTouch, kTouch, kReply})}});
    options.dump = true;
    Packet pkt = {0x55, 'm'};
    CaptureStderr();
    EXPECT_EQ(sendPacket(fd(), pkt), 0);
    EXPECT_EQ(receivePacket(fd(), pkt), 0);
    const std::string touchLine = "<-- 55 54 01 00 02 da 02 00 00 00 \tU T . . . . . . . . \n";
    EXPECT_EQ(GetCapturedStderr(),
              "--> 55 6d 00 00 00 00 00 00 00 00 \tU m . . . . . . . . \n" + touchLine + touchLine +
                  "<-- 55 61 6b 01 02 03 04 05 06 07 \tU a k . . . . . . . \n");
    EXPECT_EQ(pkt, kReply);
}

TEST_F(Transport, TouchReportsDoNotExtendTheWait) {
    setReplyTimeoutMs(300);
    // A finger held on the screen: touch reports keep coming, the reply never does.
    std::atomic<bool> lifted{false};
    std::thread finger([&] {
        for (int i = 0; i < 60 && !lifted; ++i) {
            EXPECT_EQ(write(pty_.master(), kTouch.data(), kTouch.size()), 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    });
    Packet pkt = {0x55, 'D', 0x0f};
    CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receivePacket(fd(), pkt), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    lifted = true;
    finger.join();
    EXPECT_EQ(GetCapturedStderr(), "Timeout while reading packet\n");
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(pkt[at::letter], 'D');
}

TEST_F(Transport, StaleInputIsDiscardedAtOpen) {
    port_.close();
    pty_.sendQueued(join({kReply, kTouch}));
    port_ = openPanel(pty_.path());
    ASSERT_TRUE(port_);
    Packet pkt{};
    CaptureStderr();
    EXPECT_EQ(receivePacket(fd(), pkt), -1);
    EXPECT_EQ(GetCapturedStderr(), "Timeout while reading packet\n");
}

TEST_F(Transport, StaleInputIsDiscardedBeforeEachCommand) {
    const Packet stray = {0x55, 'z', 'z', 9, 9, 9, 9, 9, 9, 9};
    Controller controller(pty_, {{join({kReply})}});
    pty_.sendQueued(join({stray}));
    Packet pkt = {0x55, 'M'};
    CaptureStderr();
    EXPECT_EQ(sendPacket(fd(), pkt), 0);
    EXPECT_EQ(receivePacket(fd(), pkt), 0);
    EXPECT_EQ(GetCapturedStderr(), "");  // no trace without --dump
    EXPECT_EQ(pkt, kReply);
}

TEST_F(Transport, SkipReplyConsumesExactlyOnePacket) {
    const Packet second = {0x55, 'b', 1, 2};
    Controller controller(pty_, {{join({kReply, second})}});
    Packet pkt = {0x55, 'D'};
    EXPECT_EQ(sendPacket(fd(), pkt), 0);
    EXPECT_EQ(skipReply(fd()), 0);
    EXPECT_EQ(receivePacket(fd(), pkt), 0);
    EXPECT_EQ(pkt, second);
}

}  // namespace
