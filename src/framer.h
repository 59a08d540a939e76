// SPDX-License-Identifier: MIT
// Where packets begin in the bytes that come from the controller.
//
// A serial line carries no frame marks of its own: the controller's packets arrive back to back,
// a UART's receive FIFO or a USB adapter hands them over in chunks that ignore packet
// boundaries, and a byte with a framing or parity error is dropped by the driver. The framer is
// fed every byte with the time it became readable and cuts the stream into packets. It knows a
// boundary from one of three things:
//   - a quiet line: a byte that follows a pause of at least quiet() begins a packet, and the
//     bytes before the pause end one (so a pause also frames what came before it, backwards).
//     Bytes handed over together arrived on the wire one after another before that, so a
//     pause before a chunk counts only what is left of it once their line time is taken off:
//     a UART's FIFO or a USB adapter that holds bytes back makes no pause of its own. When
//     nothing arrives at all, a pause must also outlast the longest such holding back
//     (idleQuiet()); such a silence also cuts short a packet it finds half in hand, since
//     nothing holds the rest back that long;
//   - a chain: the byte after a packet is the 0x55 lead-in of the next one. A packet that
//     begins with another byte (a controller may answer with any lead-in) is taken on trust
//     until what follows it shows whether the count held: a second such packet right after it
//     means the count slipped (a byte was lost), and both are known to be cut wrong;
//   - the lead-in itself, on a line that is never quiet: 0x55 at three places ten bytes apart,
//     and no other such place closer than a packet.
// It never throws away a byte while it knows the boundaries. When it does not, it holds the
// bytes until one of the above settles them; what cannot belong to a whole packet is passed
// over and counted.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "packet.h"
#include "timing.h"

class Framer {
  public:
    using Clock = ::Clock;
    using Time = ::Time;
    using Duration = ::Duration;

    // How long the wire must have been quiet before a chunk for it to begin a packet: a few
    // character times (a UART's FIFO holds the last bytes back for four; the wire time of the
    // bytes handed over together is taken off first, so a FIFO filling up makes no pause). How
    // long nothing at all may arrive, as more behind a USB adapter whose latency timer was not
    // lowered: the common ones hold bytes back for 16 ms, and 32 ms is seen.
    static constexpr Duration kQuietUart = std::chrono::milliseconds(8);
    static constexpr Duration kQuietUsb = std::chrono::milliseconds(40);
    static constexpr Duration kByteTime = ::kByteTime;
    // The most a pause inside a packet may teach the framer to wait.
    static constexpr Duration kQuietMax = std::chrono::milliseconds(64);
    // How long nothing must follow a packet before its end counts as clean: two character times
    // at 9600 baud and some slack, or longer where bytes are seen to arrive in chunks.
    static constexpr Duration kSettleMin = std::chrono::milliseconds(3);

    // Whether what followed a packet confirms where it ends.
    enum class End {
        open,    // nothing has followed yet
        clean,   // a pause, or the lead-in of the next packet
        broken,  // another byte: the packet was cut from the wrong bytes
    };

    struct Framed {
        Packet pkt{};
        Time first{};  // when its first byte was handed over
        Time last{};   // when its last byte was handed over
        // The latest its first byte can have come off the wire: bytes handed over after it in
        // the same chunk each took a byte time on the wire after it.
        Time began{};
    };

    explicit Framer(Duration quiet = kQuietUart);

    // From now on the boundaries are unknown, and what is in hand belongs to no packet: at open,
    // after a read that gave up inside a packet.
    void lose(Time now);
    // A command went out now. When nothing was in hand, whatever arrives next begins after it.
    void wrote(Time at);
    // One chunk: bytes handed over together at `at`.
    void feed(const std::uint8_t* bytes, std::size_t n, Time at);
    void feed(std::uint8_t byte, Time at) { feed(&byte, 1, at); }
    // Nothing arrived up to now.
    void idle(Time now);

    // The next whole packet, in arrival order.
    std::optional<Framed> next();
    // How the packet most recently returned by next() ends, as far as is known now.
    End endOfLast() const;

    bool synced() const { return synced_; }
    // Bytes in hand that are not yet a whole packet.
    std::size_t held() const { return hand_.size(); }
    // When idle() could settle something, or max() when nothing waits on a pause.
    Time settleAt() const;
    Duration quiet() const { return quiet_; }
    // How long nothing may arrive before the line counts as having paused: longer than any
    // adapter holds bytes back, since a silence is not made of chunks to take apart.
    Duration idleQuiet() const { return std::max(quiet_, kQuietUsb); }
    // How long nothing must follow the last packet for its end to count as clean.
    Duration settle() const;
    // Bytes passed over because they belonged to no whole packet.
    std::size_t discarded() const { return discarded_; }
    // The latest any byte passed over can have come off the wire.
    Time lastPassed() const { return lastPassed_; }

  private:
    struct Byte {
        std::uint8_t value;
        Time at;     // handed over
        Time wired;  // off the wire at the latest
    };

    // silence: nothing can have been held back through it (see idleQuiet()).
    void pause(bool silence);
    void consume(const Byte& b);
    void complete();
    void settle(std::uint64_t seq, End end);
    void confirmLast();
    void breakLast();
    void unsync(const Byte& b);
    void findLeadIn();
    void pass(std::size_t n);

    Duration quiet_;
    std::deque<Byte> hand_;
    std::deque<Framed> ready_;
    // How each packet since endsBase_ ends; packets are numbered in arrival order from 0.
    std::deque<End> ends_;
    std::uint64_t endsBase_ = 0;
    std::uint64_t completed_ = 0;
    std::uint64_t returned_ = 0;
    bool synced_ = false;
    bool endOpen_ = false;     // the last whole packet waits for what follows it
    bool needLeadIn_ = false;  // the next packet begins only where a lead-in shows it
    bool doubt_ = false;       // the packet in hand began with another byte than the lead-in
    bool lastDoubt_ = false;   // so did the last whole packet
    // Where the last packet that held a touch report's head held it, since the last touch
    // report, or 0; and that packet's number.
    std::size_t lastHeadAt_ = 0;
    std::uint64_t lastHeadSeq_ = 0;
    // Between two bytes of the last whole packet: when they were handed over, and when they
    // came off the wire at the latest.
    Duration widestHanded_{};
    Duration widestWired_{};
    Duration seenHanded_{};  // the widest handed-over gap in a packet that ended clean
    Duration burst_{};       // how long the last whole packet's last read had been held
    Time lastAt_{};
    Time clearFrom_ = Time::max();  // a write with nothing in hand, while unsynced
    Time wroteAt_ = Time::max();    // the last write
    std::size_t discarded_ = 0;
    Time lastPassed_{};
};
