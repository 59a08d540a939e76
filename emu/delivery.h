// SPDX-License-Identifier: MIT
// The line between the controller and the tool: when each byte the controller sends arrives at
// the far end, and when the hardware there hands it over to the reader. Time arithmetic only,
// no descriptors, so that it can be checked against tables.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>

namespace emu {

using Time = std::chrono::steady_clock::time_point;
inline constexpr Time kNever = Time::max();

// Ten bits a byte (start, eight data, stop) at 9600 baud.
inline constexpr std::chrono::nanoseconds kByteTime(1041667);

// What receives the bytes at the tool's end.
enum class Adapter {
    none,  // each byte is readable the moment it arrives
    uart,  // a 16550: its receive FIFO holds bytes until 8 are in or the line has gone quiet
    usb,   // a USB serial adapter: what has arrived is handed over in bursts, on a timer
};

struct AdapterSetup {
    Adapter kind = Adapter::none;
    std::chrono::milliseconds burst{16};  // usb: the adapter's latency timer
};

// The serial line itself: bytes go out one after another, each taking a byte time, never
// before they are ready. Unpaced, a byte arrives as soon as it is ready.
class Wire {
  public:
    explicit Wire(bool paced) : paced_(paced) {}

    // When the next byte, ready to go at `ready`, has arrived whole at the far end.
    Time send(Time ready);
    // When a byte ready at `ready` would start on the line.
    Time startOf(Time ready) const { return paced_ && free_ > ready ? free_ : ready; }

  private:
    bool paced_;
    Time free_{};  // when the line has finished the last byte given to it
};

// Fed the arrival time of each byte the controller sends, in order, and asked how many of
// them the reader can have by a given time. Every byte must be fed before its arrival time
// comes round, and later bytes never arrive earlier: a hand-over can then depend on what
// arrives after a byte, as the FIFO's does, and still never be decided too early.
class Delivery {
  public:
    // usb bursts fall at origin + k * burst.
    Delivery(const AdapterSetup& setup, Time origin);

    void arrive(Time at);
    // Bytes readable by `now`, counting from the first byte ever fed.
    std::size_t readableBy(Time now);
    // When readableBy next grows if nothing more arrives; kNever when it will not.
    Time nextHandover() const;

    // Four character times of quiet make the 16550 hand over what it holds.
    static constexpr auto kFifoTimeout = 4 * kByteTime;
    static constexpr std::size_t kFifoTrigger = 8;

  private:
    struct Fifo {
        std::size_t held = 0;
        Time last{};
    };
    struct Handover {
        std::size_t bytes = 0;
        Time at{};
    };
    // The FIFO takes a byte arriving at t; what it handed over on the way, if anything.
    static Handover take(Fifo& fifo, Time t);
    // What the FIFO hands over by `until` with no further byte arriving.
    static Handover expire(Fifo& fifo, Time until);
    Time burstAtOrAfter(Time t) const;

    AdapterSetup setup_;
    Time origin_;
    std::deque<Time> waiting_;  // fed, not yet handed over nor (uart) taken into the FIFO
    Fifo fifo_;
    std::size_t handed_ = 0;
};

}  // namespace emu
