// SPDX-License-Identifier: MIT
// A finger on the panel over time: held in one place, or drawing strokes one after another.
// Time arithmetic only, so that it can be checked against tables.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "delivery.h"
#include "packet.h"

namespace emu {

// Down at `from`, moved in a straight line to `to` over `count` reports, `period` apart, then
// lifted. count 0: held at `from` for good.
struct Stroke {
    std::uint16_t fromX = 0, fromY = 0, toX = 0, toY = 0;
    std::uint64_t count = 0;
    std::chrono::nanoseconds period{};
};

class Finger {
  public:
    struct Tick {
        Time at;
        Packet report;
        bool first;  // the press: the first report of its stroke
    };

    Finger() = default;
    Finger(std::vector<Stroke> strokes, std::chrono::nanoseconds gap)
        : strokes_(std::move(strokes)), gap_(gap) {}

    bool given() const { return !strokes_.empty(); }
    bool started() const { return started_; }
    // The first stroke begins at `at`.
    void start(Time at);
    // The report of the latest tick due by `now`, the ones before it passed over: the
    // controller reports where the finger is, not a backlog of where it was. Nothing when no
    // tick has come round since the last call.
    std::optional<Tick> take(Time now);
    // When the next tick is due; kNever when not started or all strokes are done.
    Time next() const;

  private:
    std::vector<Stroke> strokes_;
    std::chrono::nanoseconds gap_{};
    bool started_ = false;
    std::size_t stroke_ = 0;
    std::uint64_t index_ = 0;  // the next report of the current stroke
    Time begin_{};             // when the current stroke's first report is due
};

}  // namespace emu
