// SPDX-License-Identifier: MIT
// The emulator's command line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "controller.h"
#include "delivery.h"
#include "faults.h"
#include "finger.h"

namespace emu {

enum class ReportTo { text, json, none };

// A finger resting on the panel.
struct Hold {
    bool given = false;
    Stroke stroke;  // where, endless, and how often
};

// Back to back, a report takes exactly its ten byte times: 96 a second at 9600 baud.
inline constexpr std::chrono::nanoseconds kLineRatePeriod = 10 * kByteTime;

struct EmuOptions {
    ControllerState state = factoryState();
    std::vector<Outgoing> touches;  // sent in this order once the controller is in raw mode
    Hold hold;
    std::vector<Stroke> strokes;  // drawn in this order once the command waits for touches
    std::chrono::milliseconds strokeGap{200};
    FaultPlan faults;
    bool pace = false;
    AdapterSetup adapter;
    int pendingBytes = 0;
    ReportTo report = ReportTo::text;
    std::string jsonFile;  // empty: standard error
    std::string link;
    std::string attach;  // a terminal to serve instead of a pty of our own
    bool privateDev = true;
    bool hangupAfterTouches = false;
    int signalAfterTouches = 0;
    std::vector<std::string> command;

    // 9600-baud timing: asked for, or what any adapter implies.
    bool paced() const { return pace || adapter.kind != Adapter::none; }
};

enum class EmuParsed { run, help, version, error };

// Fills o; errors have been reported on standard error when it returns error.
EmuParsed parseEmuOptions(int argc, char** argv, EmuOptions& o);
void emuUsage(std::FILE* out);

}  // namespace emu
