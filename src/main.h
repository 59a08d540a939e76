// SPDX-License-Identifier: MIT
// Command line and the order of a run.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "calibrate.h"
#include "io.h"
#include "settings.h"

inline constexpr int X = 0;
inline constexpr int Y = 1;

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
    bool calibrate = false;
    CalibrationRequest guided;  // --samples, --misclick, --touch-timeout, --dry-run
};

// The process-wide record; the packet transport reads its dump flag.
extern Options options;

enum class Parsed { run, help, version, error };

// Fills opts from the command line. help and version have printed their text; error has
// reported every fault on standard error, ending with the --help hint.
Parsed parseOptions(int argc, char** argv, Options& opts);
void usage();

// The option table and short option string parseOptions accepts, for tools that document them.
std::span<const option> longOptionTable();  // without the terminating entry
const char* shortOptionString();

// The mode keywords whose bits are all set in m, in the order the settings are shown.
std::vector<const char*> modeKeywordsOf(const ModeFlags& m);

inline constexpr int kStatusOk = 0;
inline constexpr int kStatusExchangeFailed = 1;
inline constexpr int kStatusBadUsage = 2;
inline constexpr int kStatusFatal = 255;

int runTavrinset(int argc, char** argv);
