// SPDX-License-Identifier: MIT
#include "packet.h"

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>

#include "framer.h"
#include "io.h"
#include "main.h"

namespace {

using Clock = Framer::Clock;
using Time = Framer::Time;

int gReplyTimeoutMs = kReplyTimeoutMs;

constexpr auto kByteTime = Framer::kByteTime;
// A packet's bytes spread over at least this long show the line runs at its real speed: a
// pseudo-terminal without pacing hands a whole packet over at once.
constexpr auto kRealSpread = 5 * kByteTime;
// A command takes this long to reach the controller; nothing that begins to arrive sooner can
// answer it.
constexpr auto kCommandTime = 10 * kByteTime;

// The one line the run talks to: its framer, and whether the device has gone.
struct Line {
    int fd = -1;
    Framer framer{Framer::kQuietUart};
    Time writtenAt{};  // when the last packet was written
    std::size_t discardedAtWrite = 0;
    bool cut = false;        // the last reply wait ended on bytes that made no whole packet
    bool realSpeed = false;  // bytes here take their line time: see kRealSpread
    bool faster = false;     // more bytes came than 9600 baud can carry: no line timing here
    Time lastRead{};
    bool gone = false;
};

Line gLine;

Line& lineOf(int fd) {
    if (gLine.fd != fd) {
        startFraming(
            fd,
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Framer::kQuietUart).count()));
    }
    return gLine;
}

void trace(const char* direction, const Packet& pkt) {
    if (options.dump) {
        std::fputs(direction, stderr);
        dumpPacket(pkt);
    }
}

void reportShort(long got) {
    std::fprintf(stderr, "Short packet read. Excpected %d got %ld\n", 10, got);
}

bool deviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

// Waits until fd is ready for events or the limit passes (none: no limit). Returns 1 ready,
// 0 limit reached, -1 on a stop signal (when allowed to take one) or error (reported with
// context).
int waitFor(int fd, short events, std::optional<Time> limit, Wait wait, const char* context) {
    for (;;) {
        if (wait != Wait::restore && pendingStop() != 0) {
            return -1;
        }
        timespec ts{};
        timespec* timeout = nullptr;
        if (limit) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*limit - Clock::now());
            if (left.count() <= 0) {
                return 0;
            }
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            timeout = &ts;
        }
        pollfd p{fd, events, 0};
        // A restore keeps the stop signals blocked: one Ctrl-C must not cut short the very
        // exchange that puts the controller back.
        const sigset_t* mask = wait == Wait::restore ? nullptr : stopWaitMask();
        int n = ppoll(&p, 1, timeout, mask);
        if (n > 0) {
            return 1;
        }
        if (n == 0) {
            return 0;
        }
        if (errno != EINTR) {
            std::perror(context);
            return -1;
        }
    }
}

Xfer gone(Line& line) {
    line.gone = true;
    return Xfer::gone;
}

// Feeds the framer everything the line holds now, without waiting.
Xfer drain(Line& line) {
    std::uint8_t buf[256];
    for (;;) {
        ssize_t got = read(line.fd, buf, sizeof buf);
        if (got > 0) {
            const Time now = Clock::now();
            // A pseudo-terminal with nobody pacing it hands over a buffer full at once: its
            // packets can come apart only because we were slow to read, not the line.
            const auto wire = (got - 1) * kByteTime;
            if (line.lastRead != Time{} && wire > now - line.lastRead + Framer::kQuietUsb) {
                line.faster = true;
            }
            line.lastRead = now;
            line.framer.feed(buf, static_cast<std::size_t>(got), now);
            continue;
        }
        if (got == 0) {
            std::fputs("Error while reading packet: end of file\n", stderr);
            return gone(line);
        }
        if (errno == EAGAIN) {
            return Xfer::ok;
        }
        if (errno != EINTR) {
            int err = errno;
            std::perror("Error while reading packet");
            return deviceGone(err) ? gone(line) : Xfer::failed;
        }
    }
}

// Reads until the framer has a whole packet, the limit passes (timeout) or the wait is cut
// short. The packet is traced as it comes.
Xfer pull(Line& line, std::optional<Time> limit, Wait wait, Framer::Framed& out) {
    for (;;) {
        if (auto f = line.framer.next()) {
            trace("<-- ", f->pkt);
            line.realSpeed = !line.faster && (line.realSpeed || f->last - f->first >= kRealSpread);
            out = *f;
            return Xfer::ok;
        }
        if (limit && Clock::now() >= *limit) {
            return Xfer::timeout;
        }
        std::optional<Time> wake = limit;
        if (Time settle = line.framer.settleAt(); settle != Time::max()) {
            wake = wake ? std::min(*wake, settle) : settle;
        }
        int ready = waitFor(line.fd, POLLIN, wake, wait, "Error while reading packet");
        if (ready < 0) {
            return pendingStop() != 0 && wait != Wait::restore ? Xfer::interrupted : Xfer::failed;
        }
        if (ready > 0) {
            if (Xfer x = drain(line); x != Xfer::ok) {
                return x;
            }
        } else {
            line.framer.idle(Clock::now());
        }
    }
}

// Waits until what follows the packet just taken says whether it ended where it was cut.
Framer::End settleEnd(Line& line, Time limit, Wait wait) {
    while (line.framer.endOfLast() == Framer::End::open) {
        Time wake = std::min(limit, line.framer.settleAt());
        int ready = waitFor(line.fd, POLLIN, wake, wait, "Error while reading packet");
        if (ready < 0) {
            break;
        }
        if (ready > 0) {
            if (drain(line) != Xfer::ok) {
                break;
            }
            continue;
        }
        line.framer.idle(Clock::now());
        if (Clock::now() >= limit) {
            break;
        }
    }
    return line.framer.endOfLast();
}

// The reply to the last write: the first whole packet that began after it and is not a touch
// report. A reply whose content is used must also be seen to end where it was cut.
// When a timeout is reported: a reply that will be asked for again is not worth a message.
enum class Say { always, unlessCut, never };

Xfer readReply(Line& line, Packet& pkt, Wait wait, bool used, Say say = Say::always) {
    const Time deadline = Clock::now() + std::chrono::milliseconds(gReplyTimeoutMs);
    for (;;) {
        Framer::Framed f;
        Xfer got = pull(line, deadline, wait, f);
        if (got == Xfer::timeout) {
            // Bytes of a packet in hand when time ran out: where the next one begins is
            // anybody's guess.
            line.cut = line.framer.held() > 0 || !line.framer.synced() ||
                       line.framer.discarded() > line.discardedAtWrite;
            if (line.framer.held() > 0) {
                line.framer.lose(Clock::now());
            }
            if (say == Say::always || (say == Say::unlessCut && !line.cut)) {
                std::fputs("Timeout while reading packet\n", stderr);
            }
            return got;
        }
        if (got != Xfer::ok) {
            return got;
        }
        // It was on its way before the command went out, so it answers something else. On a
        // line at its real speed that holds for anything that begins before the command can
        // have reached the controller: a packet sent right after the last reply, say. There,
        // too, a first byte handed over with others behind it was on the wire a byte time
        // before each of them: a FIFO or an adapter may hand over after the write what
        // arrived before it.
        const Time began = line.realSpeed ? f.began : f.first;
        if (began < line.writtenAt || (line.realSpeed && began < line.writtenAt + kCommandTime)) {
            continue;
        }
        // A touch during configuration is the controller talking, not answering.
        if (f.pkt[at::letter] == letter::touch) {
            continue;
        }
        // Bytes thrown away since the command went out may have been its reply, and then this
        // packet is whatever came after it.
        if (used && line.framer.discarded() > line.discardedAtWrite) {
            return Xfer::unsure;
        }
        if (used) {
            const Framer::End end = settleEnd(line, deadline, wait);
            if (end != Framer::End::clean) {
                if (line.gone) {
                    return Xfer::gone;
                }
                if (pendingStop() != 0 && wait != Wait::restore) {
                    return Xfer::interrupted;
                }
                // Nothing showed where the reply ends, so nothing shows where the next packet
                // begins: what is in hand would swallow the head of the reply asked for again.
                if (end == Framer::End::open) {
                    line.framer.lose(Clock::now());
                }
                return Xfer::unsure;
            }
        }
        pkt = f.pkt;
        return Xfer::ok;
    }
}

// Until the framer knows the boundaries again, bounded by the reply time. Packets it frames
// meanwhile are traced and passed over: they answer nothing of ours. A pause that settles the
// boundaries brings no packet, so this cannot wait for packets the way pull() does.
Xfer resync(Line& line) {
    const Time deadline = Clock::now() + std::chrono::milliseconds(gReplyTimeoutMs);
    for (;;) {
        while (auto f = line.framer.next()) {
            trace("<-- ", f->pkt);
        }
        if (line.framer.synced()) {
            return Xfer::ok;
        }
        if (Clock::now() >= deadline) {
            return Xfer::unsure;
        }
        const Time wake = std::min(deadline, line.framer.settleAt());
        int ready = waitFor(line.fd, POLLIN, wake, Wait::reply, "Error while reading packet");
        if (ready < 0) {
            return pendingStop() != 0 ? Xfer::interrupted : Xfer::failed;
        }
        if (ready > 0) {
            if (Xfer x = drain(line); x != Xfer::ok) {
                return x;
            }
        } else {
            line.framer.idle(Clock::now());
        }
    }
}

Xfer readAny(Line& line, Packet& pkt, Wait wait, std::optional<Time> limit = std::nullopt) {
    if (line.gone) {
        return Xfer::gone;
    }
    if (wait != Wait::touch) {
        return readReply(line, pkt, wait, false);
    }
    Framer::Framed f;
    Xfer got = pull(line, limit, wait, f);
    if (got == Xfer::ok) {
        pkt = f.pkt;
    }
    return got;
}

}  // namespace

int replyTimeoutMs() {
    return gReplyTimeoutMs;
}

void setReplyTimeoutMs(int ms) {
    gReplyTimeoutMs = ms;
}

void startFraming(int fd, int quietMs) {
    gLine = Line{};
    gLine.fd = fd;
    gLine.framer = Framer(std::chrono::milliseconds(quietMs));
    gLine.framer.lose(Clock::now());
}

bool lineGone() {
    return gLine.gone;
}

Xfer writePacket(int fd, Packet& pkt, Wait wait) {
    Line& line = lineOf(fd);
    if (line.gone) {
        return Xfer::gone;
    }
    if (wait != Wait::restore && pendingStop() != 0) {
        return Xfer::interrupted;
    }
    pkt[at::leadIn] = kLeadIn;
    trace("--> ", pkt);
    // Whatever has arrived so far was sent before this command: take it in now, so that
    // its arrival time says so.
    if (Xfer in = drain(line); in != Xfer::ok) {
        return in;
    }
    line.writtenAt = Clock::now();
    line.framer.wrote(line.writtenAt);
    line.discardedAtWrite = line.framer.discarded();
    line.cut = false;
    const Time deadline = line.writtenAt + std::chrono::milliseconds(gReplyTimeoutMs);
    for (;;) {
        ssize_t n = write(fd, pkt.data(), pkt.size());
        if (n == static_cast<ssize_t>(pkt.size())) {
            return Xfer::ok;
        }
        if (n >= 0) {
            reportShort(n);
            return Xfer::failed;
        }
        if (errno == EINTR) {
            continue;  // nothing was written
        }
        if (errno != EAGAIN) {
            int err = errno;
            std::perror("Error while writing packet");
            return deviceGone(err) ? gone(line) : Xfer::failed;
        }
        int ready = waitFor(fd, POLLOUT, deadline, wait, "Error while writing packet");
        if (ready == 0) {
            std::fputs("Timeout while writing packet\n", stderr);
            return Xfer::timeout;
        }
        if (ready < 0) {
            return pendingStop() != 0 ? Xfer::interrupted : Xfer::failed;
        }
    }
}

Xfer readPacket(int fd, Packet& pkt, Wait wait) {
    return readAny(lineOf(fd), pkt, wait);
}

Xfer readPacketWithin(int fd, Packet& pkt, int timeoutMs) {
    std::optional<Time> limit;
    if (timeoutMs >= 0) {
        limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    return readAny(lineOf(fd), pkt, Wait::touch, limit);
}

Xfer command(int fd, Packet& cmd) {
    Xfer sent = writePacket(fd, cmd, Wait::reply);
    if (isGone(sent) || sent == Xfer::interrupted) {
        return sent;
    }
    // The reply is read even after a failed send: a short write may still have been answered.
    Packet scratch{};
    Xfer replied = readPacket(fd, scratch, Wait::reply);
    return sent == Xfer::ok ? replied : sent;
}

Xfer query(int fd, Packet& pkt, int trailers, bool* replied) {
    Line& line = lineOf(fd);
    const Packet ask = pkt;
    if (replied != nullptr) {
        *replied = false;
    }
    Xfer got = Xfer::unsure;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool last = attempt == 1;
        if (!line.framer.synced() && line.framer.held() > 0) {
            if (Xfer found = resync(line); found != Xfer::ok) {
                got = found;
                break;
            }
        }
        Packet out = ask;
        Xfer sent = writePacket(fd, out, Wait::reply);
        if (sent != Xfer::ok) {
            return sent;
        }
        Packet reply{};
        got = readReply(line, reply, Wait::reply, true, last ? Say::always : Say::unlessCut);
        if (got == Xfer::ok) {
            Xfer rest = Xfer::ok;
            for (int i = 0; i < trailers && rest == Xfer::ok; ++i) {
                Packet scratch{};
                rest =
                    readReply(line, scratch, Wait::reply, false, last ? Say::always : Say::never);
            }
            // A packet missing after the reply leaves open which one the reply was: ask again.
            // The second time, the reply is kept and the missing packet is the failure.
            if (rest == Xfer::ok || last) {
                pkt = reply;
                if (replied != nullptr) {
                    *replied = true;
                }
                return rest;
            }
            if (isGone(rest) || rest == Xfer::interrupted) {
                return rest;
            }
            continue;
        }
        // Silence is not a question of boundaries: asking again would only double the wait.
        const bool framing = got == Xfer::unsure || (got == Xfer::timeout && line.cut);
        if (!framing) {
            return got;
        }
    }
    if (got == Xfer::unsure) {
        std::fputs("Error while reading packet: packet boundaries lost\n", stderr);
    }
    return got;
}

int sendPacket(int fd, Packet& pkt) {
    return writePacket(fd, pkt, Wait::reply) == Xfer::ok ? 0 : -1;
}

int receivePacket(int fd, Packet& pkt) {
    return readPacket(fd, pkt, Wait::reply) == Xfer::ok ? 0 : -1;
}

int skipReply(int fd) {
    Packet scratch{};
    return receivePacket(fd, scratch);
}

int sendCommand(int fd, Packet& pkt) {
    return command(fd, pkt) == Xfer::ok ? 0 : -1;
}

std::string formatPacket(const Packet& pkt) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line;
    line.reserve(41);
    for (std::uint8_t b : pkt) {
        line += kHex[b >> 4];
        line += kHex[b & 0xf];
        line += ' ';
    }
    line += '\t';
    for (std::uint8_t b : pkt) {
        // Letters only, and in the C locale's sense whatever the environment says.
        bool isLetter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        line += isLetter ? static_cast<char>(b) : '.';
        line += ' ';
    }
    line += '\n';
    return line;
}

void dumpPacket(const Packet& pkt) {
    std::fputs(formatPacket(pkt).c_str(), stderr);
}
