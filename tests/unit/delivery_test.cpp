// SPDX-License-Identifier: MIT
// The emulator's line model: when the bytes the controller sends become readable at the far end.
#include "delivery.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using emu::Adapter;
using emu::AdapterSetup;
using emu::Delivery;
using emu::kByteTime;
using emu::kNever;
using emu::Time;
using emu::Wire;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

const Time kOrigin = Time{} + std::chrono::hours(1);

// A time given in byte times from the origin; fractions for the cases between two bytes.
Time bytes(double n) {
    return kOrigin + nanoseconds(static_cast<long>(n * static_cast<double>(kByteTime.count())));
}

Time msAt(double ms) {
    return kOrigin + nanoseconds(static_cast<long>(ms * 1e6));
}

// Each byte's hand-over time, found the way the emulator's loop finds them: wait until the
// next hand-over, ask what is readable then. Checks on the way that nothing was readable
// earlier than the delivery said, and at the end that no hand-over is left to wait for.
std::vector<Time> handovers(Delivery& d, std::size_t count) {
    std::vector<Time> at;
    while (at.size() < count) {
        Time next = d.nextHandover();
        if (next == kNever) {
            break;
        }
        EXPECT_EQ(d.readableBy(next - nanoseconds(1)), at.size()) << "readable before its time";
        std::size_t readable = d.readableBy(next);
        if (readable <= at.size()) {
            ADD_FAILURE() << "a hand-over that handed nothing";
            break;
        }
        at.resize(readable, next);
    }
    EXPECT_EQ(d.nextHandover(), kNever);
    return at;
}

std::vector<Time> run(const AdapterSetup& setup, const std::vector<Time>& arrivals) {
    Delivery d(setup, kOrigin);
    for (Time t : arrivals) {
        d.arrive(t);
    }
    return handovers(d, arrivals.size());
}

struct Case {
    const char* name;
    AdapterSetup setup;
    std::vector<Time> arrivals;
    std::vector<Time> readable;
};

// n bytes back to back, the first arriving at byte time `first`.
std::vector<Time> backToBack(double first, int n) {
    std::vector<Time> t;
    for (int i = 0; i < n; ++i) {
        t.push_back(bytes(first + i));
    }
    return t;
}

std::vector<Time> repeat(Time t, int n) {
    return std::vector<Time>(static_cast<std::size_t>(n), t);
}

std::vector<Time> operator+(std::vector<Time> a, const std::vector<Time>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const AdapterSetup kNone{Adapter::none, {}};
const AdapterSetup kUart{Adapter::uart, {}};
const AdapterSetup kUsb16{Adapter::usb, milliseconds(16)};
const AdapterSetup kUsb1{Adapter::usb, milliseconds(1)};

TEST(Delivery, HandsBytesOverAsTheHardwareDoes) {
    const Case cases[] = {
        {"none: each byte as it arrives", kNone, backToBack(1, 3), backToBack(1, 3)},
        {"none: arrivals at the same moment", kNone, repeat(bytes(2), 3), repeat(bytes(2), 3)},
        // The FIFO's trigger level takes the first 8; the last 2 wait out the timer.
        {"uart: one packet", kUart, backToBack(1, 10), repeat(bytes(8), 8) + repeat(bytes(14), 2)},
        {"uart: two bytes, then quiet", kUart, backToBack(1, 2), repeat(bytes(6), 2)},
        // The timer runs out just as the next byte comes in: it does not wait for it.
        {"uart: next byte exactly at the timeout",
         kUart,
         {bytes(1), bytes(5)},
         {bytes(5), bytes(9)}},
        {"uart: next byte just before the timeout",
         kUart,
         {bytes(1), bytes(4.9)},
         repeat(bytes(8.9), 2)},
        // A pause shorter than the timeout does not end the group of eight.
        {"uart: a short pause inside eight", kUart, backToBack(1, 4) + backToBack(7, 4),
         repeat(bytes(10), 8)},
        // Back to back packets: groups of eight straddle packet boundaries.
        {"uart: a stream", kUart, backToBack(1, 30),
         repeat(bytes(8), 8) + repeat(bytes(16), 8) + repeat(bytes(24), 8) + repeat(bytes(34), 6)},
        {"uart: exactly eight", kUart, backToBack(1, 8), repeat(bytes(8), 8)},
        {"uart: seven", kUart, backToBack(1, 7), repeat(bytes(11), 7)},
        {"usb: a packet inside one period", kUsb16, backToBack(1, 10), repeat(msAt(16), 10)},
        // 10 ms in, five bytes make it before the burst at 16 ms, five wait for 32 ms.
        {"usb: a packet across a burst",
         kUsb16,
         {msAt(11.04), msAt(12.08), msAt(13.13), msAt(14.17), msAt(15.21), msAt(16.25), msAt(17.29),
          msAt(18.33), msAt(19.38), msAt(20.42)},
         repeat(msAt(16), 5) + repeat(msAt(32), 5)},
        {"usb: arriving on the burst", kUsb16, {msAt(16), msAt(16.001)}, {msAt(16), msAt(32)}},
        {"usb: a quiet period is skipped", kUsb16, {msAt(1), msAt(50)}, {msAt(16), msAt(64)}},
        {"usb: 1 ms bursts", kUsb1, {msAt(0.5), msAt(1.5), msAt(1.9)}, {msAt(1), msAt(2), msAt(2)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Time> got = run(c.setup, c.arrivals);
        ASSERT_EQ(got.size(), c.readable.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i], c.readable[i])
                << "byte " << i << ": off by " << (got[i] - c.readable[i]).count() << " ns";
        }
    }
}

TEST(Wire, UnpacedBytesArriveWhenReadyButInOrder) {
    Wire wire(false);
    EXPECT_EQ(wire.send(bytes(5)), bytes(5));
    EXPECT_EQ(wire.send(bytes(5)), bytes(5));
    // Ready earlier than what went before (a reply that was due first): it still comes after.
    EXPECT_EQ(wire.send(bytes(3)), bytes(5));
    EXPECT_EQ(wire.send(bytes(9)), bytes(9));
}

}  // namespace
