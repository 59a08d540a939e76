#include "packet.h"

#include <errno.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "io.h"
#include "main.h"

namespace {

using Clock = std::chrono::steady_clock;

int gReplyTimeoutMs = kReplyTimeoutMs;

void trace(const char* direction, const Packet& pkt) {
    if (options.dump) {
        std::fputs(direction, stderr);
        dumpPacket(pkt);
    }
}

void reportShort(long got) {
    std::fprintf(stderr, "Short packet read. Excpected %d got %ld\n", 10, got);
}

// Waits until fd is ready for events or the deadline passes. Returns 1 ready, 0 timed out,
// -1 on a stop signal (when allowed to take one) or error (reported with context).
int waitFor(int fd, short events, const Clock::time_point* deadline, Wait wait,
            const char* context) {
    for (;;) {
        if (wait != Wait::restore && pendingStop() != 0) {
            return -1;
        }
        timespec ts{};
        timespec* limit = nullptr;
        if (deadline != nullptr) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now());
            if (left.count() <= 0) {
                return 0;
            }
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            limit = &ts;
        }
        pollfd p{fd, events, 0};
        // A restore keeps the stop signals blocked: one Ctrl-C must not cut short the very
        // exchange that puts the controller back.
        const sigset_t* mask = wait == Wait::restore ? nullptr : stopWaitMask();
        int n = ppoll(&p, 1, limit, mask);
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

bool deviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

}  // namespace

int replyTimeoutMs() {
    return gReplyTimeoutMs;
}

void setReplyTimeoutMs(int ms) {
    gReplyTimeoutMs = ms;
}

Xfer writePacket(int fd, Packet& pkt, Wait wait) {
    if (wait != Wait::restore && pendingStop() != 0) {
        return Xfer::interrupted;
    }
    pkt[at::leadIn] = kLeadIn;
    trace("--> ", pkt);
    // Whatever is waiting now (an unsolicited packet, the tail of a late reply) would be
    // taken for the reply to this command.
    if (tcflush(fd, TCIFLUSH) != 0) {
        std::perror("Error while writing packet");
        return deviceGone(errno) ? Xfer::gone : Xfer::failed;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(gReplyTimeoutMs);
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
            return deviceGone(err) ? Xfer::gone : Xfer::failed;
        }
        int ready = waitFor(fd, POLLOUT, &deadline, wait, "Error while writing packet");
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
    const auto deadline = Clock::now() + std::chrono::milliseconds(gReplyTimeoutMs);
    const Clock::time_point* limit = wait == Wait::touch ? nullptr : &deadline;
    for (;;) {
        int ready = waitFor(fd, POLLIN, limit, wait, "Error while reading packet");
        if (ready == 0) {
            std::fputs("Timeout while reading packet\n", stderr);
            return Xfer::timeout;
        }
        if (ready < 0) {
            return pendingStop() != 0 && wait != Wait::restore ? Xfer::interrupted : Xfer::failed;
        }
        // The line wakes poll only once a whole packet is in (VMIN), and the port never
        // blocks, so this read cannot outlast the deadline.
        Packet in{};
        ssize_t got = read(fd, in.data(), in.size());
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            int err = errno;
            std::perror("Error while reading packet");
            return deviceGone(err) ? Xfer::gone : Xfer::failed;
        }
        if (got == 0) {
            std::fputs("Error while reading packet: end of file\n", stderr);
            return Xfer::gone;
        }
        if (got != static_cast<ssize_t>(in.size())) {
            reportShort(got);
            return Xfer::failed;
        }
        trace("<-- ", in);
        // A touch during configuration is the controller talking, not answering.
        if (wait != Wait::touch && in[at::letter] == letter::touch) {
            continue;
        }
        pkt = in;
        return Xfer::ok;
    }
}

Xfer command(int fd, Packet& cmd) {
    Xfer sent = writePacket(fd, cmd, Wait::reply);
    if (isGone(sent) || sent == Xfer::interrupted) {
        return sent;
    }
    Packet scratch{};
    Xfer replied = readPacket(fd, scratch, Wait::reply);
    return sent == Xfer::ok ? replied : sent;
}

Xfer query(int fd, Packet& pkt, int trailers) {
    Xfer sent = writePacket(fd, pkt, Wait::reply);
    if (isGone(sent) || sent == Xfer::interrupted) {
        return sent;
    }
    Xfer got = readPacket(fd, pkt, Wait::reply);
    if (got != Xfer::ok) {
        return got;
    }
    for (int i = 0; i < trailers; ++i) {
        Packet scratch{};
        Xfer more = readPacket(fd, scratch, Wait::reply);
        if (more != Xfer::ok) {
            return more;
        }
    }
    return sent;
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
    // The reply is read even after a failed send: a short write may still have been answered.
    int sent = sendPacket(fd, pkt);
    int replied = skipReply(fd);
    return sent == 0 && replied == 0 ? 0 : -1;
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
