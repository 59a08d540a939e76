// SPDX-License-Identifier: MIT
// What happened on the line during a run, and the report made of it at the end.
#pragma once

#include <termios.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "controller.h"

namespace emu {

struct Entry {
    bool fromCommand = false;  // received by the emulator; else sent by it
    double ms = 0;             // since the command started, when the last byte crossed
    // When the first and the last byte were delivered: received by the controller, or
    // readable by the command.
    double firstMs = 0;
    double lastMs = 0;
    std::vector<std::uint8_t> bytes;  // as delivered: a lost byte is left out
    int lost = -1;                    // the byte lost on the line, by its place in the packet
    std::string kind;                 // command, or one of the Outgoing kinds
    int exchange = -1;                // index of the command packet, or of the one answered
    std::string effect;
    std::optional<termios> line;  // the command's line settings when its packet came in
};

struct Record {
    std::vector<std::string> command;
    std::string attached;  // the terminal served in place of a pty of ours
    int status = 0;        // the emulator's own exit status
    std::string ended;
    double durationMs = 0;
    std::optional<termios> lineBefore;
    std::optional<termios> lineAfter;  // none when the line was hung up
    ControllerState initial;
    ControllerState final;
    std::vector<Entry> packets;
    std::vector<std::pair<double, std::string>> events;
};

std::string describeLine(const termios& t);
void writeText(std::FILE* out, const Record& r);

// One object:
//   emulator, command (argv), status (tpanel-emu's exit status), ended, durationMs;
//   attached (the terminal served with --attach, or null);
//   lineBefore, lineAfter (null when the line was hung up, or is attached and its far end out
//     of sight): {ispeed, ospeed (baud), iflag, oflag, cflag, lflag, line, vmin, vtime,
//     cc (all NCCS), text};
//   initialState, state: {scaling: {x: [low, high], y: [...]}, calibration: {...},
//     filter: {slen, deviation, states}, report: {untouch, repeat},
//     mode: {reportFlags, processFlags}, selfTestFailures};
//   packets, in line order: {dir: "in" (from the command) or "out", ms, firstMs, lastMs,
//     hex (the bytes delivered), kind (command, reply, short, dropped, touch, held, stroke,
//     foreign, extra, pending, echo, zeros, noise, injected), exchange, for "dropped" lost,
//     and for "in" effect and line};
//   events: {ms, what} (signals sent, hang-ups).
void writeJson(std::FILE* out, const Record& r);

}  // namespace emu
