// SPDX-License-Identifier: MIT
// Fuzz target: what the controller says back. A thread plays the controller's side of a real
// pseudo-terminal from a script in the input (bytes in arbitrary chunks, pauses, waits for our
// packets, touch reports) while one exchange runs against the other side. Afterwards every
// packet the exchange wrote is checked: anything built from a reply must match ten contiguous
// bytes the controller side sent, never a partial reply padded with zeros or stale data.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "io.h"
#include "main.h"
#include "packet.h"
#include "settings.h"
#include "testing.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Silence is what most inputs end in; keep it cheap.
constexpr int kFuzzReplyTimeoutMs = 20;
// Longest a script may keep the controller side busy.
constexpr auto kScriptBudget = std::chrono::milliseconds(800);

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

// Both ends of a fresh line for one run.
struct Line {
    int master = -1;
    int slave = -1;
    Line() {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            fail("openpty");
        }
        // The port the tool works on: non-blocking, the packet line.
        const termios want = panelLine();
        if (tcsetattr(slave, TCSANOW, &want) != 0 ||
            fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK) != 0 ||
            fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
            fail("line setup");
        }
        // A fresh line, though the descriptor number may be the last one's.
        startFraming(slave, 8);
    }
    ~Line() {
        close(slave);
        close(master);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
};

// The controller's side: runs the script, records what it sent and what it heard.
class Controller {
  public:
    Controller(const Line& line, const std::uint8_t* script, std::size_t size, bool stopAtEnd)
        : line_(line), script_(script), size_(size), stopAtEnd_(stopAtEnd), tool_(pthread_self()) {}

    void run() {
        // Stop signals are meant for the exchange's thread only.
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        sigaddset(&stops, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        play();
        // The raw dump waits for touch reports without limit; end it as an operator would.
        while (stopAtEnd_ && !finished()) {
            drain(5);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!done_) {
                pthread_kill(tool_, SIGINT);
                break;
            }
        }
    }

    // Called by the exchange's thread when it has returned, before it drops its signal handling.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }

    const Bytes& sent() const { return sent_; }
    // Everything the tool wrote; call after the thread has ended.
    const Bytes& heard() {
        drain(0);
        return heard_;
    }

  private:
    bool finished() {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_;
    }

    void play() {
        const auto end = Clock::now() + kScriptBudget;
        std::size_t i = 0;
        while (i < size_ && !finished() && Clock::now() < end) {
            const std::uint8_t c = script_[i++];
            switch (c >> 6) {
                case 0: {  // send the next 1..64 bytes as they are
                    const std::size_t n = std::min<std::size_t>((c & 0x3F) + 1u, size_ - i);
                    send(script_ + i, n);
                    i += n;
                    break;
                }
                case 1:  // wait for the tool's next packet
                    waitForPacket(5 + (c & 0x1F));
                    break;
                case 2:  // silence
                    drain(c & 0x1F);
                    break;
                default: {  // a touch report at the coordinates of the next four bytes
                    Packet t{};
                    t[at::leadIn] = kLeadIn;
                    t[at::letter] = letter::touch;
                    for (std::size_t k = 0; k < 4 && i < size_; ++k) {
                        t[at::touchX + k] = script_[i++];
                    }
                    send(t.data(), t.size());
                    break;
                }
            }
        }
    }

    void send(const std::uint8_t* p, std::size_t n) {
        drain(0);
        ssize_t w = write(line_.master, p, n);
        if (w > 0) {
            sent_.insert(sent_.end(), p, p + w);
        }
    }

    // Collects what the tool wrote, waiting up to ms for it.
    void drain(int ms) {
        pollfd pfd{line_.master, POLLIN, 0};
        if (ms > 0) {
            poll(&pfd, 1, ms);
        }
        std::uint8_t buf[256];
        for (;;) {
            ssize_t n = read(line_.master, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            heard_.insert(heard_.end(), buf, buf + n);
        }
    }

    // Each wait answers one packet of the tool's, in order, however early it was heard.
    void waitForPacket(int ms) {
        const std::size_t want = (answered_ + 1) * 10;
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (heard_.size() < want && !finished() && Clock::now() < end) {
            drain(1);
        }
        if (heard_.size() >= want) {
            ++answered_;
        }
    }

    const Line& line_;
    const std::uint8_t* script_;
    std::size_t size_;
    bool stopAtEnd_;
    pthread_t tool_;
    std::mutex mutex_;
    bool done_ = false;
    std::size_t answered_ = 0;
    Bytes sent_;
    Bytes heard_;
};

// True when some ten contiguous bytes the controller sent, none of them a touch report, agree
// with pkt everywhere but the lead-in and the positions in `mine` (set by the tool itself).
// `fromReply` maps a position of pkt to the position of the reply it was copied from (or -1).
template <typename FromReply>
bool builtFromWholeReply(const Bytes& sent, const Packet& pkt, FromReply fromReply) {
    for (std::size_t start = 0; start + 10 <= sent.size(); ++start) {
        const std::uint8_t* w = &sent[start];
        if (w[at::letter] == letter::touch) {
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

std::vector<Packet> packets(const Bytes& heard) {
    if (heard.size() % 10 != 0) {
        fail("the tool wrote a partial packet");
    }
    std::vector<Packet> out(heard.size() / 10);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::copy_n(heard.begin() + static_cast<std::ptrdiff_t>(i * 10), 10, out[i].begin());
    }
    return out;
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
    if (result == 0x0F) {
        return;  // the request's own mask: no reply read, or the reply said the same
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
    setReplyTimeoutMs(kFuzzReplyTimeoutMs);
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
    Line line;
    Controller controller(line, data + skip, size - skip, req.op == Op::raw);
    options.dump = req.dump;

    int result = 0;
    bool exchangeOk = true;
    {
        // Only the raw dump is ever stopped by a signal; the others end on their own.
        StopSignals stopSignals;
        std::thread side([&] { controller.run(); });
        switch (req.op) {
            case Op::filter:
                result = setFilter(
                    line.slave, FilterParams{req.value[0], req.value[1], req.value[2]}, req.mask);
                break;
            case Op::report:
                result = setReport(line.slave, ReportParams{req.value[0], req.value[1]}, req.mask);
                break;
            case Op::diagnostics:
                result = runDiagnostics(line.slave, 0x0F, exchangeOk);
                break;
            case Op::raw:
                result = dumpRaw(line.slave, req.count);
                break;
        }
        controller.finish();
        side.join();
    }
    options.dump = false;

    const std::vector<Packet> wrote = packets(controller.heard());
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
