// SPDX-License-Identifier: MIT
// The controller's end of the line: reads command packets off the line, answers them as the
// controller and its fault plan say, puts what the controller sends on the line model
// (delivery.h), and records it all.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <utility>

#include "controller.h"
#include "delivery.h"
#include "finger.h"
#include "options.h"
#include "record.h"
#include "sandbox.h"

namespace emu {

class Server {
  public:
    using Clock = std::chrono::steady_clock;

    // line is our end: the pty master, or the terminal we were asked to attach to. slave is
    // the command's end when the pty is ours, -1 when it is out of sight.
    Server(int line, int slave, const EmuOptions& o, Record& rec);

    // Puts the stale input on the line that the command will find when it opens it.
    void primePending();
    // Serves until the command has ended, and returns its wait status; with no command,
    // until a stop signal or until the line goes away, returning -1. sigFd is a signalfd for
    // SIGCHLD and the stop signals.
    int run(CommandProcess& command, int sigFd);
    const ControllerState& state() const { return controller_.state(); }
    // One round of the line's work at `now`, which never goes back; returns when the next is
    // due (kNever: none).
    Time service(Time now);
    // Milliseconds since the server started: the one origin of every time in its record.
    double ms(Time t) const;

  private:
    struct Chunk {
        Outgoing out;
        int exchange;
    };
    // A packet on the line whose bytes are not all readable yet.
    struct InFlight {
        Outgoing out;
        int exchange;
        std::size_t arriving;  // bytes of it that will be readable, the lost one left out
        std::size_t delivered = 0;
        Time first{};
        Time last{};
    };

    void event(const std::string& what);
    // The controller has this ready to send at `due`.
    void queue(Outgoing out, int exchange, Time due);
    void readInput(Time now);
    void takePackets(Time now, bool all);
    void receive(const Packet& pkt, Time first, Time last, const std::optional<termios>& line);
    void tickFinger(Time now);
    // Puts what is due by now on the wire, whole packets in the order they became due.
    void transmit(Time now);
    void deliver(Time now);
    void recordDelivered(const InFlight& p);
    // Returns when to look again; kNever when there is nothing left to do.
    Time afterTouches(Time now);
    void signalCommand(int sig, const std::string& why);
    void hangUp();
    // True when the command has ended; fills status.
    bool handleSignal(int sigFd, int& status, bool& stop);

    int line_;
    int slave_;
    const EmuOptions& o_;
    Record& rec_;
    Controller controller_;
    CommandProcess* command_ = nullptr;
    Time start_;

    std::multimap<Time, Chunk> later_;  // ready at a time still to come, in order of it
    Wire wire_;
    Delivery delivery_;
    Time processed_;                  // the last time the delivery was asked about
    std::deque<std::uint8_t> bytes_;  // arriving, not yet written to our end
    std::size_t written_ = 0;         // bytes written to our end since the start
    std::deque<InFlight> inFlight_;
    bool blocked_ = false;  // the last write found the line full

    Finger finger_;
    Time heldStart_;  // when the last report of the finger starts on the line

    // A byte from the command, when it arrives, and the command's line settings when it was
    // written: by the time a paced byte arrives the command may have changed them.
    struct InByte {
        std::uint8_t value;
        Time at;
        std::optional<termios> line;
    };
    std::deque<InByte> in_;
    Time lastArrival_;
    Time lastWrite_;
    Time lastCommand_;  // when the last command packet was in
    unsigned exchange_ = 0;
    bool touchesQueued_ = false;
    std::size_t touchesLeft_ = 0;
    bool afterDone_ = false;
};

}  // namespace emu
