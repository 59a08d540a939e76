// SPDX-License-Identifier: MIT
// What the command line asked for.
#pragma once

#include <cstdint>
#include <string>

#include "calibration.h"
#include "io.h"
#include "orientation.h"
#include "settings.h"
#include "uinput.h"

inline constexpr int X = 0;
inline constexpr int Y = 1;

inline constexpr int kDefaultReplyTimeoutMs = 2000;
inline constexpr int kMinReplyTimeoutMs = 100;
inline constexpr int kMaxReplyTimeoutMs = 60000;

// What --bridge and --print-events ask for.
struct BridgeRequest {
    bool wanted = false;  // either option
    bool print = false;   // events as text on standard output, no input device
    SizeMm size;
    Orientation orientation;
    int releaseAfterMs = 0;  // 0: learnt from the reports
};

inline constexpr int kMaxSizeMm = 10000;
inline constexpr int kMaxReleaseAfterMs = 10000;

struct Options {
    AxisRange scaling[2];
    bool scalingGiven[2] = {false, false};
    AxisRange calibration[2];
    bool calibrationGiven[2] = {false, false};
    FilterParams filter;
    std::uint32_t filterMask = 0;
    ReportParams report;
    std::uint32_t reportMask = 0;
    ModeFlags mode;
    bool modeGiven = false;
    bool diagnostics = false;
    std::int32_t raw = 0;
    bool dump = false;
    std::string device = kDevicePath;
    bool show = false;
    bool verify = false;
    bool json = false;  // standard output as JSON Lines
    bool exportSettings = false;
    int replyTimeoutMs = kDefaultReplyTimeoutMs;
    bool calibrate = false;
    CalibrationRequest guided;  // --samples, --misclick, --touch-timeout, --dry-run
    BridgeRequest bridge;
};

// The process-wide record, filled by parseOptions (main.h) and read by main alone, and by the
// choice of output format.
extern Options options;
