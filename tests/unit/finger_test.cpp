// SPDX-License-Identifier: MIT
// A finger on the panel: where its reports put it and when, and that a reader who does not
// read is not saved a backlog.
#include "finger.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "controller.h"
#include "server.h"

namespace {

using emu::Finger;
using emu::Time;
using std::chrono::milliseconds;

const Time kStart = Time{} + std::chrono::hours(1);

TEST(Finger, StrokesMoveAtTheirRateAndLiftForTheGap) {
    // Two strokes: 0,0 to 30,300 in 4 reports 10 ms apart, then 50 ms later one at 7,7.
    Finger finger({{0, 0, 30, 300, 4, milliseconds(10)}, {7, 7, 9, 9, 1, milliseconds(10)}},
                  milliseconds(50));
    EXPECT_EQ(finger.next(), emu::kNever);
    finger.start(kStart);
    const struct {
        int askedMs;  // when asked, from the start
        int tickMs;   // -1: nothing due
        std::uint16_t x, y;
        bool first;
    } steps[] = {
        {0, 0, 0, 0, true},       {5, -1, 0, 0, false},
        {29, 20, 20, 200, false},  // asked late: the latest tick only, not the one at 10
        {30, 30, 30, 300, false}, {79, -1, 0, 0, false},
        {200, 80, 7, 7, true},    {900, -1, 0, 0, false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.askedMs);
        const auto tick = finger.take(kStart + milliseconds(s.askedMs));
        ASSERT_EQ(tick.has_value(), s.tickMs >= 0);
        if (tick) {
            EXPECT_EQ(tick->at, kStart + milliseconds(s.tickMs));
            EXPECT_EQ(tick->report, emu::touchReport(s.x, s.y));
            EXPECT_EQ(tick->first, s.first);
        }
    }
    EXPECT_EQ(finger.next(), emu::kNever);
}

// A real controller reports in real time: what the reader leaves unread fills the kernel's
// buffer, and what the controller says after that is lost, not saved up for later.
TEST(Finger, ANonReaderIsNotSavedABacklog) {
    int master = -1;
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    ASSERT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
    ASSERT_EQ(fcntl(slave, F_SETFL, O_NONBLOCK), 0);
    emu::EmuOptions o;
    o.hold = {true, {1, 2, 1, 2, 0, emu::kLineRatePeriod}};
    emu::Record rec;
    emu::Server server(master, slave, o, rec);
    // A hundred seconds nobody reads: a hundred kilobytes of reports, more than a pty holds.
    const int ticks = 10000;
    Time t = std::chrono::steady_clock::now();
    for (int i = 0; i < ticks; ++i) {
        // Half-way, time for the kernel to move on what it took, so that the pty ends full.
        if (i == ticks / 2) {
            usleep(50000);
        }
        server.service(t += emu::kLineRatePeriod);
    }
    const std::size_t sent = rec.packets.size();
    EXPECT_LT(sent, ticks / 2u);
    // A full pty is not woken for writing when its far end reads: it is looked at again soon.
    EXPECT_LT(server.service(t) - t, emu::kLineRatePeriod / 2);
    char buf[4096];
    ASSERT_GT(read(slave, buf, sizeof buf), 0);
    // Room at our end again once the kernel has moved on what it held (looked for, as no
    // wake-up comes when the far end reads).
    pollfd room{master, POLLOUT, 0};
    for (int ms = 0; ms < 5000 && poll(&room, 1, 1) == 0; ++ms) {
    }
    ASSERT_NE(room.revents & POLLOUT, 0);
    for (int i = 0; i < 3; ++i) {
        server.service(t += emu::kLineRatePeriod);
    }
    // The rest of the report cut short when the line filled, then one a tick at most.
    EXPECT_LE(rec.packets.size() - sent, 3u);
    close(slave);
}

}  // namespace
