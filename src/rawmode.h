// SPDX-License-Identifier: MIT
// The controller in raw reporting (touch presses only, no processing) for as long as an
// operation reads raw coordinates, and its own mode put back afterwards.
#pragma once

#include <cstdint>

#include "packet.h"

// The next touch report's raw coordinates, waiting at most timeoutMs (negative: no limit; a
// timeout is not reported). Other packets are passed over.
Xfer nextTouch(int fd, std::uint16_t& x, std::uint16_t& y, int timeoutMs = -1);

// Puts the controller's own mode back when it goes, on every way out but the device
// disappearing.
class RawMode {
  public:
    explicit RawMode(int fd) : fd_(fd) {}
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    ~RawMode() { restore(); }

    // Reads the controller's mode and switches to raw reporting. False when the mode could not
    // be read: without it there is no way back, so nothing is switched. exchangeOk is cleared
    // when any transfer failed.
    bool enter(bool& exchangeOk);
    // Puts the mode back, once, even after a stop signal; false when that failed or the device
    // is gone.
    bool restore();

  private:
    int fd_;
    Packet previous_{};
    bool active_ = false;
};
