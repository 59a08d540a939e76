// SPDX-License-Identifier: MIT
#include "transport.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

// A packet's bytes spread over at least this long came at the line's own pace, so their wire
// times can be told from when they were handed over. Handed over at once, they cannot.
constexpr Duration kRealSpread = 5 * kByteTime;
// At 9600 baud a command takes ten byte times to reach the controller: a reply cannot have
// begun on the wire within half of that after the write.
constexpr Duration kEarly = 5 * kByteTime;
// What a command takes to reach the controller at 9600 baud.
constexpr Duration kCommandTime = 10 * kByteTime;
// How long a packet that came too soon for a reply waits for a later one before the line is
// taken to be faster than 9600 baud. A packet sent right after the last reply (unsolicited, or
// the second of a pair) also comes too soon, and must not pass for the reply just because the
// real one was held back: longer than any adapter holds bytes, and than a loaded machine keeps
// the far end of a pseudo-terminal from answering. A fast line pays it once.
constexpr Duration kEarlyHold = std::chrono::milliseconds(250);
// An echo of the command comes back as it goes out, or as soon as an adapter hands it over.
constexpr Duration kEchoWithin = 10 * kByteTime + Framer::kQuietUsb;

bool deviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

// Where a byte of the reply went missing, the next packet's lead-in moved into the reply, at
// one of the places after its own.
bool leadInInside(const Packet& p) {
    return std::find(p.begin() + 1, p.end(), kLeadIn) != p.end();
}

}  // namespace

std::string describe(const Status& s, std::string_view device) {
    switch (s.kind) {
        case Status::done:
        case Status::stopped:
        case Status::watched:
        case Status::silent:
            return {};
        case Status::timeout:
            return "Timeout while reading packet\n";
        case Status::writeTimeout:
            return "Timeout while writing packet\n";
        case Status::endOfFile:
            return "Error while reading packet: end of file\n";
        case Status::readError:
            return std::string("Error while reading packet: ") + std::strerror(s.err) + "\n";
        case Status::writeError:
            return std::string("Error while writing packet: ") + std::strerror(s.err) + "\n";
        case Status::shortWrite:
            return "Short packet read. Excpected 10 got " + std::to_string(s.count) + "\n";
        case Status::boundaries:
            return "Error while reading packet: packet boundaries lost\n";
        case Status::noLeadIn:
            return "Error while reading packet: no lead-in where the reply should begin\n";
        case Status::echoOnly:
            return "tavrinset: " + std::string(device) +
                   " only echoes what is sent: no controller answers (a loopback or the wrong "
                   "port?)\n";
    }
    return {};
}

void report(const Transport& t, const Status& s) {
    std::fputs(describe(s, t.device()).c_str(), stderr);
}

Transport::Transport(Line& line, Duration quiet, Trace trace, std::string device)
    : line_(line), framer_(quiet), trace_(std::move(trace)), device_(std::move(device)) {
    // What was on its way when the line was opened belongs to no packet we know.
    framer_.lose(line_.now());
}

void Transport::trace(const char* direction, const Packet& pkt) {
    if (trace_) {
        trace_(direction + formatPacket(pkt));
    }
}

Status Transport::fail(Status s) {
    const bool gone =
        s.kind == Status::endOfFile || s.kind == Status::echoOnly ||
        ((s.kind == Status::readError || s.kind == Status::writeError) && deviceGone(s.err));
    dead_ = dead_ || gone;
    return s;
}

Status Transport::drain() {
    std::uint8_t buf[256];
    for (;;) {
        const Io r = line_.read(buf, sizeof buf);
        if (r.count > 0) {
            framer_.feed(buf, static_cast<std::size_t>(r.count), line_.now());
            continue;
        }
        if (r.count == 0) {
            return fail({Status::endOfFile});
        }
        if (r.err == EAGAIN) {
            return {};
        }
        return fail({Status::readError, r.err});
    }
}

Status Transport::send(Packet& pkt, bool stoppable) {
    if (dead_) {
        return {Status::silent};
    }
    if (stoppable && line_.stopPending()) {
        return {Status::stopped};
    }
    pkt[at::leadIn] = kLeadIn;
    trace("--> ", pkt);
    // Whatever has arrived so far was sent before this command: take it in now, so that its
    // arrival time says so.
    if (Status in = drain(); !in.ok()) {
        return in;
    }
    writtenAt_ = line_.now();
    framer_.wrote(writtenAt_);
    discardedAtWrite_ = framer_.discarded();
    cut_ = false;
    written_ = pkt;
    const Io w = line_.write(pkt.data(), pkt.size(), writtenAt_ + replyTimeout_, stoppable);
    if (w.count == static_cast<long>(pkt.size())) {
        return {};
    }
    if (w.count >= 0) {
        return {Status::shortWrite, 0, w.count};
    }
    if (w.err == ETIMEDOUT) {
        return {Status::writeTimeout};
    }
    if (w.err == EINTR) {
        return {Status::stopped};
    }
    return fail({Status::writeError, w.err});
}

Status Transport::feed(Time until, bool stoppable) {
    int err = 0;
    switch (line_.wait(std::min(until, framer_.settleAt()), stoppable, err)) {
        case Wake::readable:
            return drain();
        case Wake::timeout:
            framer_.idle(line_.now());
            return {};
        case Wake::stopped:
            return {Status::stopped};
        case Wake::watched:
            return {Status::watched};
        case Wake::failed:
            return fail({Status::readError, err});
    }
    return {};
}

Status Transport::pull(Framer::Framed& out, Time until, bool stoppable) {
    for (;;) {
        if (auto f = framer_.next()) {
            trace("<-- ", f->pkt);
            out = *f;
            return {};
        }
        if (line_.now() >= until) {
            return {Status::timeout};
        }
        if (Status s = feed(until, stoppable); !s.ok()) {
            return s;
        }
    }
}

Status Transport::settleEnd(Time until, bool stoppable) {
    while (framer_.endOfLast() == Framer::End::open && line_.now() < until) {
        if (Status s = feed(until, stoppable); !s.ok()) {
            return s;
        }
    }
    switch (framer_.endOfLast()) {
        case Framer::End::clean:
            return {};
        case Framer::End::open:
            // Nothing showed where the reply ends, so nothing shows where the next packet
            // begins: what is in hand would swallow the head of the reply asked for again.
            framer_.lose(line_.now());
            break;
        case Framer::End::broken:
            break;
    }
    return {Status::boundaries};
}

// The reply to the last write: the first whole packet that came after it, begins with the
// lead-in, is not the command itself coming back and is not a touch report.
Status Transport::reply(Packet& out, Use use, bool stoppable) {
    if (dead_) {
        return {Status::silent};
    }
    const Time deadline = line_.now() + replyTimeout_;
    bool echoed = false;
    bool noLeadIn = false;
    // A packet that came too soon for a reply at 9600 baud, kept in case the line is faster.
    std::optional<Framer::Framed> early;
    Time earlyUntil = kNever;
    for (;;) {
        Framer::Framed f;
        Status got = pull(f, std::min(deadline, earlyUntil), stoppable);
        if (got.kind == Status::timeout && early) {
            // Nothing else answered: the line carries more than 9600 baud, and that was it.
            fast_ = true;
            f = *early;
        } else if (got.kind == Status::timeout) {
            // Bytes of a packet in hand when time ran out: where the next one begins is
            // anybody's guess.
            cut_ =
                framer_.held() > 0 || !framer_.synced() || framer_.discarded() > discardedAtWrite_;
            if (framer_.held() > 0) {
                framer_.lose(line_.now());
            }
            if (noLeadIn) {
                return {Status::noLeadIn};
            }
            // Only a line that has never answered only echoes.
            return echoed && !answered_ ? fail({Status::echoOnly}) : got;
        } else if (!got.ok()) {
            return got;
        } else {
            // Handed over before the command went out: it answers something else.
            if (f.first <= writtenAt_) {
                continue;
            }
            // The line gives back what it is given: two-wire adapters, a loopback, a wrong port.
            if (f.pkt == written_ && f.first < writtenAt_ + kEchoWithin) {
                echoed = true;
                continue;
            }
            // Zero bytes from a line in break, noise: never a reply whose content is used, even
            // where a byte reads as a touch's letter. An acknowledgement counts by its place: on
            // a busy line a packet cut at a data byte that reads as the lead-in may be all that
            // shows of it.
            if (use == Use::content && f.pkt[at::leadIn] != kLeadIn) {
                noLeadIn = true;
                continue;
            }
            // A touch during configuration is the controller talking, not answering.
            if (f.pkt[at::letter] == letter::touch) {
                continue;
            }
            // Bytes that came at the line's pace show when they were on the wire: one that
            // began before the command can have reached the controller was sent before it (a
            // FIFO or an adapter may hand it over after the write). Unless nothing else
            // answers: then the line is faster than its bytes' pace suggested.
            if (!fast_ && f.last - f.first >= kRealSpread && f.began < writtenAt_ + kEarly) {
                early = f;
                earlyUntil = f.last + kEarlyHold;
                continue;
            }
        }
        if (use == Use::content) {
            // Bytes thrown away since the command went out may have been its reply, and then
            // this packet is whatever came after it. Not those that were on the wire before
            // the command can have reached the controller: the tail of a packet the line was
            // opened in the middle of, say, handed over late by a FIFO.
            if (framer_.discarded() > discardedAtWrite_ &&
                (fast_ || framer_.lastPassed() >= writtenAt_ + kCommandTime)) {
                return {Status::boundaries};
            }
            // With a byte lost the window cut as the reply holds the next packet's lead-in
            // after its own; without one there, it cannot be hiding the loss.
            if (leadInInside(f.pkt)) {
                if (Status end = settleEnd(deadline, stoppable); !end.ok()) {
                    return end;
                }
            }
        }
        // A reply whole sooner than a command and its reply take at 9600 baud: the line is
        // faster, and how its bytes are spread says nothing about when they were sent.
        fast_ = fast_ || f.last < writtenAt_ + 2 * kCommandTime - kEarly;
        answered_ = true;
        out = f.pkt;
        return {};
    }
}

Status Transport::resync(bool stoppable) {
    const Time deadline = line_.now() + replyTimeout_;
    for (;;) {
        // Packets framed meanwhile answer nothing of ours, but are traced.
        while (auto f = framer_.next()) {
            trace("<-- ", f->pkt);
        }
        if (framer_.synced()) {
            return {};
        }
        if (line_.now() >= deadline) {
            return {Status::boundaries};
        }
        if (Status s = feed(deadline, stoppable); !s.ok()) {
            return s;
        }
    }
}

Status Transport::command(Packet cmd, bool restore) {
    const Status sent = send(cmd, !restore);
    if (sent.kind == Status::silent || sent.kind == Status::stopped || dead_) {
        return sent;
    }
    Packet scratch{};
    const Status replied = reply(scratch, Use::position, !restore);
    return sent.ok() ? replied : sent;
}

Status Transport::query(Packet& pkt, int trailers, bool* replied, bool restore) {
    const Packet ask = pkt;
    if (replied != nullptr) {
        *replied = false;
    }
    Status got{Status::boundaries};
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!framer_.synced() && framer_.held() > 0 && !dead_) {
            if (got = resync(!restore); !got.ok()) {
                return got;
            }
        }
        Packet out = ask;
        if (Status sent = send(out, !restore); !sent.ok()) {
            return sent;
        }
        Packet answer{};
        got = reply(answer, Use::content, !restore);
        if (got.ok()) {
            Status rest;
            for (int i = 0; i < trailers && rest.ok(); ++i) {
                Packet scratch{};
                rest = reply(scratch, Use::position, !restore);
            }
            // A packet missing after the reply leaves open which one the reply was: ask again.
            // The second time, the reply is kept and the missing packet is the failure.
            if (rest.ok() || attempt == 1) {
                pkt = answer;
                if (replied != nullptr) {
                    *replied = true;
                }
                return rest;
            }
            if (dead_ || rest.kind == Status::stopped) {
                return rest;
            }
            continue;
        }
        // Silence is not a question of boundaries: asking again would only double the wait.
        const bool framing = got.kind == Status::boundaries || got.kind == Status::noLeadIn ||
                             (got.kind == Status::timeout && cut_);
        if (!framing) {
            return got;
        }
    }
    return got;
}

Status Transport::next(Packet& pkt, Time until, Time* last) {
    if (dead_) {
        return {Status::silent};
    }
    Framer::Framed f;
    const Status got = pull(f, until, true);
    if (got.ok()) {
        pkt = f.pkt;
        if (last != nullptr) {
            *last = f.last;
        }
    }
    return got;
}
