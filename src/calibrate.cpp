// SPDX-License-Identifier: MIT
#include "calibrate.h"

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "io.h"
#include "output.h"
#include "packet.h"
#include "rawdump.h"
#include "settings.h"
#include "transport.h"

namespace {

enum class Measured { ok, failed, stopped, gone };

// Prompts, acknowledgements and findings, for the operator at the panel: standard error is
// unbuffered, so each one shows as soon as it is said.
[[gnu::format(printf, 1, 2)]] void say(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
}

// The next touch before the deadline. Packets that could not be read (reported by the
// transport) are passed over on the same clock, so that garbage on the line cannot hold the
// operator's time limit open.
Status waitForTouch(Transport& t, std::uint16_t& x, std::uint16_t& y, Time deadline) {
    for (;;) {
        const Status got = nextTouch(t, x, y, deadline);
        if (got.ok() || got.kind == Status::timeout || got.kind == Status::stopped || t.dead()) {
            return got;
        }
        report(t, got);
    }
}

// One corner's touches until they make a group. Fills point.
Measured measureCorner(Transport& t, const CalibrationRequest& req, calib::Corner corner,
                       calib::Point& point) {
    say("%s\n", calib::touchPrompt(corner).c_str());
    calib::SampleCollector collector(req.samples, req.misclick);
    const auto limit = std::chrono::seconds(req.touchTimeoutS);
    for (;;) {
        std::uint16_t x = 0;
        std::uint16_t y = 0;
        const Status got = waitForTouch(t, x, y, t.now() + limit);
        if (got.kind == Status::stopped) {
            return Measured::stopped;
        }
        if (t.dead()) {
            report(t, got);
            return Measured::gone;
        }
        if (got.kind == Status::timeout) {
            say("tavrinset: no touch within %d s: calibration stopped, nothing sent\n",
                req.touchTimeoutS);
            return Measured::failed;
        }
        switch (collector.add(x, y)) {
            case calib::Take::counted:
            case calib::Take::done:
                say("  %d of %d: %u, %u\n", collector.counted(), collector.samples(), x, y);
                break;
            case calib::Take::dropped:
                say("  dropped %u, %u: too far from the other touches, touch again\n", x, y);
                break;
            case calib::Take::failed:
                say("  dropped %u, %u\n", x, y);
                say("tavrinset: no %d of %d touches at the %s corner agree within %d counts: "
                    "calibration stopped, nothing sent\n",
                    collector.samples(), collector.touches(), calib::cornerName(corner),
                    static_cast<int>(req.misclick));
                return Measured::failed;
        }
        if (collector.counted() == collector.samples()) {
            point = collector.point();
            return Measured::ok;
        }
    }
}

// Rounds of four corners until they pass the checks. Fills bounds.
Measured measure(Transport& t, const CalibrationRequest& req, calib::Bounds& bounds) {
    if (req.samples == 1) {
        say("Touch each corner of the screen once, as close to the corner as you can.\n");
    } else {
        say("Touch each corner of the screen %d times, as close to the corner as you can.\n",
            req.samples);
    }
    for (int round = 1; round <= calib::kMaxRounds; ++round) {
        if (round > 1) {
            say("Round %d of %d: touch the four corners again.\n", round, calib::kMaxRounds);
        }
        std::array<calib::Point, calib::kCorners.size()> corners{};
        for (calib::Corner c : calib::kCorners) {
            const Measured m = measureCorner(t, req, c, corners[static_cast<std::size_t>(c)]);
            if (m != Measured::ok) {
                return m;
            }
        }
        const calib::CornerCheck check = calib::checkCorners(corners);
        say("%s", calib::describeFindings(corners, check).c_str());
        if (check.swapped) {
            // Another round would find the same wiring.
            say("tavrinset: X and Y swapped: calibration stopped, nothing sent\n");
            return Measured::failed;
        }
        if (check.usable()) {
            bounds = check.bounds;
            return Measured::ok;
        }
    }
    say("tavrinset: the corners still disagree after %d rounds: calibration stopped, nothing "
        "sent\n",
        calib::kMaxRounds);
    return Measured::failed;
}

}  // namespace

Calibrated calibrate(Transport& t, const CalibrationRequest& req, calib::Bounds* sent) {
    bool ok = true;
    RawMode raw(t);
    if (!raw.enter(ok)) {
        if (!t.dead() && pendingStop() == 0) {
            std::fputs("tavrinset: calibration not started: mode unknown\n", stderr);
        }
        return Calibrated::failed;
    }
    calib::Bounds bounds;
    Measured measured = Measured::gone;
    if (!t.dead() && pendingStop() == 0) {
        measured = measure(t, req, bounds);
    }
    // The operator's touches are never lost: whatever ends the run from here on, what they
    // measured is out, and can be sent by hand.
    if (measured == Measured::ok) {
        printCalibration(bounds);
    }
    // The controller's own mode comes back before anything is sent, and also after a failure
    // or a stop signal.
    const bool restored = raw.restore();
    if (measured != Measured::ok || t.dead() || pendingStop() != 0) {
        return Calibrated::failed;
    }
    if (!restored) {
        std::fputs("tavrinset: calibration not sent: the controller's mode could not be put back\n",
                   stderr);
        return Calibrated::failed;
    }
    if (!req.dryRun) {
        // X then Y, as the setting sequence sends them; a device gone ends it.
        ok = setCalibration(t, 'X', static_cast<std::int16_t>(bounds.xlow),
                            static_cast<std::int16_t>(bounds.xhigh)) == 0 &&
             ok;
        if (!t.dead() && pendingStop() == 0) {
            ok = setCalibration(t, 'Y', static_cast<std::int16_t>(bounds.ylow),
                                static_cast<std::int16_t>(bounds.yhigh)) == 0 &&
                 ok;
        }
        if (t.dead() || pendingStop() != 0) {
            return Calibrated::failed;
        }
        if (sent != nullptr) {
            *sent = bounds;
        }
    }
    return ok ? Calibrated::sent : Calibrated::exchangeFailed;
}
