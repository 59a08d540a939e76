// SPDX-License-Identifier: MIT
// Where a touch report lands on the input device's axes: the report's own range on each axis,
// then the operator's orientation (swap, then invert), in one mapping fixed at start.
#pragma once

#include <cstdint>

// One axis of the reports: the value reported at the screen's left (or top) edge and the value
// at its right (or bottom) edge. When first is above last the axis runs backwards and the
// mapping turns it round, so a range given as measured needs no flag.
struct AxisSpan {
    std::int32_t first = 0;
    std::int32_t last = 0;
};

// One axis of the input device: min at the left (top), max at the right (bottom). The device's
// axes start at min, before any touch.
struct AbsRange {
    std::int32_t min = 0;
    std::int32_t max = 0;
};

// The eight orientations. Swap comes first: the device's X is fed by the reports' Y. Each
// invert then mirrors a device axis, after the swap, so --invert-x always mirrors what the
// user sees move left and right. A quarter turn is a swap and one invert.
struct Orientation {
    bool swapXY = false;
    bool invertX = false;
    bool invertY = false;
};

struct DevicePoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

class TouchMapping {
  public:
    TouchMapping(AxisSpan x, AxisSpan y, Orientation o);

    // Each device axis has the range of the report axis that feeds it.
    AbsRange rangeX() const { return x_.range; }
    AbsRange rangeY() const { return y_.range; }

    // A report outside its span lands on the nearest edge: a touch beyond the calibrated area
    // is still a touch on the screen's border, and the device never reports beyond its range.
    DevicePoint map(std::uint16_t x, std::uint16_t y) const;

  private:
    struct Axis {
        AbsRange range;
        bool mirror = false;
    };
    static Axis axisOf(AxisSpan span, bool invert);
    static std::int32_t place(std::int32_t value, const Axis& axis);

    bool swap_;
    Axis x_;
    Axis y_;
};
