// SPDX-License-Identifier: MIT
// The bridge on the controller's line: its touch reports as a TouchSource, the range they
// cover as the run set it, and the run itself, from reading the mode to the last release.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "bridge.h"
#include "orientation.h"
#include "settings.h"
#include "transport.h"
#include "uinput.h"

// Touch reports as the line brings them, each stamped when its last byte was read. Any other
// packet is passed over, and so is a packet framed as a touch that does not begin with the
// lead-in: cut from the wrong bytes, it would put a touch anywhere on the screen.
class PanelTouches final : public TouchSource {
  public:
    explicit PanelTouches(Transport& t) : t_(t) {}
    Awaited next(TouchReport& r, std::optional<TouchTime> deadline) override;
    // Why the reports ended, once next() said gone or failed: for the one message.
    const Status& ended() const { return ended_; }

  private:
    Transport& t_;
    Status ended_;
};

// The ranges this run sends, which are all the bridge knows of the reports' range: the
// controller cannot be asked for its scaling or calibration.
struct GivenAxes {
    std::optional<AxisRange> scaling[2];      // 0..--width, 0..--height
    std::optional<AxisRange> calibration[2];  // given, or measured by --calibrate
    bool measured = false;                    // --calibrate will fill in the calibration
};

// What the bridge lacks before it can map the reports. The mode is that of the controller, or
// the one this run sends; none when neither is known yet.
enum class BridgeNeed {
    nothing,
    ranges,       // no range at all in this run
    stream,       // the mode has no reports while the finger is down
    size,         // the controller scales, and the screen size was not given
    calibration,  // the controller does not scale, and no calibration range was given
    width,        // a range of one value
};

BridgeNeed bridgeNeeds(const std::optional<ModeFlags>& mode, const GivenAxes& given);
// The message for a need, without "tavrinset: " and the newline.
std::string describe(BridgeNeed need);

// The reports' span on each axis, left to right and top to bottom, for a mode and ranges that
// need nothing. The controller's y grows upwards: --ylow is the bottom edge, so a scaled
// report's 0 and a raw report's --ylow are at the bottom.
struct ReportSpans {
    AxisSpan x;
    AxisSpan y;
};
ReportSpans reportSpans(const ModeFlags& mode, const GivenAxes& given);

struct BridgeSetup {
    GivenAxes axes;
    Orientation orientation;
    std::chrono::milliseconds releaseAfter{0};
    SizeMm size;
};

// How a bridge run ended, or why it did not start.
struct Bridged {
    enum Kind {
        stopped,     // a stop signal: the normal end
        gone,        // the device went away (status holds why)
        failed,      // the line failed otherwise (status holds why)
        noMode,      // the mode could not be read (reported by the transport)
        lacking,     // the mode does not suit the bridge (need says what)
        sinkFailed,  // events could not be written (err)
    };
    Kind kind = stopped;
    Status status;
    BridgeNeed need = BridgeNeed::nothing;
    int err = 0;
};

// Reads the controller's mode and maps its reports as the setup asks; none when the bridge
// cannot run, and then `why` says why. Nothing is made or written here: the device is made
// after this, so that a controller that does not answer never shows up as a touchscreen.
std::optional<TouchMapping> prepareBridge(Transport& t, const BridgeSetup& s, Bridged& why);

// Turns reports into events on sink until a stop signal or the line ends it. Every way out
// releases a touch still held.
Bridged runPanelBridge(Transport& t, EventSink& sink, const TouchMapping& mapping,
                       const BridgeSetup& s);
