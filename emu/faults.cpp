// SPDX-License-Identifier: MIT
#include "faults.h"

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

#include "controller.h"

namespace emu {

bool parseNumber(const std::string& text, long min, long max, long& value) {
    if (text.empty() || text[0] == ' ' || text[0] == '+') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max) {
        return false;
    }
    value = v;
    return true;
}

int parseSignal(const std::string& text) {
    long n = 0;
    if (parseNumber(text, 1, NSIG - 1, n)) {
        return static_cast<int>(n);
    }
    std::string name = text.rfind("SIG", 0) == 0 ? text.substr(3) : text;
    for (int sig = 1; sig < NSIG; ++sig) {
        const char* abbrev = sigabbrev_np(sig);
        if (abbrev != nullptr && name == abbrev) {
            return sig;
        }
    }
    return 0;
}

namespace {

const char* const kKindList =
    "echo, loopback, or N: with no-reply, short:K with K 0-9, drop:K with K 0-9, extra, "
    "touch-before, delay:MS, hangup, signal:SIG, ignore, zeros, noise, reply:HEX";

// "5541..." : 1 to 64 bytes, two hexadecimal digits each.
bool parseHex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.empty() || text.size() % 2 != 0 || text.size() > 128 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> noiseBytes(unsigned seed) {
    // xorshift32, written out so that the bytes are the same wherever it runs.
    std::uint32_t x = 2463534242u ^ (seed * 2654435761u);
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < Packet{}.size()) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        auto b = static_cast<std::uint8_t>(x >> 24);
        if (b != kLeadIn) {
            bytes.push_back(b);
        }
    }
    return bytes;
}

bool FaultPlan::add(const std::string& spec, std::string& error) {
    // Whole-line faults: they concern every packet, not one exchange.
    if (spec == "echo" || spec == "loopback") {
        (spec == "echo" ? echo_ : loopback_) = true;
        return true;
    }
    auto colon = spec.find(':');
    long index = 0;
    if (colon == std::string::npos || !parseNumber(spec.substr(0, colon), 0, 1000000, index)) {
        error = "expected echo, loopback or N:KIND[:ARG] with N the exchange index";
        return false;
    }
    std::string kind = spec.substr(colon + 1);
    std::string arg;
    if (auto second = kind.find(':'); second != std::string::npos) {
        arg = kind.substr(second + 1);
        kind.resize(second);
    }
    static const char* const kKinds[] = {"no-reply",     "short", "drop",   "extra",
                                         "touch-before", "delay", "hangup", "signal",
                                         "ignore",       "zeros", "noise",  "reply"};
    if (std::find(std::begin(kKinds), std::end(kKinds), kind) == std::end(kKinds)) {
        error = "unknown fault '" + kind + "' (" + kKindList + ")";
        return false;
    }
    Fault& f = faults_[static_cast<unsigned>(index)];
    long n = 0;
    bool wantsArg =
        kind == "short" || kind == "drop" || kind == "delay" || kind == "signal" || kind == "reply";
    if (wantsArg != (colon != spec.rfind(':'))) {
        error = wantsArg ? "'" + kind + "' needs an argument" : "'" + kind + "' takes no argument";
        return false;
    }
    bool ok = true;
    if (kind == "no-reply") {
        f.noReply = true;
    } else if (kind == "short") {
        ok = parseNumber(arg, 0, 9, n);
        f.shortBytes = static_cast<int>(n);
    } else if (kind == "drop") {
        ok = parseNumber(arg, 0, 9, n);
        f.dropByte = static_cast<int>(n);
    } else if (kind == "extra") {
        f.extra = true;
    } else if (kind == "touch-before") {
        f.touchBefore = true;
    } else if (kind == "delay") {
        ok = parseNumber(arg, 0, 600000, n);
        f.delayMs = static_cast<int>(n);
    } else if (kind == "hangup") {
        f.hangup = true;
    } else if (kind == "signal") {
        f.signal = parseSignal(arg);
        ok = f.signal != 0;
    } else if (kind == "ignore") {
        f.ignore = true;
    } else if (kind == "zeros") {
        // A line held in break reads as a zero byte each character time.
        f.instead.assign(Packet{}.size(), 0);
        f.insteadKind = kind;
    } else if (kind == "noise") {
        f.instead = noiseBytes(static_cast<unsigned>(index));
        f.insteadKind = kind;
    } else if (kind == "reply") {
        ok = parseHex(arg, f.instead);
        f.insteadKind = "injected";
    }
    if (!ok) {
        error =
            "bad argument '" + arg + "' for fault '" + kind + "' (" +
            (kind == "reply" ? "expected 1 to 64 bytes, two hexadecimal digits each" : kKindList) +
            ")";
        return false;
    }
    return true;
}

Fault FaultPlan::at(unsigned exchange) const {
    auto it = faults_.find(exchange);
    Fault f = it == faults_.end() ? Fault{} : it->second;
    f.echo = f.echo || echo_ || loopback_;
    f.loopback = loopback_;
    return f;
}

Outgoing whole(const Packet& pkt, const char* kind) {
    return {std::vector<std::uint8_t>(pkt.begin(), pkt.end()), kind};
}

namespace {

void loseByte(Outgoing& out, int pos) {
    if (pos >= 0 && static_cast<std::size_t>(pos) < out.bytes.size()) {
        out.lost = pos;
        // A short reply stays short; a whole one is no longer whole.
        out.kind = out.kind == "reply" ? "dropped" : out.kind;
    }
}

}  // namespace

std::vector<Outgoing> shapeReplies(const std::vector<Packet>& replies, const Fault& f) {
    std::vector<Outgoing> out;
    if (f.hangup) {
        return out;
    }
    if (f.touchBefore) {
        // Mid-screen on a 12-bit panel: a touch that happened to land during the exchange.
        out.push_back(whole(touchReport(2048, 2048), "touch"));
    }
    if (f.noReply || f.loopback) {
        return out;
    }
    std::vector<Outgoing> answer;
    if (!f.insteadKind.empty()) {
        answer.push_back({f.instead, f.insteadKind});
    } else {
        for (const Packet& r : replies) {
            answer.push_back(whole(r, "reply"));
        }
    }
    if (f.shortBytes >= 0) {
        if (!answer.empty() && f.shortBytes > 0) {
            std::vector<std::uint8_t>& first = answer.front().bytes;
            first.resize(std::min(first.size(), static_cast<std::size_t>(f.shortBytes)));
            answer.front().kind = answer.front().kind == "reply" ? "short" : answer.front().kind;
            out.push_back(std::move(answer.front()));
            loseByte(out.back(), f.dropByte);
        }
        return out;
    }
    for (std::size_t i = 0; i < answer.size(); ++i) {
        out.push_back(std::move(answer[i]));
        if (i == 0) {
            loseByte(out.back(), f.dropByte);
        }
    }
    if (f.extra) {
        out.push_back(whole(foreignPacket(reply::unsolicited), "extra"));
    }
    return out;
}

}  // namespace emu
