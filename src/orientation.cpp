// SPDX-License-Identifier: MIT
#include "orientation.h"

#include <algorithm>

TouchMapping::TouchMapping(AxisSpan x, AxisSpan y, Orientation o)
    : swap_(o.swapXY),
      x_(axisOf(o.swapXY ? y : x, o.invertX)),
      y_(axisOf(o.swapXY ? x : y, o.invertY)) {}

TouchMapping::Axis TouchMapping::axisOf(AxisSpan span, bool invert) {
    const bool backwards = span.first > span.last;
    // A backwards span and an invert cancel out.
    return {{std::min(span.first, span.last), std::max(span.first, span.last)},
            backwards != invert};
}

std::int32_t TouchMapping::place(std::int32_t value, const Axis& axis) {
    const std::int32_t v = std::clamp(value, axis.range.min, axis.range.max);
    return axis.mirror ? axis.range.min + axis.range.max - v : v;
}

DevicePoint TouchMapping::map(std::uint16_t x, std::uint16_t y) const {
    return {place(swap_ ? y : x, x_), place(swap_ ? x : y, y_)};
}
