// SPDX-License-Identifier: MIT
// Raw touch coordinates: the controller in raw reporting (touch presses only, no processing)
// for as long as an operation reads them, and its own mode put back afterwards.
#pragma once

#include <cstdint>

#include "packet.h"
#include "timing.h"
#include "transport.h"

// The next touch report's raw coordinates, waiting until `until`; other packets are passed
// over. A timeout is not reported. last, when given, gets when the report's last byte came.
Status nextTouch(Transport& t, std::uint16_t& x, std::uint16_t& y, Time until,
                 Time* last = nullptr);

// Puts the controller's own mode back when it goes, on every way out but the device
// disappearing, and reads it back to be sure.
class RawMode {
  public:
    explicit RawMode(Transport& t) : t_(t) {}
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    ~RawMode() { restore(); }

    // Reads the controller's mode and switches to raw reporting. False when the mode could not
    // be read: without it there is no way back, so nothing is switched. exchangeOk is cleared
    // when any transfer failed (reported).
    bool enter(bool& exchangeOk);
    // Puts the mode back, once, even after a stop signal, and reads it back. False when that
    // failed or the device is gone; but for the latter, a message then says how to put the
    // mode back by hand.
    bool restore();

  private:
    Transport& t_;
    Packet previous_{};
    bool active_ = false;
};

enum class Dumped {
    done,
    failed,      // an exchange failed, the mode was unknown or not put back, the device went
                 // away (all reported), or a touch could not be written (outputError())
    readerGone,  // whoever read standard output went away; the mode is back
};

// Prints count touch reports (forever when negative) in raw mode, then puts the mode back.
// Standard output is to be watched by the transport's line: a reader gone ends the dump.
Dumped dumpRaw(Transport& t, std::int32_t count);
