// SPDX-License-Identifier: MIT
// Packets over the line: commands and their replies, queries whose replies are used, and the
// packets that come on their own (touch reports). Failures come back as values; describe()
// turns one into the message the tool prints.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "framer.h"
#include "line.h"
#include "packet.h"
#include "timing.h"

// How a transfer ended.
struct Status {
    enum Kind : std::uint8_t {
        done,
        timeout,       // no reply in time
        writeTimeout,  // the line took no packet in time
        endOfFile,     // the device is gone
        readError,     // err; the device is gone when err says so
        writeError,    // err; likewise
        shortWrite,    // count bytes of ten went out
        boundaries,    // a reply came, but where it begins or ends is not certain
        noLeadIn,      // what came where a reply should be did not begin with the lead-in
        echoOnly,      // the line gave back only what was sent
        stopped,       // a stop signal; nothing to say
        watched,       // the descriptor watched besides the line went away; nothing to say
        silent,        // the line was given up before; nothing more to say
    };
    Kind kind = done;
    int err = 0;
    long count = 0;

    bool ok() const { return kind == done; }
};

// The message for a failure, with its newline; empty for done, stopped and silent.
std::string describe(const Status& s, std::string_view device);

class Transport {
  public:
    // Receives each traced packet's line ("--> ..." or "<-- ..."); none: no trace.
    using Trace = std::function<void(const std::string&)>;

    static constexpr Duration kReplyTimeout = std::chrono::seconds(2);

    // quiet: how long a pause proves a packet boundary on this line (see Framer).
    Transport(Line& line, Duration quiet, Trace trace = {}, std::string device = "/dev/tpanel");

    // How long a reply may take, from the write to its last byte.
    void setReplyTimeout(Duration d) { replyTimeout_ = d; }

    // The command out, one reply in, its content unused. The reply is read even after a short
    // write: it may still have been answered. A restore is not cut short by a stop signal.
    Status command(Packet cmd, bool restore = false);
    // pkt out; its reply into pkt only when it is certainly the reply, then `trailers` further
    // packets passed over. Asked again once when the reply's boundaries were in doubt. *replied
    // tells whether pkt holds the reply (also when a trailer then failed). A check of a
    // restore is not cut short by a stop signal either.
    Status query(Packet& pkt, int trailers = 0, bool* replied = nullptr, bool restore = false);
    // The next packet of any kind before `until`; a timeout here is no failure worth a word.
    // *last: when its last byte was read.
    Status next(Packet& pkt, Time until, Time* last = nullptr);

    // True once the device is gone or the line only echoes: nothing more is sent or said.
    bool dead() const { return dead_; }
    Time now() { return line_.now(); }
    const std::string& device() const { return device_; }

  private:
    enum class Use { position, content };

    Status send(Packet& pkt, bool stoppable);
    Status reply(Packet& out, Use use, bool stoppable);
    // Waits for bytes until `until` or the framer's next settling point, whichever is first,
    // and hands what came (or the silence) to the framer.
    Status feed(Time until, bool stoppable);
    Status pull(Framer::Framed& out, Time until, bool stoppable);
    Status drain();
    Status resync(bool stoppable);
    Status settleEnd(Time until, bool stoppable);
    Status fail(Status s);
    void trace(const char* direction, const Packet& pkt);

    Line& line_;
    Framer framer_;
    Trace trace_;
    std::string device_;
    Duration replyTimeout_ = kReplyTimeout;
    Packet written_{};
    Time writtenAt_{};
    std::size_t discardedAtWrite_ = 0;
    bool cut_ = false;       // the last reply wait ended on bytes that made no whole packet
    bool fast_ = false;      // replies have come sooner than 9600 baud can carry them
    bool answered_ = false;  // a reply has been taken: the line does more than echo
    bool dead_ = false;
};

// Prints the message for s, if any, on standard error: the one place transfer failures are said.
void report(const Transport& t, const Status& s);
