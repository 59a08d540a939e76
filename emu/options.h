// The emulator's command line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "controller.h"
#include "faults.h"

namespace emu {

enum class ReportTo { text, json, none };

struct EmuOptions {
    ControllerState state = factoryState();
    std::vector<Outgoing> touches;  // sent in this order once the controller is in raw mode
    FaultPlan faults;
    bool pace = false;
    int pendingBytes = 0;
    ReportTo report = ReportTo::text;
    std::string jsonFile;  // empty: standard error
    std::string link;
    bool hangupAfterTouches = false;
    int signalAfterTouches = 0;
    std::vector<std::string> command;
};

enum class EmuParsed { run, help, version, error };

// Fills o; errors have been reported on standard error when it returns error.
EmuParsed parseEmuOptions(int argc, char** argv, EmuOptions& o);
void emuUsage(std::FILE* out);

}  // namespace emu
