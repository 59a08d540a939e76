// SPDX-License-Identifier: MIT
#include "panelbridge.h"

#include "rawdump.h"
#include "readback.h"

namespace {

constexpr int kX = 0;
constexpr int kY = 1;

// Ranges travel as 16-bit patterns, and reports carry 0..65535.
std::int32_t count(std::int16_t v) {
    return static_cast<std::uint16_t>(v);
}

bool both(const std::optional<AxisRange> (&r)[2]) {
    return r[kX].has_value() && r[kY].has_value();
}

bool flat(const std::optional<AxisRange>& r) {
    return r && count(r->low) == count(r->high);
}

}  // namespace

Awaited PanelTouches::next(TouchReport& r, std::optional<TouchTime> deadline) {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    Time last{};
    const Status got = nextTouch(t_, x, y, deadline ? *deadline : kNever, &last);
    switch (got.kind) {
        case Status::done:
            r = {x, y, last};
            return Awaited::report;
        case Status::timeout:
            return Awaited::timeout;
        case Status::stopped:
            return Awaited::stopped;
        default:
            ended_ = got;
            return t_.dead() ? Awaited::gone : Awaited::failed;
    }
}

BridgeNeed bridgeNeeds(const std::optional<ModeFlags>& mode, const GivenAxes& given) {
    const bool sized = both(given.scaling);
    const bool calibrated = both(given.calibration) || given.measured;
    if (!mode) {
        return sized || calibrated ? BridgeNeed::nothing : BridgeNeed::ranges;
    }
    if ((mode->reportFlags & modeBit::reportStream) == 0) {
        return BridgeNeed::stream;
    }
    if ((mode->processFlags & modeBit::scale) != 0) {
        if (!sized) {
            return BridgeNeed::size;
        }
        return flat(given.scaling[kX]) || flat(given.scaling[kY]) ? BridgeNeed::width
                                                                  : BridgeNeed::nothing;
    }
    if (!calibrated) {
        return BridgeNeed::calibration;
    }
    return flat(given.calibration[kX]) || flat(given.calibration[kY]) ? BridgeNeed::width
                                                                      : BridgeNeed::nothing;
}

std::string describe(BridgeNeed need) {
    switch (need) {
        case BridgeNeed::nothing:
            return {};
        case BridgeNeed::ranges:
            return "the bridge needs the range of the touch reports: --width and --height (the "
                   "controller scaling), or --xlow, --xhigh, --ylow and --yhigh (or --calibrate)";
        case BridgeNeed::stream:
            return "the bridge needs reports while the finger is down: add stream to --mode";
        case BridgeNeed::size:
            return "the controller scales its reports (scale in its mode): the bridge needs the "
                   "screen size, --width and --height";
        case BridgeNeed::calibration:
            return "the controller does not scale its reports (no scale in its mode): the bridge "
                   "needs the calibration range, --xlow, --xhigh, --ylow and --yhigh (or "
                   "--calibrate), or scale in --mode with --width and --height";
        case BridgeNeed::width:
            return "the bridge needs a range of more than one value on each axis: both ends of "
                   "an axis are the same";
    }
    return {};
}

ReportSpans reportSpans(const ModeFlags& mode, const GivenAxes& given) {
    const auto& r = (mode.processFlags & modeBit::scale) != 0 ? given.scaling : given.calibration;
    return {{count(r[kX]->low), count(r[kX]->high)}, {count(r[kY]->high), count(r[kY]->low)}};
}

std::optional<TouchMapping> prepareBridge(Transport& t, const BridgeSetup& s, Bridged& why) {
    Readback readback(t);
    const std::optional<ModeFlags> mode = readback.mode();
    if (!mode) {
        why.kind = t.dead() ? Bridged::gone : Bridged::noMode;
        return std::nullopt;
    }
    why.need = bridgeNeeds(mode, s.axes);
    if (why.need != BridgeNeed::nothing) {
        why.kind = Bridged::lacking;
        return std::nullopt;
    }
    const ReportSpans spans = reportSpans(*mode, s.axes);
    return TouchMapping(spans.x, spans.y, s.orientation);
}

Bridged runPanelBridge(Transport& t, EventSink& sink, const TouchMapping& mapping,
                       const BridgeSetup& s) {
    PanelTouches source(t);
    TouchTracker touches(mapping, sink, s.releaseAfter);
    const BridgeResult r = runBridge(source, touches);
    Bridged b;
    b.err = r.sinkError;
    switch (r.end) {
        case BridgeEnd::stopped:
            b.kind = Bridged::stopped;
            break;
        case BridgeEnd::gone:
            b.kind = Bridged::gone;
            break;
        case BridgeEnd::failed:
            b.kind = Bridged::failed;
            break;
        case BridgeEnd::sinkFailed:
            b.kind = Bridged::sinkFailed;
            break;
    }
    b.status = source.ended();
    // A stop is the normal end, but the final release may still have been refused.
    if (b.kind == Bridged::stopped && b.err != 0) {
        b.kind = Bridged::sinkFailed;
    }
    return b;
}
