// SPDX-License-Identifier: MIT
#include "finger.h"

#include <algorithm>
#include <limits>

#include "controller.h"

namespace emu {

namespace {

std::uint16_t along(std::uint16_t from, std::uint16_t to, std::uint64_t i, std::uint64_t n) {
    if (n < 2) {
        return from;
    }
    const auto span = static_cast<std::int64_t>(to) - from;
    const auto step = static_cast<std::int64_t>(i);
    const auto steps = static_cast<std::int64_t>(n - 1);
    return static_cast<std::uint16_t>(from + span * step / steps);
}

}  // namespace

void Finger::start(Time at) {
    started_ = true;
    begin_ = at;
}

Time Finger::next() const {
    if (!started_ || stroke_ >= strokes_.size()) {
        return kNever;
    }
    return begin_ + strokes_[stroke_].period * static_cast<long>(index_);
}

std::optional<Finger::Tick> Finger::take(Time now) {
    std::optional<Tick> got;
    while (next() <= now) {
        const Stroke& s = strokes_[stroke_];
        const std::uint64_t last =
            s.count == 0 ? std::numeric_limits<std::uint64_t>::max() : s.count - 1;
        const auto late = static_cast<std::uint64_t>((now - next()) / s.period);
        const std::uint64_t i = std::min(last, index_ + late);
        const Time at = begin_ + s.period * static_cast<long>(i);
        got = Tick{
            at, touchReport(along(s.fromX, s.toX, i, s.count), along(s.fromY, s.toY, i, s.count)),
            i == 0};
        index_ = i + 1;
        if (i == last) {
            // Lifted: silence until the next stroke comes down.
            begin_ = at + gap_;
            index_ = 0;
            ++stroke_;
        }
    }
    return got;
}

}  // namespace emu
