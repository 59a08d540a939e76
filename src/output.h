// SPDX-License-Identifier: MIT
// What the tool prints on standard output: plain text, or with --json one JSON object per
// line (JSON Lines), for scripts. Messages and the trace on standard error stay text.
#pragma once

#include <optional>
#include <string>

#include "calibration.h"
#include "readback.h"

// printf into a string of at most 159 characters: the short lines both programs print.
[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...);

enum class Format { text, json };

// The format the command line asked for.
Format outputFormat();
void setOutputFormat(Format f);

// Each returns exactly what is printed. Every JSON line is one object whose one key names the
// record; record and field names are an interface scripts rely on: add to them, never rename
// or drop.
// mask: the controller's failure mask, empty when it did not answer. Text: nothing when it
// passed or did not answer, no newline.
std::string formatSelfTest(std::optional<int> mask, Format f);
std::string formatTouch(unsigned x, unsigned y, Format f);
std::string formatSettings(const HeldSettings& held, Format f);
// Text: the options that set this calibration, alone on the line, ready to paste into a script.
std::string formatCalibration(const calib::Bounds& b, Format f);
// Text: nothing; the message on standard error says it.
std::string formatDifference(const Difference& d, Format f);
// The options that set these groups again; held must be complete, with a mode that
// modeKeywordList() names.
std::string formatExport(const HeldSettings& held, Format f);

// Each prints its result. Once a write has failed, nothing more is written: outputError() says
// why, and the run reports it once, at its end.
void printSelfTest(std::optional<int> mask);
// One raw touch, flushed at once so that a reader sees it as it comes. False when standard
// output cannot take it.
bool printTouch(unsigned x, unsigned y);
// The settings read back; a group that could not be read is left out of the text and null in
// JSON.
void printSettings(const HeldSettings& held);
// The calibration measured, flushed at once.
void printCalibration(const calib::Bounds& b);
void printDifference(const Difference& d);
void printExport(const HeldSettings& held);

// Flushes standard output. The error number of the first write that failed, or 0.
int finishOutput();
int outputError();
