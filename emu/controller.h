// SPDX-License-Identifier: MIT
// The emulated controller: its configuration and what it answers to each command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings.h"

namespace emu {

struct ControllerState {
    AxisRange scaling[2];
    AxisRange calibration[2];
    FilterParams filter;
    ReportParams report;
    ModeFlags mode;
    std::uint8_t selfTestFailures = 0;  // the failure mask its self-test reports
};

// What a controller fresh from the factory holds: nothing zero, so that changes show.
ControllerState factoryState();

// Letters of the controller's own packets. The tool relies on none of them but the touch
// report's, so they are ours to choose; each reply kind has its own to make traces readable.
namespace reply {
inline constexpr std::uint8_t ack = 'A';  // after S, C, M, write-backs, unknown commands
inline constexpr std::uint8_t filter = 'F';
inline constexpr std::uint8_t report = 'B';
inline constexpr std::uint8_t mode = 'O';
inline constexpr std::uint8_t selfTest = 'R';
inline constexpr std::uint8_t trailer = 'Z';      // second packet after 'm' and 'D'
inline constexpr std::uint8_t unsolicited = 'E';  // the "extra" fault
}  // namespace reply

// The value of a reply byte that no layout names: never 0, and different at every position,
// so that a write-back that kept it, or moved it, is seen.
std::uint8_t fillerAt(std::size_t pos);

// A packet from the controller that nobody asked for, filler in every unnamed byte.
Packet touchReport(std::uint16_t x, std::uint16_t y);
Packet foreignPacket(std::uint8_t letter);

struct Answer {
    std::vector<Packet> replies;
    std::string effect;  // what the command did, for the report
};

class Controller {
  public:
    explicit Controller(const ControllerState& state) : state_(state) {}

    // Applies one command and returns the packets the controller sends back, in order. Not
    // applied, the command is answered all the same and the state stays as it was.
    Answer answer(const Packet& cmd, bool apply = true);

    const ControllerState& state() const { return state_; }
    // Reporting initial presses only, unprocessed: the mode the raw dump asks for.
    bool rawMode() const;
    // A finger on the panel is reported continuously...
    bool streams() const;
    // ...or once, when it comes down.
    bool reportsPresses() const;

  private:
    Answer answerAndApply(const Packet& cmd);
    Packet filterReply() const;
    Packet reportReply() const;
    Packet modeReply() const;
    std::string setRange(AxisRange (&ranges)[2], const char* what, const Packet& cmd);

    ControllerState state_;
};

std::string describeState(const ControllerState& s);

}  // namespace emu
