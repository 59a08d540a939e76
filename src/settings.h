// SPDX-License-Identifier: MIT
// Packet building and the commands that change the controller's configuration.
#pragma once

#include <cstdint>

#include "packet.h"

struct AxisRange {
    std::int16_t low = 0;
    std::int16_t high = 0;
};

struct FilterParams {
    std::uint8_t slen = 0;
    std::uint8_t deviation = 0;
    std::uint8_t states = 0;
};

struct ReportParams {
    std::uint8_t untouch = 0;
    std::uint8_t repeat = 0;
};

struct ModeFlags {
    std::uint8_t reportFlags = 0;
    std::uint8_t processFlags = 0;
};

namespace filterBit {
inline constexpr std::uint32_t slen = 0x1;
inline constexpr std::uint32_t deviation = 0x2;
inline constexpr std::uint32_t states = 0x4;
}  // namespace filterBit

namespace reportBit {
inline constexpr std::uint32_t untouch = 0x1;
inline constexpr std::uint32_t repeat = 0x2;
}  // namespace reportBit

// Mode flag bits; the raw dump's mode is reportTouch with no processing.
namespace modeBit {
inline constexpr std::uint8_t reportTouch = 0x01;
inline constexpr std::uint8_t reportStream = 0x02;
inline constexpr std::uint8_t reportUntouch = 0x04;
inline constexpr std::uint8_t trim = 0x02;
inline constexpr std::uint8_t calib = 0x04;
inline constexpr std::uint8_t scale = 0x08;
inline constexpr std::uint8_t tracking = 0x40;
}  // namespace modeBit

void clearPacket(Packet& pkt);
void putLe16(std::uint8_t* p, std::uint16_t value);
std::uint16_t getLe16(const std::uint8_t* p);

// Each returns 0 when every exchange went through whole, -1 otherwise.
int setScaling(int fd, char axis, std::int16_t low, std::int16_t high);
int setCalibration(int fd, char axis, std::int16_t low, std::int16_t high);
int setFilter(int fd, const FilterParams& f, std::uint32_t mask);
int setReport(int fd, const ReportParams& r, std::uint32_t mask);
int setMode(int fd, const ModeFlags& m);

// Prints count touch reports (forever when negative) in raw mode, then puts the mode back.
// Returns 0, or -1 when an exchange failed, the mode was unknown or the device went away.
int dumpRaw(int fd, std::int32_t count);
