// SPDX-License-Identifier: MIT
// What the tool prints on standard output: plain text, or with --json one JSON object per
// line (JSON Lines), for scripts. Messages and the trace on standard error stay text.
#pragma once

#include <string>

#include "calibration.h"
#include "readback.h"

// printf into a string of at most 159 characters: the short lines both programs print.
[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...);

enum class Format { text, json };

// The format the command line asked for.
Format outputFormat();

// Each returns exactly what is printed. Field names and layout of the JSON objects are an
// interface scripts rely on: add to them, never rename or drop.
std::string formatSelfTest(int mask, Format f);  // text: nothing when it passed, no newline
std::string formatTouch(unsigned x, unsigned y, Format f);
std::string formatSettings(const HeldSettings& held, Format f);
// Text: the options that set this calibration, alone on the line, ready to paste into a script.
std::string formatCalibration(const calib::Bounds& b, Format f);

// The self-test verdict; text shows only a failure.
void printSelfTest(int mask);
// One raw touch, flushed at once so that a reader sees it as it comes. False when standard
// output cannot take it.
bool printTouch(unsigned x, unsigned y);
// The settings read back; a group that could not be read is left out of the text and null in
// JSON. False when standard output cannot take it.
bool printSettings(const HeldSettings& held);
// The calibration measured. False when standard output cannot take it.
bool printCalibration(const calib::Bounds& b);
