// SPDX-License-Identifier: MIT
#include "touchstate.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <span>

void ReleaseTime::arrived(TouchTime at) {
    if (previous_ && at >= *previous_) {
        intervals_[next_] = at - *previous_;
        next_ = (next_ + 1) % intervals_.size();
        count_ = std::min(count_ + 1, intervals_.size());
    }
    previous_ = at;
    if (fixed_.count() > 0 || count_ == 0) {
        return;
    }
    auto recent = intervals_;
    const std::span window = std::span(recent).first(count_);
    const auto middle = window.begin() + static_cast<std::ptrdiff_t>(count_ / 2);
    std::nth_element(window.begin(), middle, window.end());
    current_ =
        std::clamp<TouchClock::duration>(*middle * kReleaseIntervals, kReleaseFloor, kReleaseCap);
}

TouchTracker::TouchTracker(const TouchMapping& mapping, EventSink& sink,
                           std::chrono::milliseconds releaseAfter)
    : mapping_(mapping),
      sink_(sink),
      release_(releaseAfter),
      shown_{mapping.rangeX().min, mapping.rangeY().min} {}

int TouchTracker::report(std::uint16_t x, std::uint16_t y, TouchTime at) {
    if (const int err = expire(at); err != 0) {
        return err;
    }
    release_.arrived(at);
    last_ = at;
    const DevicePoint p = mapping_.map(x, y);
    std::array<InputEvent, 4> frame{};
    std::size_t n = 0;
    if (!held_) {
        frame[n++] = {EV_KEY, BTN_TOUCH, 1};
        held_ = true;
    }
    if (p.x != shown_.x) {
        frame[n++] = {EV_ABS, ABS_X, p.x};
    }
    if (p.y != shown_.y) {
        frame[n++] = {EV_ABS, ABS_Y, p.y};
    }
    shown_ = p;
    if (n == 0) {
        // Nothing moved: an empty frame would not reach the device's readers either.
        return 0;
    }
    frame[n++] = {EV_SYN, SYN_REPORT, 0};
    return sink_.write(std::span(frame.data(), n));
}

int TouchTracker::expire(TouchTime now) {
    const auto due = deadline();
    return due && now >= *due ? release() : 0;
}

std::optional<TouchTime> TouchTracker::deadline() const {
    if (!held_) {
        return std::nullopt;
    }
    return last_ + release_.current();
}

int TouchTracker::finish() {
    return held_ ? release() : 0;
}

int TouchTracker::release() {
    // Not held any more even when the sink failed: a release is never sent twice.
    held_ = false;
    const std::array<InputEvent, 2> frame{{{EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}}};
    return sink_.write(frame);
}
