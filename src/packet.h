// SPDX-License-Identifier: MIT
// The ten-byte packet: its layout, the command letters, 16-bit fields and the trace line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Packet = std::array<std::uint8_t, 10>;

inline constexpr std::uint8_t kLeadIn = 0x55;

// Command letters. Replies carry letters of the controller's own choosing, except touch reports.
namespace letter {
inline constexpr std::uint8_t scaling = 'S';
inline constexpr std::uint8_t calibration = 'C';
inline constexpr std::uint8_t filterQuery = 'f';
inline constexpr std::uint8_t reportQuery = 'b';
inline constexpr std::uint8_t mode = 'M';
inline constexpr std::uint8_t modeQuery = 'm';
inline constexpr std::uint8_t diagnostics = 'D';
inline constexpr std::uint8_t touch = 'T';
}  // namespace letter

// Byte positions inside a packet, for every command and reply that has data.
namespace at {
inline constexpr std::size_t leadIn = 0;
inline constexpr std::size_t letter = 1;
inline constexpr std::size_t axis = 2;  // scaling, calibration
inline constexpr std::size_t low = 3;   // 16 bits
inline constexpr std::size_t high = 5;  // 16 bits
inline constexpr std::size_t slen = 3;  // filter
inline constexpr std::size_t deviation = 4;
inline constexpr std::size_t states = 5;
inline constexpr std::size_t untouch = 2;  // report
inline constexpr std::size_t repeat = 3;
inline constexpr std::size_t reportFlags = 3;  // mode
inline constexpr std::size_t processFlags = 4;
inline constexpr std::size_t dmask = 2;   // self-test request and its failure mask
inline constexpr std::size_t touchX = 3;  // touch report, 16 bits each
inline constexpr std::size_t touchY = 5;
}  // namespace at

// 16-bit fields travel low byte first.
void putLe16(std::uint8_t* p, std::uint16_t value);
std::uint16_t getLe16(const std::uint8_t* p);

// The trace line for one packet: hex bytes, a tab, the letters among them, a newline.
std::string formatPacket(const Packet& pkt);
