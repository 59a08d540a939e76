// SPDX-License-Identifier: MIT
// Command line and the order of a run.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "options.h"

enum class Parsed { run, help, version, error };

// Fills opts from the command line. help and version have printed their text; error has
// reported every fault on standard error, ending with the --help hint.
Parsed parseOptions(int argc, char** argv, Options& opts);
void usage();

// The option table and short option string parseOptions accepts, for tools that document them.
std::span<const option> longOptionTable();  // without the terminating entry
const char* shortOptionString();

inline constexpr int kStatusOk = 0;
inline constexpr int kStatusExchangeFailed = 1;
inline constexpr int kStatusBadUsage = 2;
inline constexpr int kStatusReaderGone = 141;  // as a process that SIGPIPE ended
inline constexpr int kStatusFatal = 255;

int runTavrinset(int argc, char** argv);
