// SPDX-License-Identifier: MIT
// What the command line asked for.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <span>
#include <string>

#include "calibration.h"
#include "io.h"
#include "orientation.h"
#include "panelbridge.h"
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

enum class Parsed { run, help, version, error };

// Fills opts from the command line. help and version have printed their text; error has
// reported every fault on standard error, ending with the --help hint.
Parsed parseOptions(int argc, char** argv, Options& opts);
void usage();

// The option table and short option string parseOptions accepts, for tools that document them.
std::span<const option> longOptionTable();  // without the terminating entry
const char* shortOptionString();

// The ranges a run sends, as the bridge needs them. Before the run, --calibrate stands for the
// calibration it will measure; after it, measured holds what it sent, if anything.
GivenAxes givenAxes(const Options& opts, const calib::Bounds* measured = nullptr);
