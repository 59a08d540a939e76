// SPDX-License-Identifier: MIT
// Faults to inject, chosen per exchange, and what they make of the controller's replies.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packet.h"

namespace emu {

// What goes wrong on one exchange: the command packet received with that index (from 0) and
// the controller's answer to it. Several faults on one exchange combine.
struct Fault {
    bool noReply = false;
    int shortBytes = -1;  // only the first N bytes of the first reply, then silence
    bool extra = false;   // an unsolicited packet right after the replies
    bool touchBefore = false;
    int delayMs = 0;        // the replies start this late
    bool hangup = false;    // the line is closed instead of answering
    int signal = 0;         // sent to the command as soon as the packet is in
    int dropByte = -1;      // this byte of the first reply is lost on the line
    bool ignore = false;    // acknowledged as usual, but the state stays as it was
    bool echo = false;      // the packet comes back on the line before any answer
    bool loopback = false;  // nothing but the echo: no controller takes the packet
    // Bytes that go out instead of the answer, and what they are: zeros (a line held in
    // break), noise, injected.
    std::vector<std::uint8_t> instead;
    std::string insteadKind;
};

class FaultPlan {
  public:
    // Takes "N:KIND[:ARG]", "echo" or "loopback"; false with a message when it is not one.
    bool add(const std::string& spec, std::string& error);
    Fault at(unsigned exchange) const;

  private:
    std::map<unsigned, Fault> faults_;
    bool echo_ = false;
    bool loopback_ = false;
};

// One piece of output: a whole packet, or the part of one that a fault lets through.
struct Outgoing {
    std::vector<std::uint8_t> bytes;  // as the controller sends them
    std::string kind;  // reply, short, dropped, touch, held, stroke, foreign, extra, pending,
                       // echo, zeros, noise, injected
    int lost = -1;     // the byte of them that never arrives
};

Outgoing whole(const Packet& pkt, const char* kind);

// The controller's replies as the fault lets them out, in order.
std::vector<Outgoing> shapeReplies(const std::vector<Packet>& replies, const Fault& f);

// Ten bytes that look like nothing: never a lead-in among them, so no framer can take a
// packet from them. The same seed gives the same bytes.
std::vector<std::uint8_t> noiseBytes(unsigned seed);

// "INT", "SIGINT" or "2": the signal's number, or 0 when it names none.
int parseSignal(const std::string& text);
// Whole decimal or 0x-hexadecimal number within [min, max].
bool parseNumber(const std::string& text, long min, long max, long& value);

}  // namespace emu
