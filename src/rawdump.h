// SPDX-License-Identifier: MIT
// Raw touch coordinates: the controller in raw reporting (touch presses only, no processing)
// for as long as an operation reads them, and its own mode put back afterwards.
#pragma once

#include <cstdint>

#include "packet.h"
#include "timing.h"
#include "transport.h"

// The next touch report's raw coordinates, waiting until `until`; other packets are passed
// over. A timeout is not reported.
Status nextTouch(Transport& t, std::uint16_t& x, std::uint16_t& y, Time until);

// Puts the controller's own mode back when it goes, on every way out but the device
// disappearing.
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
    // Puts the mode back, once, even after a stop signal; false when that failed or the device
    // is gone.
    bool restore();

  private:
    Transport& t_;
    Packet previous_{};
    bool active_ = false;
};

// Prints count touch reports (forever when negative) in raw mode, then puts the mode back.
// Returns 0, or -1 when an exchange failed, the mode was unknown or the device went away.
int dumpRaw(Transport& t, std::int32_t count);
