// SPDX-License-Identifier: MIT
// The commands that change the controller's configuration, and the types of its settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packet.h"

class Transport;

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

// A --mode keyword and the flag bits it sets.
struct ModeKeyword {
    const char* word;
    std::uint8_t reportFlags;
    std::uint8_t processFlags;
    int shownAt;  // place among the keywords shown for a mode read back; 0: never shown
};

// Matched in this order, each as a prefix of the item; "default" ends a list. The last two are
// the words the usage text shows for touch and scale. A mode read back is shown one keyword per
// bit, report bits first, then processing bits, which is not the matching order: hence shownAt.
extern const ModeKeyword kModeKeywords[10];

// The mode keywords whose bits are all set in m, in the order the settings are shown.
std::vector<const char*> modeKeywordsOf(const ModeFlags& m);
// Those keywords as the --mode value that sets m again ("touch,untouch"), or empty when no
// keyword list sets exactly m: no bit set, or a bit no keyword names.
std::string modeKeywordList(const ModeFlags& m);

// Each returns 0 when every exchange went through whole, -1 otherwise (reported).
int setScaling(Transport& t, char axis, std::int16_t low, std::int16_t high);
int setCalibration(Transport& t, char axis, std::int16_t low, std::int16_t high);
int setFilter(Transport& t, const FilterParams& f, std::uint32_t mask);
int setReport(Transport& t, const ReportParams& r, std::uint32_t mask);
int setMode(Transport& t, const ModeFlags& m);
