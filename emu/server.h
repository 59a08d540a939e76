// The controller's end of the line: reads command packets off the pty master, answers them
// as the controller and its fault plan say, with 9600-baud timing when asked, and records it all.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <utility>

#include "controller.h"
#include "options.h"
#include "record.h"

namespace emu {

class Server {
  public:
    using Clock = std::chrono::steady_clock;

    Server(int master, int slave, const EmuOptions& o, Record& rec);

    // Puts the stale input on the line that the command will find when it opens it.
    void primePending();
    // Serves until the command pid has ended, and returns its wait status; with pid -1,
    // until a stop signal, returning -1. sigFd is a signalfd for SIGCHLD and stop signals.
    int run(pid_t pid, int sigFd);
    const ControllerState& state() const { return controller_.state(); }

  private:
    struct Chunk {
        Outgoing out;
        int exchange;
        Clock::time_point notBefore;
        std::size_t sent = 0;
    };

    double ms(Clock::time_point t) const;
    void event(const std::string& what);
    void queue(Outgoing out, int exchange, Clock::time_point notBefore);
    void readInput(Clock::time_point now);
    void takePackets(Clock::time_point now, bool all);
    void receive(const Packet& pkt, Clock::time_point at);
    // Writes what is due; returns when the next write is due (max() when nothing waits).
    Clock::time_point writeOutput(Clock::time_point now);
    void sent(const Chunk& c, Clock::time_point at);
    // Returns when to look again; max() when there is nothing left to do.
    Clock::time_point afterTouches(Clock::time_point now);
    void hangUp();
    // True when the command has ended; fills status.
    bool handleSignal(int sigFd, int& status, bool& stop);

    int master_;
    int slave_;
    const EmuOptions& o_;
    Record& rec_;
    Controller controller_;
    pid_t pid_ = -1;
    Clock::time_point start_;
    std::deque<Chunk> out_;
    std::deque<std::pair<std::uint8_t, Clock::time_point>> in_;
    Clock::time_point lastArrival_;
    Clock::time_point nextByte_;
    Clock::time_point lastWrite_;
    unsigned exchange_ = 0;
    bool touchesQueued_ = false;
    std::size_t touchesLeft_ = 0;
    bool afterDone_ = false;
    bool blocked_ = false;  // the last write found the pty full
};

}  // namespace emu
