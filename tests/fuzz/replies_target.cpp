// SPDX-License-Identifier: MIT
// Fuzz target: what the controller says back. The controller plays a script from the input
// (bytes at times, waits for our packets, echoes of them, touch reports) on a scripted line
// with a clock of its own, while one operation runs against it. Afterwards every packet the
// operation wrote is checked: anything built from a reply must match ten contiguous bytes the
// controller sent from a lead-in on, never a touch report, an echo of our own packet, a
// partial reply padded with zeros or stale data.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "packet.h"
#include "rawdump.h"
#include "scripted_line.h"
#include "settings.h"
#include "transport.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "replies fuzz: %s\n", what);
        std::abort();
    }
}

// The controller's side, on the scripted line's clock: plays the script, records what it sent
// and where it sent an echo of the tool's packet.
class Controller {
  public:
    Controller(const std::uint8_t* script, std::size_t size)
        : script_(script),
          size_(size),
          line_([this](ScriptedLine&, const Packet& p) { heard(p); }) {
        play();
    }

    ScriptedLine& line() { return line_; }
    const Bytes& sent() const { return sent_; }
    // Where in sent() an echo of the tool's own packet begins.
    bool echoAt(std::size_t start) const { return echoes_.count(start) != 0; }

  private:
    // Schedules the script from where it stands until it waits for the tool's next packet.
    void play() {
        while (i_ < size_) {
            const std::uint8_t c = script_[i_++];
            switch (c >> 6) {
                case 0: {  // send the next 1..64 bytes at once
                    const std::size_t n = std::min<std::size_t>((c & 0x3F) + 1u, size_ - i_);
                    send(Bytes(script_ + i_, script_ + i_ + n));
                    i_ += n;
                    break;
                }
                case 1:  // wait for the tool's next packet, and echo it when bit 5 is set
                    echoNext_ = (c & 0x20) != 0;
                    return;
                case 2:  // silence
                    at_ += std::chrono::milliseconds(c & 0x1F);
                    break;
                default: {  // a touch report at the coordinates of the next four bytes
                    Packet t{kLeadIn, letter::touch};
                    for (std::size_t k = 0; k < 4 && i_ < size_; ++k) {
                        t[at::touchX + k] = script_[i_++];
                    }
                    send(Bytes(t.begin(), t.end()));
                    break;
                }
            }
        }
    }

    void heard(const Packet& p) {
        // An echo comes back as the packet goes out, whatever pause the script was in.
        // (A line busy with the controller's own bytes gives none back.)
        if (echoNext_ && sentUntil_ <= line_.now() + kByteTime) {
            at_ = line_.now() + kByteTime;
            echoes_.insert(sent_.size());
            send(Bytes(p.begin(), p.end()));
        }
        echoNext_ = false;
        at_ = std::max(at_, line_.now() + kByteTime);  // nothing answers before it is asked
        play();
    }

    // Bytes go out one byte time apart, as the line carries them.
    void send(const Bytes& b) {
        line_.at(at_ - line_.now(), b);
        sent_.insert(sent_.end(), b.begin(), b.end());
        at_ += static_cast<int>(b.size()) * kByteTime;
        sentUntil_ = at_;
    }

    const std::uint8_t* script_;
    std::size_t size_;
    std::size_t i_ = 0;
    bool echoNext_ = false;
    ScriptedLine line_;
    Time at_ = line_.now();
    Time sentUntil_ = at_;  // when the last byte scheduled has gone out
    Bytes sent_;
    std::set<std::size_t> echoes_;
};

// Positions 1-9 of a packet as bits: those copied from a reply.
constexpr unsigned kAll = 0x3fe;
constexpr unsigned bit(std::size_t k) {
    return 1u << k;
}

// True when some ten contiguous bytes the controller sent, from a lead-in on, neither a touch
// report nor an echo of the tool's own packet, agree with pkt at the positions copied.
bool fromWholeReply(const Controller& side, const Packet& pkt, unsigned copied) {
    const Bytes& sent = side.sent();
    for (std::size_t start = 0; start + 10 <= sent.size(); ++start) {
        const std::uint8_t* w = &sent[start];
        bool match =
            w[at::leadIn] == kLeadIn && w[at::letter] != letter::touch && !side.echoAt(start);
        for (std::size_t k = 1; k < 10 && match; ++k) {
            match = (copied & bit(k)) == 0 || pkt[k] == w[k];
        }
        if (match) {
            return true;
        }
    }
    return false;
}

Packet command(std::uint8_t letterByte, std::uint8_t byte2 = 0) {
    return Packet{kLeadIn, letterByte, byte2};
}

// How many times the query opens what the tool wrote: once, or twice when the first reply
// could not be framed for sure.
std::size_t asked(const std::vector<Packet>& wrote, const Packet& query) {
    std::size_t n = 0;
    while (n < wrote.size() && n < 2 && wrote[n] == query) {
        ++n;
    }
    require(n > 0, "the exchange does not begin with its query");
    return n;
}

using Fields = std::initializer_list<std::pair<std::uint32_t, std::size_t>>;

// Query (once or twice), then at most one write-back: the reply with only the bytes the mask
// names replaced, by the values given in the order of fields.
void checkWriteBack(const std::vector<Packet>& wrote, const Controller& side, std::uint8_t query,
                    int result, std::uint32_t mask, const std::uint8_t* values, Fields fields) {
    std::size_t n = asked(wrote, command(query));
    // A reply with the query's letter, differing from the query only where asked, makes a
    // write-back that reads as the query asked again: after a success it is the write-back.
    if (result == 0 && n == 2 && wrote.size() == 2) {
        n = 1;
    }
    require(wrote.size() <= n + 1, "query exchange: wrong packets written");
    if (wrote.size() == n) {
        require(result != 0, "success reported without a write-back");
        return;
    }
    const Packet& back = wrote[n];
    unsigned copied = kAll;
    for (const auto& [flag, pos] : fields) {
        if ((mask & flag) != 0) {
            require(back[pos] == *values, "write-back lacks an asked-for value");
            copied &= ~bit(pos);
        }
        ++values;
    }
    require(fromWholeReply(side, back, copied), "write-back not built from a whole reply");
}

// Mode query, then optionally the switch to raw reporting and the restore; both come from the
// same whole reply.
void checkRawDump(std::vector<Packet> all, const Controller& side) {
    // The restore is read back: the mode query once more, or twice when its reply was in doubt.
    const bool switched = std::any_of(
        all.begin(), all.end(), [](const Packet& p) { return p[at::letter] == letter::mode; });
    for (int i = 0; i < 2 && switched && all.back() == command(letter::modeQuery); ++i) {
        all.pop_back();
    }
    const std::size_t n = asked(all, command(letter::modeQuery));
    const std::vector<Packet> wrote(all.begin() + static_cast<std::ptrdiff_t>(n - 1), all.end());
    require(wrote.size() <= 3, "raw dump: wrong packets written");
    if (wrote.size() == 1) {
        return;
    }
    const Packet& restore = wrote.back();
    require(
        restore[at::letter] == letter::mode &&
            std::all_of(restore.begin() + 5, restore.end(), [](std::uint8_t b) { return b == 0; }),
        "raw dump: restore is not the mode command");
    if (wrote.size() == 2) {
        require(fromWholeReply(side, restore, bit(2) | bit(3) | bit(4)),
                "raw dump: restore not built from a whole reply");
        return;
    }
    const Packet& enter = wrote[1];
    require(enter[at::letter] == letter::mode && enter[at::reportFlags] == modeBit::reportTouch &&
                enter[at::processFlags] == 0 && enter[2] == restore[2],
            "raw dump: wrong raw-mode command");
    // One reply behind both: bytes 2-4 as the restore has them, 5-9 as the switch has them.
    Packet merged = restore;
    std::copy(enter.begin() + 5, enter.end(), merged.begin() + 5);
    require(fromWholeReply(side, merged, kAll & ~bit(1)),
            "raw dump: mode commands not built from one whole reply");
}

void checkDiagnostics(const std::vector<Packet>& wrote, const Controller& side, int result) {
    require(wrote.size() == asked(wrote, command(letter::diagnostics, 0x0F)),
            "self-test: wrong packets written");
    Packet seen{};
    seen[at::dmask] = static_cast<std::uint8_t>(result);
    // Without a reply there is no verdict to check.
    require(result < 0 || fromWholeReply(side, seen, bit(at::dmask)),
            "self-test: mask not taken from a whole reply");
}

}  // namespace

// Byte 0: bits 0-1 the operation, bit 2 the --dump trace, bits 3-5 the mask or the count;
// bytes 1-3 the parameter values; the rest is the controller's script.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[4] = {};
    const std::size_t skip = std::min<std::size_t>(size, 4);
    std::copy(data, data + skip, head);
    const unsigned bits = (head[0] >> 3) & 7;
    Controller side(data + skip, size - skip);
    Transport::Trace sink;
    if ((head[0] & 4) != 0) {
        sink = [](const std::string&) {};
    }
    Transport t(side.line(), Framer::kQuietUart, sink);
    const std::vector<Packet>& wrote = side.line().written;
    switch (head[0] & 3) {
        case 0: {
            const std::uint32_t mask = bits != 0 ? bits : 7;
            const int result = setFilter(t, FilterParams{head[1], head[2], head[3]}, mask);
            checkWriteBack(wrote, side, letter::filterQuery, result, mask, head + 1,
                           {{filterBit::slen, at::slen},
                            {filterBit::deviation, at::deviation},
                            {filterBit::states, at::states}});
            break;
        }
        case 1: {
            const std::uint32_t mask = (bits & 3) != 0 ? (bits & 3) : 3;
            const int result = setReport(t, ReportParams{head[1], head[2]}, mask);
            checkWriteBack(wrote, side, letter::reportQuery, result, mask, head + 1,
                           {{reportBit::untouch, at::untouch}, {reportBit::repeat, at::repeat}});
            break;
        }
        case 2: {
            bool exchangeOk = true;
            checkDiagnostics(wrote, side, runDiagnostics(t, 0x0F, exchangeOk));
            break;
        }
        default: {
            // With the script played out, the line stops the dump as an operator would.
            constexpr std::int32_t kCounts[] = {1, 2, 3, -1};
            dumpRaw(t, kCounts[bits & 3]);
            checkRawDump(wrote, side);
            break;
        }
    }
    return 0;
}
