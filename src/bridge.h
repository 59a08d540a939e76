// SPDX-License-Identifier: MIT
// The bridge's loop: touch reports from the panel, through the touch state, into events, until
// something ends it. Whatever ends it, no touch is left held.
#pragma once

#include <cstdint>
#include <optional>

#include "touchstate.h"

struct TouchReport {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    TouchTime at;  // when its last byte was read
};

enum class Awaited {
    report,   // r holds the next touch report
    timeout,  // the deadline came first
    stopped,  // a stop signal
    gone,     // the device went away
    failed,   // an error the source cannot get past (the source has reported it)
};

// Where touch reports come from. Packets other than touch reports, and packets that could not
// be read but leave the line usable, are the source's business: it passes them over.
class TouchSource {
  public:
    virtual ~TouchSource() = default;
    // The next touch report, waiting until the deadline at most; none: no limit. Blocks: the
    // deadline is the only reason the bridge ever wakes without a report.
    virtual Awaited next(TouchReport& r, std::optional<TouchTime> deadline) = 0;
};

enum class BridgeEnd { stopped, gone, failed, sinkFailed };

struct BridgeResult {
    BridgeEnd end = BridgeEnd::stopped;
    // The errno value of the first write the sink refused, the final release's included; 0 when
    // every event was written.
    int sinkError = 0;
};

BridgeResult runBridge(TouchSource& source, TouchTracker& touches);
