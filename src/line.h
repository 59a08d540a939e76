// SPDX-License-Identifier: MIT
// What the packet transport reads from and writes to: the serial port, or in tests a line that
// plays a script on a clock of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "timing.h"

// How a wait ended.
enum class Wake {
    readable,  // bytes can be read (or the end of the file, or an error, is there to be read)
    timeout,   // the deadline came
    stopped,   // a stop signal is pending
    watched,   // the other descriptor being watched went away
    failed,    // the wait itself failed; err says why
};

// Result of a read or write: the count, or -1 with the error number (EAGAIN: nothing to read).
struct Io {
    long count = 0;
    int err = 0;
};

class Line {
  public:
    virtual ~Line() = default;

    virtual Time now() = 0;
    // Until bytes can be read or `until` comes. A stop signal ends it only when stoppable.
    virtual Wake wait(Time until, bool stoppable, int& err) = 0;
    // What is there, without waiting; count 0 is the end of the file.
    virtual Io read(std::uint8_t* buf, std::size_t size) = 0;
    // All of it, waiting for room until `until` (then err is ETIMEDOUT); a stop signal ends the
    // wait for room only when stoppable (err EINTR).
    virtual Io write(const std::uint8_t* bytes, std::size_t size, Time until, bool stoppable) = 0;
    virtual bool stopPending() = 0;
};

// The port's descriptor, which must be non-blocking. Waits are open to the stop signals (see
// StopSignals).
class PortLine : public Line {
  public:
    explicit PortLine(int fd) : fd_(fd) {}

    // Also ends waits without a deadline when fd reports an error or a hang-up (standard
    // output going away, say). Every other wait ends soon on its own, and one cut short would
    // leave a packet in flight.
    void watch(int fd) { watched_ = fd; }

    Time now() override { return Clock::now(); }
    Wake wait(Time until, bool stoppable, int& err) override;
    Io read(std::uint8_t* buf, std::size_t size) override;
    Io write(const std::uint8_t* bytes, std::size_t size, Time until, bool stoppable) override;
    bool stopPending() override;

  private:
    // The watched descriptor counts only in waits for input without a deadline.
    Wake poll(short events, Time until, bool stoppable, int& err);

    int fd_;
    int watched_ = -1;
};
