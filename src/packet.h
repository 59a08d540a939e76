// SPDX-License-Identifier: MIT
// Ten-byte packet frame, its transport over the port, and the --dump trace.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Packet = std::array<std::uint8_t, 10>;

inline constexpr std::uint8_t kLeadIn = 0x55;

// Command letters. Replies carry letters of the controller's own choosing, except touch reports.
namespace letter {
inline constexpr std::uint8_t scaling = 'S';
inline constexpr std::uint8_t calibration = 'C';
inline constexpr std::uint8_t filterQuery = 'f';
inline constexpr std::uint8_t reportQuery = 'b';
inline constexpr std::uint8_t mode = 'M';
inline constexpr std::uint8_t modeQuery = 'm';
inline constexpr std::uint8_t diagnostics = 'D';
inline constexpr std::uint8_t touch = 'T';
}  // namespace letter

// Byte positions inside a packet, for every command and reply that has data.
namespace at {
inline constexpr std::size_t leadIn = 0;
inline constexpr std::size_t letter = 1;
inline constexpr std::size_t axis = 2;  // scaling, calibration
inline constexpr std::size_t low = 3;   // 16 bits
inline constexpr std::size_t high = 5;  // 16 bits
inline constexpr std::size_t slen = 3;  // filter
inline constexpr std::size_t deviation = 4;
inline constexpr std::size_t states = 5;
inline constexpr std::size_t untouch = 2;  // report
inline constexpr std::size_t repeat = 3;
inline constexpr std::size_t reportFlags = 3;  // mode
inline constexpr std::size_t processFlags = 4;
inline constexpr std::size_t dmask = 2;   // self-test request and its failure mask
inline constexpr std::size_t touchX = 3;  // touch report, 16 bits each
inline constexpr std::size_t touchY = 5;
}  // namespace at

// How long a reply may take, from the start of the read to its tenth byte.
inline constexpr int kReplyTimeoutMs = 2000;
// The limit in force; tests and fuzzers shorten it so that silence costs less.
int replyTimeoutMs();
void setReplyTimeoutMs(int ms);

// Outcome of one transfer, finer than the 0/-1 of the classic calls.
enum class Xfer {
    ok,
    failed,       // error or short transfer, already reported
    timeout,      // reported
    gone,         // end of file or the device vanished; reported
    interrupted,  // a stop signal arrived; nothing reported
    unsure,       // a reply came, but where it begins or ends is not certain; reported
};

// True when the run cannot go on: nothing more may be sent.
inline bool isGone(Xfer x) {
    return x == Xfer::gone;
}

// How a read waits.
enum class Wait {
    reply,    // up to kReplyTimeoutMs, passes over touch reports, ends on a stop signal
    touch,    // no limit, takes any packet, ends on a stop signal
    restore,  // like reply, but a stop signal does not cut it short
};

// Starts framing a freshly opened line, whose boundaries are not known yet. quietMs is how long
// a pause must be to prove a boundary on this line (see Framer).
void startFraming(int fd, int quietMs);
// True once a transfer found the device gone: nothing more is sent, nothing more reported.
bool lineGone();

// Refuses to send once a stop signal is pending, except for a restore. A packet that had
// begun to arrive before the write is never taken for its reply.
Xfer writePacket(int fd, Packet& pkt, Wait wait);
// The next packet; for a reply wait, the first one that began after the last write and is not
// a touch report.
Xfer readPacket(int fd, Packet& pkt, Wait wait);
// Any packet, like Wait::touch, but giving up silently after timeoutMs (negative: never).
Xfer readPacketWithin(int fd, Packet& pkt, int timeoutMs);

// A command whose reply is not examined: the command out, one reply in.
Xfer command(int fd, Packet& cmd);
// A query whose reply is used: pkt out, the reply read into pkt only when its boundaries are
// certain, then `trailers` further packets read and passed over. When the reply is not
// certain the boundaries are found again and the exchange is repeated once. Returns ok only
// when every packet came; *replied tells whether pkt holds the reply.
Xfer query(int fd, Packet& pkt, int trailers = 0, bool* replied = nullptr);

// The classic calls: 0 on success, -1 on failure.
int sendPacket(int fd, Packet& pkt);
int receivePacket(int fd, Packet& pkt);
int skipReply(int fd);
int sendCommand(int fd, Packet& pkt);

std::string formatPacket(const Packet& pkt);
void dumpPacket(const Packet& pkt);
