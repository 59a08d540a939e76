// SPDX-License-Identifier: MIT
// Touch reports into press, move and release events. Nothing here reads a clock: every call
// is given the time it stands for, so the caller decides what "now" is and the rules can be
// checked in virtual time.
//
// Reports carry no reliable touch state, so a touch is told by its reports alone: the first
// report after none is a press, later ones are moves, and silence for the release time is the
// release.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "events.h"
#include "orientation.h"

using TouchClock = std::chrono::steady_clock;
using TouchTime = TouchClock::time_point;

// How long a silence must last to be a release, unless the operator fixes it: a multiple of the
// median of the recent report intervals, so that a report or two lost on the line does not
// break a stroke into two touches.
//
// - The floor stays above the silences the line makes by itself: a USB serial adapter holds
//   bytes back for up to 16 ms and then delivers reports in bunches, so intervals of almost
//   nothing and of twice the rate alternate. Below it a release and a new press would follow
//   each other faster than any finger.
// - The cap bounds how long a lifted finger can stay down: beyond half a second a kiosk user
//   sees a stuck touch. A controller reporting more slowly than that needs --release-after.
// - Until an interval is known the cap holds, so that the first touch is not cut into many on
//   a slow controller; it costs only the first tap a late release.
// - The window is recent reports, not the touch's: the gaps between touches fall in it too,
//   but they are few against the reports of a stroke and the median passes over them. Learning
//   across touches is also what lets a controller slower than the first guess be learnt at all.
inline constexpr std::chrono::milliseconds kReleaseFloor{50};
inline constexpr std::chrono::milliseconds kReleaseCap{500};
inline constexpr int kReleaseIntervals = 4;
inline constexpr std::size_t kIntervalWindow = 16;

class ReleaseTime {
  public:
    // fixed: the operator's release time; zero to learn it.
    explicit ReleaseTime(std::chrono::milliseconds fixed) : fixed_(fixed) {}

    void arrived(TouchTime at);
    TouchClock::duration current() const { return current_; }

  private:
    std::chrono::milliseconds fixed_;
    TouchClock::duration current_ = fixed_.count() > 0 ? TouchClock::duration(fixed_) : kReleaseCap;
    std::optional<TouchTime> previous_;
    std::array<TouchClock::duration, kIntervalWindow> intervals_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

class TouchTracker {
  public:
    // releaseAfter: the operator's release time; zero to learn it from the reports.
    TouchTracker(const TouchMapping& mapping, EventSink& sink,
                 std::chrono::milliseconds releaseAfter);

    // Each returns 0, or the sink's errno value when it could not take the events.

    // A report that arrived at `at`: a press, or a move (nothing when it moved no axis). A
    // touch whose release was due before `at` is released first, however late the caller is.
    int report(std::uint16_t x, std::uint16_t y, TouchTime at);
    // Releases the touch when its release time is up at `now`.
    int expire(TouchTime now);
    // When expire() will next have something to do; none while no touch is held.
    std::optional<TouchTime> deadline() const;
    // Releases a touch still held: for every end of the bridge.
    int finish();

    bool held() const { return held_; }

  private:
    int release();

    TouchMapping mapping_;
    EventSink& sink_;
    ReleaseTime release_;
    bool held_ = false;
    TouchTime last_{};
    // What the device shows: it passes on only the axes that change, so the events written
    // are the events its readers see.
    DevicePoint shown_;
};
