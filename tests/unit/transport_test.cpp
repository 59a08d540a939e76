// SPDX-License-Identifier: MIT
// Packets over a real line: traces, the reply deadline, touch reports and stale input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

// --- packet boundaries ----------------------------------------------------------------------

const Packet kQuery = {0x55, 'f'};
const Packet kStray = {0x55, 'z', 'z', 9, 9, 9, 9, 9, 9, 9};
const Packet kSecondReply = {0x55, 'g', 'h', 11, 12, 13, 14, 15, 16, 17};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The last n bytes of a packet: what is left to come of one whose head is in hand.
Bytes tailOf(const Packet& pkt, std::size_t n) {
    return Bytes(pkt.end() - static_cast<std::ptrdiff_t>(n), pkt.end());
}

std::string traced(const char* direction, const Packet& pkt) {
    return direction + formatPacket(pkt);
}

// One exchange so that the framer knows where packets begin, then a pause.
void settle(int fd) {
    Packet first = {0x55, 'S', 'X'};
    ASSERT_EQ(command(fd, first), Xfer::ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

// A packet the controller had begun to send when the command went out: its head is in hand,
// its tail comes with the reply. It answers nothing of ours, but is traced like any other.
TEST_F(Transport, PacketInHandWhenACommandGoesOutIsCompletedTracedAndPassedOver) {
    struct Case {
        const char* name;
        bool used;  // the reply's content is used: a query
    };
    for (const Case c : {Case{"command", false}, Case{"query", true}}) {
        SCOPED_TRACE(c.name);
        Pty pty;
        setReplyTimeoutMs(kShortTimeoutMs);
        Port port = openPanel(pty.path());
        ASSERT_TRUE(port);
        Controller controller(pty,
                              {{join({kReply})}, {cat(tailOf(kStray, 6), join({kSecondReply}))}});
        settle(port.fd());
        pty.sendQueued(head(kStray, 4));
        options.dump = true;
        Packet pkt = kQuery;
        CaptureStderr();
        const Xfer got = c.used ? query(port.fd(), pkt) : command(port.fd(), pkt);
        const std::string err = GetCapturedStderr();
        options.dump = false;
        EXPECT_EQ(got, Xfer::ok);
        EXPECT_EQ(err,
                  traced("--> ", kQuery) + traced("<-- ", kStray) + traced("<-- ", kSecondReply));
        if (c.used) {
            EXPECT_EQ(pkt, kSecondReply);
        }
        EXPECT_EQ(controller.finish().size(), 2u);  // asked once
    }
}

// A reply whose end is not where it was cut is not used: the query is made once more, and
// only then given up.
TEST_F(Transport, QueryWhoseReplyIsNotSeenToEndIsAskedAgainOnce) {
    // Noise after the reply: a packet's worth without a lead-in, and one more byte. The chain
    // breaks at once.
    const Bytes broken = cat(join({kReply}), Bytes(11, 0x33));
    // One stray byte, then silence: it begins no packet that a lead-in or a pause could
    // show the reply ended before.
    const Bytes open = cat(join({kReply}), Bytes{0x33});
    const Bytes good = join({kSecondReply});
    struct Case {
        const char* name;
        Bytes first;
        Bytes second;
        Xfer want;
        const char* message;
    };
    const Case cases[] = {
        {"broken, then clean", broken, good, Xfer::ok, ""},
        {"open, then clean", open, good, Xfer::ok, ""},
        {"broken twice", broken, broken, Xfer::unsure,
         "Error while reading packet: packet boundaries lost\n"},
        {"open twice", open, open, Xfer::unsure,
         "Error while reading packet: packet boundaries lost\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        setReplyTimeoutMs(kShortTimeoutMs);
        Port port = openPanel(pty.path());
        ASSERT_TRUE(port);
        Controller controller(pty, {{join({kReply})}, {c.first}, {c.second}});
        settle(port.fd());
        Packet pkt = kQuery;
        bool replied = true;
        CaptureStderr();
        const Xfer got = query(port.fd(), pkt, 0, &replied);
        EXPECT_EQ(GetCapturedStderr(), c.message);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(replied, c.want == Xfer::ok);
        EXPECT_EQ(pkt, c.want == Xfer::ok ? kSecondReply : kQuery);
        const std::vector<Packet> sent = controller.finish();
        ASSERT_EQ(sent.size(), 3u);
        EXPECT_EQ(sent[1], kQuery);
        EXPECT_EQ(sent[2], kQuery);
    }
}

// The device vanishing ends the transfer with one message; from then on nothing is sent and
// nothing more is said, whatever is asked.
TEST_F(Transport, DeviceGoneStopsEverything) {
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::function<Xfer(int)> transfer;
    };
    auto commandS = [](int fd) {
        Packet pkt = {0x55, 'S', 'Y'};
        return command(fd, pkt);
    };
    auto queryF = [](int fd) {
        Packet pkt = kQuery;
        return query(fd, pkt);
    };
    auto touches = [](int fd) {
        Packet pkt = kQuery;
        if (Xfer x = writePacket(fd, pkt, Wait::reply); x != Xfer::ok) {
            return x;
        }
        Xfer x = readPacket(fd, pkt, Wait::reply);
        while (x == Xfer::ok) {
            x = readPacket(fd, pkt, Wait::touch);
        }
        return x;
    };
    const Case cases[] = {
        {"hang-up instead of a reply", {{{}, true}}, commandS},
        {"hang-up halfway through a reply", {{head(kReply, 4), true}}, commandS},
        {"hang-up instead of a query's reply", {{{}, true}}, queryF},
        // A stray byte after the reply: nothing but the hang-up can end the wait for its end.
        {"hang-up while a reply's end is awaited",
         {{cat(join({kReply}), Bytes{0x33}), true}},
         queryF},
        {"hang-up while touches are awaited", {{join({kReply, kTouch, kTouch}), true}}, touches},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        setReplyTimeoutMs(1000);
        Port port = openPanel(pty.path());
        ASSERT_TRUE(port);
        Controller controller(pty, c.script);
        CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.transfer(port.fd()), Xfer::gone);
        const auto took = std::chrono::steady_clock::now() - start;
        const std::string err = GetCapturedStderr();
        EXPECT_TRUE(lineGone());
        EXPECT_LT(took, std::chrono::milliseconds(500)) << "not at once";
        // A pseudo-terminal whose other side is gone reads as the end of the file.
        EXPECT_EQ(err, "Error while reading packet: end of file\n");
        // Nothing more goes out, nothing more is said, not even a trace.
        options.dump = true;
        CaptureStderr();
        Packet again = {0x55, 'M'};
        EXPECT_EQ(command(port.fd(), again), Xfer::gone);
        EXPECT_EQ(query(port.fd(), again), Xfer::gone);
        EXPECT_EQ(readPacket(port.fd(), again, Wait::touch), Xfer::gone);
        EXPECT_EQ(GetCapturedStderr(), "");
        options.dump = false;
        EXPECT_EQ(controller.finish().size(), 1u);
    }
}

// What an unplugged USB adapter gives: reads that fail with EIO. Reading memory that is not
// mapped fails the same way, and /proc/self/mem is always ready to be read.
TEST_F(Transport, ReadFailingWithEioIsTheDeviceGone) {
    const int mem = open("/proc/self/mem", O_RDWR | O_CLOEXEC);
    ASSERT_GE(mem, 0);
    startFraming(mem, 8);
    Packet pkt = kQuery;
    CaptureStderr();
    EXPECT_EQ(command(mem, pkt), Xfer::gone);
    EXPECT_EQ(GetCapturedStderr(),
              std::string("Error while reading packet: ") + std::strerror(EIO) + "\n");
    EXPECT_TRUE(lineGone());
    close(mem);
}

}  // namespace
