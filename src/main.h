// SPDX-License-Identifier: MIT
// The order of a run and its exit status.
#pragma once

#include "options.h"

inline constexpr int kStatusOk = 0;
inline constexpr int kStatusExchangeFailed = 1;
inline constexpr int kStatusBadUsage = 2;
inline constexpr int kStatusReaderGone = 141;  // as a process that SIGPIPE ended
inline constexpr int kStatusFatal = 255;

int runTavrinset(int argc, char** argv);
