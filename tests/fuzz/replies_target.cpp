// SPDX-License-Identifier: MIT
// Fuzz target: what the controller says back. The controller plays a script from the input
// (bytes at times, waits for our packets, echoes of them, touch reports) on a scripted line
// with a clock of its own, while one operation runs against it. Afterwards every packet the
// operation wrote is checked: anything built from a reply must match ten contiguous bytes the
// controller sent from a lead-in on, never a touch report, an echo of our own packet, a
// partial reply padded with zeros or stale data.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "packet.h"
#include "rawdump.h"
#include "scripted_line.h"
#include "settings.h"
#include "transport.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "replies fuzz: %s\n", what);
    std::abort();
}

enum class Op { filter, report, diagnostics, raw };

// Byte 0: bits 0-1 the exchange, bit 2 the --dump trace, bits 3-5 the mask or the count.
// Bytes 1-3: the parameter values. The rest is the controller's script.
struct Request {
    Op op = Op::filter;
    bool dump = false;
    std::uint32_t mask = 0;
    std::int32_t count = 0;
    std::uint8_t value[3] = {};
};

Request decodeRequest(const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[4] = {};
    std::copy(data, data + std::min<std::size_t>(size, 4), head);
    Request r;
    r.op = static_cast<Op>(head[0] & 3);
    r.dump = (head[0] & 4) != 0;
    const unsigned bits = (head[0] >> 3) & 7;
    if (r.op == Op::filter) {
        r.mask = bits != 0 ? bits : 7;
    } else if (r.op == Op::report) {
        r.mask = (bits & 3) != 0 ? (bits & 3) : 3;
    }
    constexpr std::int32_t kCounts[] = {1, 2, 3, -1};
    r.count = kCounts[bits & 3];
    std::copy(head + 1, head + 4, r.value);
    return r;
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
    bool echoAt(std::size_t start) const {
        return std::find(echoes_.begin(), echoes_.end(), start) != echoes_.end();
    }

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
                    Packet t{};
                    t[at::leadIn] = kLeadIn;
                    t[at::letter] = letter::touch;
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
            echoes_.push_back(sent_.size());
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
    std::vector<std::size_t> echoes_;
};

const Controller* gSide = nullptr;

// True when some ten contiguous bytes the controller sent, from a lead-in on, neither a touch
// report nor an echo of the tool's own packet, agree with pkt everywhere but the lead-in and
// the positions set by the tool itself.
// `fromReply` maps a position of pkt to the position of the reply it was copied from (or -1).
template <typename FromReply>
bool builtFromWholeReply(const Bytes& sent, const Packet& pkt, FromReply fromReply) {
    for (std::size_t start = 0; start + 10 <= sent.size(); ++start) {
        const std::uint8_t* w = &sent[start];
        if (w[at::leadIn] != kLeadIn || w[at::letter] == letter::touch || gSide->echoAt(start)) {
            continue;
        }
        bool match = true;
        for (std::size_t k = 1; k < 10 && match; ++k) {
            const int src = fromReply(k);
            match = src < 0 || pkt[k] == w[src];
        }
        if (match) {
            return true;
        }
    }
    return false;
}

Packet command(std::uint8_t letterByte, std::uint8_t byte2 = 0) {
    Packet p{};
    p[at::leadIn] = kLeadIn;
    p[at::letter] = letterByte;
    p[2] = byte2;
    return p;
}

// How many times the query opens what the tool wrote: once, or twice when the first reply
// could not be framed for sure.
std::size_t asked(const std::vector<Packet>& wrote, const Packet& query) {
    std::size_t n = 0;
    while (n < wrote.size() && n < 2 && wrote[n] == query) {
        ++n;
    }
    if (n == 0) {
        fail("the exchange does not begin with its query");
    }
    return n;
}

// Query (once or twice), then at most one write-back: the reply with only the asked-for bytes
// replaced.
void checkWriteBack(const std::vector<Packet>& wrote, const Bytes& sent, std::uint8_t query,
                    const std::vector<std::pair<std::size_t, std::uint8_t>>& replaced, int result) {
    const std::size_t n = asked(wrote, command(query));
    if (wrote.size() > n + 1) {
        fail("query exchange: wrong packets written");
    }
    if (wrote.size() == n) {
        if (result == 0) {
            fail("success reported without a write-back");
        }
        return;
    }
    const Packet& back = wrote[n];
    for (const auto& [pos, value] : replaced) {
        if (back[pos] != value) {
            fail("write-back lacks an asked-for value");
        }
    }
    auto fromReply = [&](std::size_t k) {
        for (const auto& r : replaced) {
            if (r.first == k) {
                return -1;
            }
        }
        return static_cast<int>(k);
    };
    if (!builtFromWholeReply(sent, back, fromReply)) {
        fail("write-back not built from a whole reply");
    }
}

// Mode query, then optionally the switch to raw reporting and the restore; both come from the
// same whole reply.
void checkRawDump(const std::vector<Packet>& all, const Bytes& sent) {
    const std::size_t n = asked(all, command(letter::modeQuery));
    const std::vector<Packet> wrote(all.begin() + static_cast<std::ptrdiff_t>(n - 1), all.end());
    if (wrote.size() > 3) {
        fail("raw dump: wrong packets written");
    }
    if (wrote.size() == 1) {
        return;
    }
    const Packet& restore = wrote.back();
    if (restore[at::letter] != letter::mode ||
        !std::all_of(restore.begin() + 5, restore.end(), [](std::uint8_t b) { return b == 0; })) {
        fail("raw dump: restore is not the mode command");
    }
    if (wrote.size() == 2) {
        auto fromReply = [](std::size_t k) { return k >= 2 && k <= 4 ? static_cast<int>(k) : -1; };
        if (!builtFromWholeReply(sent, restore, fromReply)) {
            fail("raw dump: restore not built from a whole reply");
        }
        return;
    }
    const Packet& enter = wrote[1];
    if (enter[at::letter] != letter::mode || enter[at::reportFlags] != modeBit::reportTouch ||
        enter[at::processFlags] != 0 || enter[2] != restore[2]) {
        fail("raw dump: wrong raw-mode command");
    }
    // One reply behind both: bytes 2-4 as the restore has them, 5-9 as the switch has them.
    Packet merged = restore;
    std::copy(enter.begin() + 5, enter.end(), merged.begin() + 5);
    auto fromReply = [](std::size_t k) { return k >= 2 ? static_cast<int>(k) : -1; };
    if (!builtFromWholeReply(sent, merged, fromReply)) {
        fail("raw dump: mode commands not built from one whole reply");
    }
}

void checkDiagnostics(const std::vector<Packet>& wrote, const Bytes& sent, int result) {
    if (wrote.size() != asked(wrote, command(letter::diagnostics, 0x0F))) {
        fail("self-test: wrong packets written");
    }
    if (result < 0) {
        return;  // no reply read: no verdict
    }
    Packet seen{};
    seen[at::dmask] = static_cast<std::uint8_t>(result);
    auto fromReply = [](std::size_t k) { return k == at::dmask ? static_cast<int>(k) : -1; };
    if (!builtFromWholeReply(sent, seen, fromReply)) {
        fail("self-test: mask not taken from a whole reply");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Coordinates and the self-test mask; the packets are checked at the line instead.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Request req = decodeRequest(data, size);
    const std::size_t skip = std::min<std::size_t>(size, 4);
    Controller controller(data + skip, size - skip);
    gSide = &controller;
    std::string trace;
    Transport::Trace sink;
    if (req.dump) {
        sink = [&](const std::string& line) { trace += line; };
    }
    Transport t(controller.line(), Framer::kQuietUart, sink);
    int result = 0;
    bool exchangeOk = true;
    // Messages go where the trace goes: nowhere worth keeping.
    const int err = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    switch (req.op) {
        case Op::filter:
            result = setFilter(t, FilterParams{req.value[0], req.value[1], req.value[2]}, req.mask);
            break;
        case Op::report:
            result = setReport(t, ReportParams{req.value[0], req.value[1]}, req.mask);
            break;
        case Op::diagnostics:
            result = runDiagnostics(t, 0x0F, exchangeOk);
            break;
        case Op::raw:
            // With the script played out, the line stops the dump as an operator would.
            result = dumpRaw(t, req.count);
            break;
    }
    dup2(err, STDERR_FILENO);
    close(err);
    close(null);

    const std::vector<Packet>& wrote = controller.line().written;
    const Bytes& sent = controller.sent();
    std::vector<std::pair<std::size_t, std::uint8_t>> replaced;
    switch (req.op) {
        case Op::filter:
            if (req.mask & filterBit::slen) {
                replaced.emplace_back(at::slen, req.value[0]);
            }
            if (req.mask & filterBit::deviation) {
                replaced.emplace_back(at::deviation, req.value[1]);
            }
            if (req.mask & filterBit::states) {
                replaced.emplace_back(at::states, req.value[2]);
            }
            checkWriteBack(wrote, sent, letter::filterQuery, replaced, result);
            break;
        case Op::report:
            if (req.mask & reportBit::untouch) {
                replaced.emplace_back(at::untouch, req.value[0]);
            }
            if (req.mask & reportBit::repeat) {
                replaced.emplace_back(at::repeat, req.value[1]);
            }
            checkWriteBack(wrote, sent, letter::reportQuery, replaced, result);
            break;
        case Op::diagnostics:
            checkDiagnostics(wrote, sent, result);
            break;
        case Op::raw:
            checkRawDump(wrote, sent);
            break;
    }
    return 0;
}
