// SPDX-License-Identifier: MIT
#include "server.h"

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace emu {

namespace {

using namespace std::chrono_literals;

// How long the line must have been quiet before the command counts as having read it all.
constexpr auto kSettle = 20ms;
// How soon to try again when the line was full.
constexpr auto kBlockedRetry = 5ms;

}  // namespace

Server::Server(int line, int slave, const EmuOptions& o, Record& rec)
    : line_(line),
      slave_(slave),
      o_(o),
      rec_(rec),
      controller_(o.state),
      start_(Clock::now()),
      wire_(o.paced()),
      delivery_(o.adapter, start_),
      processed_(start_),
      finger_(o.hold.given ? Finger({o.hold.stroke}, {}) : Finger(o.strokes, o.strokeGap)),
      heldStart_(start_),
      lastArrival_(start_),
      lastWrite_(start_),
      lastCommand_(start_) {
    // A held finger is on the panel from the start; strokes wait for the command (tickFinger).
    if (o.hold.given) {
        finger_.start(start_);
    }
}

double Server::ms(Time t) const {
    return std::chrono::duration<double, std::milli>(t - start_).count();
}

void Server::event(const std::string& what) {
    rec_.events.emplace_back(ms(Clock::now()), what);
}

void Server::queue(Outgoing out, int exchange, Time due) {
    // Once the line is hung up nothing the controller says goes anywhere.
    if (line_ >= 0) {
        later_.emplace(due, Chunk{std::move(out), exchange});
    }
}

void Server::primePending() {
    if (o_.pendingBytes > 0) {
        // Lower-case letters only: nothing a cooked line would act on, and never a touch
        // report.
        Outgoing junk{{}, "pending"};
        for (int i = 0; i < o_.pendingBytes; ++i) {
            junk.bytes.push_back(static_cast<std::uint8_t>('a' + i % 26));
        }
        queue(std::move(junk), -1, start_);
    }
    service(Clock::now());
}

void Server::readInput(Time now) {
    std::uint8_t buf[256];
    for (;;) {
        ssize_t got = read(line_, buf, sizeof buf);
        if (got <= 0) {
            return;
        }
        std::optional<termios> line;
        if (termios t{}; slave_ >= 0 && tcgetattr(slave_, &t) == 0) {
            line = t;
        }
        // An echoing line hands each byte back as it goes out: the echo comes in as the byte
        // leaves, on the same line as everything else, and ahead of any answer to it.
        const int packet = static_cast<int>(exchange_ + in_.size() / Packet{}.size());
        if (o_.faults.at(static_cast<unsigned>(packet)).echo) {
            const Time from = o_.paced() ? std::max(now, lastArrival_) : now;
            queue({std::vector<std::uint8_t>(buf, buf + got), "echo"}, packet, from);
        }
        for (ssize_t i = 0; i < got; ++i) {
            // On a real line each byte takes its time to arrive, however fast it was written.
            Time at = o_.paced() ? std::max(now, lastArrival_) + kByteTime : now;
            lastArrival_ = at;
            in_.push_back({buf[i], at, line});
        }
    }
}

void Server::takePackets(Time now, bool all) {
    while (in_.size() >= Packet{}.size()) {
        const InByte& lastByte = in_[Packet{}.size() - 1];
        if (lastByte.at > now && !all) {
            return;
        }
        const Time last = std::min(lastByte.at, now);
        const std::optional<termios> line = lastByte.line;
        const Time first = std::min(in_.front().at, now);
        Packet pkt{};
        for (std::uint8_t& b : pkt) {
            b = in_.front().value;
            in_.pop_front();
        }
        receive(pkt, first, last, line);
    }
}

void Server::signalCommand(int sig, const std::string& why) {
    // Refused once the command has been reaped: its pid may be someone else's by now.
    if (command_ != nullptr && command_->signal(sig)) {
        event(std::string("sent SIG") + sigabbrev_np(sig) + " to the command" + why);
    }
}

void Server::receive(const Packet& pkt, Time first, Time last, const std::optional<termios>& line) {
    Entry e;
    e.fromCommand = true;
    e.ms = ms(last);
    e.firstMs = ms(first);
    e.lastMs = e.ms;
    e.bytes.assign(pkt.begin(), pkt.end());
    e.kind = "command";
    e.exchange = static_cast<int>(exchange_);
    e.line = line;
    const Fault f = o_.faults.at(exchange_);
    ++exchange_;
    lastCommand_ = last;
    if (f.signal != 0) {
        signalCommand(f.signal, "");
    }
    if (f.hangup) {
        e.effect = "not taken: the line was hung up";
        rec_.packets.push_back(std::move(e));
        hangUp();
        return;
    }
    const int exchange = e.exchange;
    if (f.loopback) {
        e.effect = "not taken: the line only loops back";
        rec_.packets.push_back(std::move(e));
        return;
    }
    const bool wasRaw = controller_.rawMode();
    Answer a = controller_.answer(pkt, !f.ignore);
    e.effect = a.effect;
    rec_.packets.push_back(std::move(e));
    const Time due = last + std::chrono::milliseconds(f.delayMs);
    for (Outgoing& out : shapeReplies(a.replies, f)) {
        queue(std::move(out), exchange, due);
    }
    if (pkt[at::letter] != letter::mode || f.ignore) {
        return;
    }
    // A finger already on the panel is a press the moment presses are reported.
    if (o_.hold.given && controller_.reportsPresses()) {
        queue(whole(touchReport(o_.hold.stroke.fromX, o_.hold.stroke.fromY), "held"), -1, due);
    }
    // The touches start once a mode command has put the controller into raw reporting.
    if (!touchesQueued_ && controller_.rawMode() && !wasRaw) {
        touchesQueued_ = true;
        touchesLeft_ = o_.touches.size();
        for (const Outgoing& touch : o_.touches) {
            queue(touch, -1, due);
        }
    }
}

void Server::tickFinger(Time now) {
    // Strokes begin once the command has had its say and waits, quiet, for touches.
    if (!finger_.started() && finger_.given() && exchange_ > 0 &&
        now >= lastCommand_ + o_.strokeGap) {
        finger_.start(lastCommand_ + o_.strokeGap);
    }
    const std::optional<Finger::Tick> tick = finger_.take(now);
    if (!tick) {
        return;
    }
    // Reports while the mode streams them; with presses only, a stroke's first report.
    const bool wanted =
        controller_.streams() || (!o_.hold.given && tick->first && controller_.reportsPresses());
    // A report still waiting for the line is as good as a new one; and while nobody reads the
    // far end, what the controller keeps saying is lost there, as in an overrun UART.
    if (wanted && heldStart_ <= tick->at && !blocked_) {
        queue(whole(tick->report, o_.hold.given ? "held" : "stroke"), -1, tick->at);
        heldStart_ = kNever;  // until it is on the wire
    }
}

void Server::transmit(Time now) {
    while (!later_.empty() && later_.begin()->first <= now) {
        // Nothing may arrive before a moment the delivery has already been asked about.
        const Time ready = std::max(later_.begin()->first, processed_);
        Chunk c = std::move(later_.begin()->second);
        later_.erase(later_.begin());
        if (c.out.kind == "held" || c.out.kind == "stroke") {
            heldStart_ = wire_.startOf(ready);
        }
        InFlight p{std::move(c.out), c.exchange, 0};
        for (std::size_t i = 0; i < p.out.bytes.size(); ++i) {
            // A lost byte still takes its time on the line.
            Time at = wire_.send(ready);
            if (static_cast<int>(i) != p.out.lost) {
                delivery_.arrive(at);
                bytes_.push_back(p.out.bytes[i]);
                ++p.arriving;
            }
        }
        if (p.arriving > 0) {
            inFlight_.push_back(std::move(p));
        }
    }
}

void Server::deliver(Time now) {
    processed_ = std::max(processed_, now);
    const std::size_t readable = delivery_.readableBy(now);
    if (line_ < 0 || readable == written_) {
        return;
    }
    // Everything readable goes in one write, so that what arrived together is read together.
    std::vector<std::uint8_t> buf(bytes_.begin(),
                                  bytes_.begin() + static_cast<long>(readable - written_));
    ssize_t put = write(line_, buf.data(), buf.size());
    if (put < 0) {
        blocked_ = errno == EAGAIN;
        if (!blocked_ && errno != EINTR) {
            std::perror("tpanel-emu: writing to the line");
            hangUp();
        }
        return;
    }
    blocked_ = static_cast<std::size_t>(put) < buf.size();
    lastWrite_ = now;
    written_ += static_cast<std::size_t>(put);
    bytes_.erase(bytes_.begin(), bytes_.begin() + put);
    for (auto left = static_cast<std::size_t>(put); left > 0;) {
        InFlight& p = inFlight_.front();
        std::size_t take = std::min(left, p.arriving - p.delivered);
        if (p.delivered == 0) {
            p.first = now;
        }
        p.delivered += take;
        p.last = now;
        left -= take;
        if (p.delivered == p.arriving) {
            recordDelivered(p);
            inFlight_.pop_front();
        }
    }
}

void Server::recordDelivered(const InFlight& p) {
    Entry e;
    e.ms = ms(p.last);
    e.firstMs = ms(p.first);
    e.lastMs = e.ms;
    e.bytes = p.out.bytes;
    if (p.out.lost >= 0) {
        e.bytes.erase(e.bytes.begin() + p.out.lost);
        e.lost = p.out.lost;
    }
    e.kind = p.out.kind;
    e.exchange = p.exchange;
    rec_.packets.push_back(std::move(e));
    if (p.out.kind == "touch" || p.out.kind == "foreign") {
        touchesLeft_ -= touchesLeft_ > 0 ? 1 : 0;
    }
}

Time Server::service(Time now) {
    if (line_ < 0) {
        return kNever;
    }
    takePackets(now, false);
    tickFinger(now);
    transmit(now);
    deliver(now);
    Time wake = std::min(later_.empty() ? kNever : later_.begin()->first, delivery_.nextHandover());
    // A stroke goes on whether reported or not; a held finger matters only when reported.
    if (!o_.hold.given || controller_.streams() || controller_.reportsPresses()) {
        wake = std::min(wake, finger_.next());
    }
    if (finger_.given() && !finger_.started() && exchange_ > 0) {
        wake = std::min(wake, lastCommand_ + o_.strokeGap);
    }
    if (in_.size() >= Packet{}.size()) {
        wake = std::min(wake, in_[Packet{}.size() - 1].at);
    }
    // A pseudo-terminal's master end is not woken for writing when the far end reads: look
    // again soon rather than wait for a wake-up that does not come.
    if (blocked_) {
        wake = std::min(wake, now + kBlockedRetry);
    }
    return std::min(wake, afterTouches(now));
}

Time Server::afterTouches(Time now) {
    // Strokes, when given, are over once the last report has gone out.
    const bool done = o_.strokes.empty() ? touchesQueued_ && touchesLeft_ == 0
                                         : finger_.started() && finger_.next() == kNever &&
                                               later_.empty() && inFlight_.empty();
    if (afterDone_ || !done || line_ < 0 ||
        (!o_.hangupAfterTouches && o_.signalAfterTouches == 0)) {
        return kNever;
    }
    // The command has read them all once nothing is waiting at its end of the line; with
    // that end out of sight, once nothing is waiting to go out of ours.
    int waiting = 0;
    int got = slave_ >= 0 ? ioctl(slave_, FIONREAD, &waiting) : ioctl(line_, TIOCOUTQ, &waiting);
    if (now - lastWrite_ < kSettle || got != 0 || waiting > 0) {
        return std::max(now, lastWrite_ + kSettle) + 1ms;
    }
    afterDone_ = true;
    if (o_.hangupAfterTouches) {
        hangUp();
    } else {
        signalCommand(o_.signalAfterTouches, " after the touches");
    }
    return kNever;
}

void Server::hangUp() {
    if (line_ >= 0) {
        close(line_);
        line_ = -1;
        later_.clear();
        inFlight_.clear();
        bytes_.clear();
        event("hung up the line");
    }
}

bool Server::handleSignal(int sigFd, int& status, bool& stop) {
    signalfd_siginfo si{};
    if (read(sigFd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) {
        return false;
    }
    const int sig = static_cast<int>(si.ssi_signo);
    if (sig == SIGCHLD) {
        return command_->reap(status);
    }
    if (!command_->exists()) {
        stop = true;
        event(std::string("stopped by SIG") + sigabbrev_np(sig));
    } else if (si.ssi_code != SI_KERNEL && command_->signal(sig)) {
        // Sent to us alone (a terminal's Ctrl-C reaches the command by itself): pass it on.
        event(std::string("passed SIG") + sigabbrev_np(sig) + " on to the command");
    }
    return false;
}

int Server::run(CommandProcess& command, int sigFd) {
    command_ = &command;
    int status = -1;
    for (;;) {
        Time wake = service(Clock::now());
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {line_, POLLIN, 0}};
        if (blocked_) {
            fds[1].events |= POLLOUT;
        }
        timespec limit{};
        timespec* timeout = nullptr;
        if (wake != kNever) {
            auto left = std::max(wake - Clock::now(), Clock::duration::zero());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            limit.tv_sec = static_cast<time_t>(ns / 1000000000);
            limit.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &limit;
        }
        if (ppoll(fds, line_ >= 0 ? 2 : 1, timeout, nullptr) < 0 && errno != EINTR) {
            std::perror("tpanel-emu: poll");
            return status;
        }
        if ((fds[1].revents & POLLIN) != 0 && line_ >= 0) {
            readInput(Clock::now());
        }
        // Only a terminal we attached to can go away under us (we hold our pty's other end):
        // its far end has closed, and it reads as the end of file from now on.
        if ((fds[1].revents & (POLLHUP | POLLERR)) != 0 && line_ >= 0) {
            event("the far end of the line went away");
            hangUp();
            if (!command_->exists()) {
                return -1;
            }
        }
        bool stop = false;
        if ((fds[0].revents & POLLIN) != 0 && handleSignal(sigFd, status, stop)) {
            break;
        }
        if (stop) {
            return -1;
        }
    }
    // Whatever the command wrote before it ended still counts, answered or not.
    if (line_ >= 0) {
        readInput(Clock::now());
        takePackets(Clock::now(), true);
    }
    // Paced, a command can finish arriving while a reply is still going out.
    std::stable_sort(rec_.packets.begin(), rec_.packets.end(),
                     [](const Entry& a, const Entry& b) { return a.ms < b.ms; });
    return status;
}

}  // namespace emu
