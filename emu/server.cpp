#include "server.h"

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace emu {

namespace {

using namespace std::chrono_literals;

// Ten bits a byte (start, eight data, stop) at 9600 baud.
constexpr auto kByteTime = std::chrono::microseconds(1042);
// How long the line must have been quiet before the command counts as having read it all.
constexpr auto kSettle = 20ms;
constexpr auto kNever = Server::Clock::time_point::max();

}  // namespace

Server::Server(int master, int slave, const EmuOptions& o, Record& rec)
    : master_(master),
      slave_(slave),
      o_(o),
      rec_(rec),
      controller_(o.state),
      start_(Clock::now()),
      lastArrival_(start_),
      nextByte_(start_),
      lastWrite_(start_) {}

double Server::ms(Clock::time_point t) const {
    return std::chrono::duration<double, std::milli>(t - start_).count();
}

void Server::event(const std::string& what) {
    rec_.events.emplace_back(ms(Clock::now()), what);
}

void Server::queue(Outgoing out, int exchange, Clock::time_point notBefore) {
    out_.push_back({std::move(out), exchange, notBefore});
}

void Server::primePending() {
    if (o_.pendingBytes == 0) {
        return;
    }
    // Lower-case letters only: nothing a cooked line would act on, and never a touch report.
    Outgoing junk{{}, "pending"};
    for (int i = 0; i < o_.pendingBytes; ++i) {
        junk.bytes.push_back(static_cast<std::uint8_t>('a' + i % 26));
    }
    queue(std::move(junk), -1, start_);
    writeOutput(Clock::now());
}

void Server::readInput(Clock::time_point now) {
    std::uint8_t buf[256];
    for (;;) {
        ssize_t got = read(master_, buf, sizeof buf);
        if (got <= 0) {
            return;
        }
        for (ssize_t i = 0; i < got; ++i) {
            // On a real line each byte takes its time to arrive, however fast it was written.
            Clock::time_point at = o_.pace ? std::max(now, lastArrival_) + kByteTime : now;
            lastArrival_ = at;
            in_.emplace_back(buf[i], at);
        }
    }
}

void Server::takePackets(Clock::time_point now, bool all) {
    while (in_.size() >= Packet{}.size()) {
        Clock::time_point at = in_[Packet{}.size() - 1].second;
        if (at > now && !all) {
            return;
        }
        Packet pkt{};
        for (std::uint8_t& b : pkt) {
            b = in_.front().first;
            in_.pop_front();
        }
        receive(pkt, std::min(at, now));
    }
}

void Server::receive(const Packet& pkt, Clock::time_point at) {
    Entry e;
    e.fromCommand = true;
    e.ms = ms(at);
    e.bytes.assign(pkt.begin(), pkt.end());
    e.kind = "command";
    e.exchange = static_cast<int>(exchange_);
    termios line{};
    if (tcgetattr(slave_, &line) == 0) {
        e.line = line;
    }
    const Fault f = o_.faults.at(exchange_);
    ++exchange_;
    if (f.signal != 0 && pid_ > 0) {
        kill(pid_, f.signal);
        event(std::string("sent SIG") + sigabbrev_np(f.signal) + " to the command");
    }
    if (f.hangup) {
        e.effect = "not taken: the line was hung up";
        rec_.packets.push_back(std::move(e));
        hangUp();
        return;
    }
    const bool wasRaw = controller_.rawMode();
    Answer a = controller_.answer(pkt);
    e.effect = a.effect;
    rec_.packets.push_back(std::move(e));
    const Clock::time_point due = at + std::chrono::milliseconds(f.delayMs);
    for (Outgoing& out : shapeReplies(a.replies, f)) {
        queue(std::move(out), rec_.packets.back().exchange, due);
    }
    // The touches start once a mode command has put the controller into raw reporting.
    if (!touchesQueued_ && pkt[at::letter] == letter::mode && controller_.rawMode() && !wasRaw) {
        touchesQueued_ = true;
        touchesLeft_ = o_.touches.size();
        for (const Outgoing& touch : o_.touches) {
            queue(touch, -1, due);
        }
    }
}

Server::Clock::time_point Server::writeOutput(Clock::time_point now) {
    while (!out_.empty() && master_ >= 0) {
        // Everything due goes out in one write, so that what the controller sends back to
        // back also arrives together: an unsolicited packet lands before the next command.
        std::vector<std::uint8_t> buf;
        // Paced, a byte is written when its last bit would have arrived, a byte time after
        // it could start.
        Clock::time_point due =
            o_.pace ? std::max(out_.front().notBefore + kByteTime, nextByte_) : now;
        if (o_.pace && due <= now) {
            buf.push_back(out_.front().out.bytes[out_.front().sent]);
        }
        for (std::size_t i = 0; !o_.pace && i < out_.size() && out_[i].notBefore <= now; ++i) {
            buf.insert(buf.end(), out_[i].out.bytes.begin() + static_cast<long>(out_[i].sent),
                       out_[i].out.bytes.end());
        }
        if (buf.empty()) {
            return o_.pace ? due : out_.front().notBefore;
        }
        ssize_t put = write(master_, buf.data(), buf.size());
        if (put < 0) {
            blocked_ = errno == EAGAIN;
            if (!blocked_ && errno != EINTR) {
                std::perror("tpanel-emu: writing to the line");
                hangUp();
            }
            return kNever;
        }
        blocked_ = false;
        lastWrite_ = now;
        if (o_.pace) {
            nextByte_ = due + kByteTime;
        }
        for (auto left = static_cast<std::size_t>(put); left > 0;) {
            Chunk& c = out_.front();
            std::size_t take = std::min(left, c.out.bytes.size() - c.sent);
            c.sent += take;
            left -= take;
            if (c.sent == c.out.bytes.size()) {
                sent(c, now);
                out_.pop_front();
            }
        }
    }
    return kNever;
}

void Server::sent(const Chunk& c, Clock::time_point at) {
    Entry e;
    e.ms = ms(at);
    e.bytes = c.out.bytes;
    e.kind = c.out.kind;
    e.exchange = c.exchange;
    rec_.packets.push_back(std::move(e));
    if (c.out.kind == "touch" || c.out.kind == "foreign") {
        touchesLeft_ -= touchesLeft_ > 0 ? 1 : 0;
    }
}

Server::Clock::time_point Server::afterTouches(Clock::time_point now) {
    if (afterDone_ || !touchesQueued_ || touchesLeft_ > 0 || master_ < 0 ||
        (!o_.hangupAfterTouches && o_.signalAfterTouches == 0)) {
        return kNever;
    }
    // The command has read them all once nothing is waiting at its end of the line.
    int waiting = 0;
    if (now - lastWrite_ < kSettle || ioctl(slave_, FIONREAD, &waiting) != 0 || waiting > 0) {
        return std::max(now, lastWrite_ + kSettle) + 1ms;
    }
    afterDone_ = true;
    if (o_.hangupAfterTouches) {
        hangUp();
    } else if (pid_ > 0) {
        kill(pid_, o_.signalAfterTouches);
        event(std::string("sent SIG") + sigabbrev_np(o_.signalAfterTouches) +
              " to the command after the touches");
    }
    return kNever;
}

void Server::hangUp() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
        out_.clear();
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
        return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_;
    }
    if (pid_ <= 0) {
        stop = true;
        event(std::string("stopped by SIG") + sigabbrev_np(sig));
    } else if (si.ssi_code != SI_KERNEL) {
        // Sent to us alone (a terminal's Ctrl-C reaches the command by itself): pass it on.
        kill(pid_, sig);
        event(std::string("passed SIG") + sigabbrev_np(sig) + " on to the command");
    }
    return false;
}

int Server::run(pid_t pid, int sigFd) {
    pid_ = pid;
    int status = -1;
    for (;;) {
        Clock::time_point now = Clock::now();
        takePackets(now, false);
        Clock::time_point wake = writeOutput(now);
        wake = std::min(wake, afterTouches(now));
        if (in_.size() >= Packet{}.size()) {
            wake = std::min(wake, in_[Packet{}.size() - 1].second);
        }
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {master_, POLLIN, 0}};
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
        if (ppoll(fds, master_ >= 0 ? 2 : 1, timeout, nullptr) < 0 && errno != EINTR) {
            std::perror("tpanel-emu: poll");
            return status;
        }
        if ((fds[1].revents & POLLIN) != 0 && master_ >= 0) {
            readInput(Clock::now());
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
    if (master_ >= 0) {
        readInput(Clock::now());
        takePackets(Clock::now(), true);
    }
    // Paced, a command can finish arriving while a reply is still going out.
    std::stable_sort(rec_.packets.begin(), rec_.packets.end(),
                     [](const Entry& a, const Entry& b) { return a.ms < b.ms; });
    return status;
}

}  // namespace emu
