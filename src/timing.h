// SPDX-License-Identifier: MIT
// Time on the controller's line: the clock every wait is measured on, and how long a byte takes.
#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;
// A point in time, and also every deadline: a wait ends when the line's clock reaches it.
using Time = Clock::time_point;
using Duration = Clock::duration;

// A deadline that never comes.
inline constexpr Time kNever = Time::max();

// The line time of one byte at 9600 baud: ten bits.
inline constexpr Duration kByteTime = std::chrono::microseconds(1042);
