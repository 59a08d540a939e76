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
    "no-reply, short:K with K 0-9, drop:K with K 0-9, extra, touch-before, delay:MS, hangup, "
    "signal:SIG, ignore";
}  // namespace

bool FaultPlan::add(const std::string& spec, std::string& error) {
    auto colon = spec.find(':');
    long index = 0;
    if (colon == std::string::npos || !parseNumber(spec.substr(0, colon), 0, 1000000, index)) {
        error = "expected N:KIND[:ARG] with N the exchange index";
        return false;
    }
    std::string kind = spec.substr(colon + 1);
    std::string arg;
    if (auto second = kind.find(':'); second != std::string::npos) {
        arg = kind.substr(second + 1);
        kind.resize(second);
    }
    static const char* const kKinds[] = {"no-reply", "short",  "drop",   "extra", "touch-before",
                                         "delay",    "hangup", "signal", "ignore"};
    if (std::find(std::begin(kKinds), std::end(kKinds), kind) == std::end(kKinds)) {
        error = "unknown fault '" + kind + "' (" + kKindList + ")";
        return false;
    }
    Fault& f = faults_[static_cast<unsigned>(index)];
    long n = 0;
    bool wantsArg = kind == "short" || kind == "drop" || kind == "delay" || kind == "signal";
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
    }
    if (!ok) {
        error = "bad argument '" + arg + "' for fault '" + kind + "' (" + kKindList + ")";
        return false;
    }
    return true;
}

Fault FaultPlan::at(unsigned exchange) const {
    auto it = faults_.find(exchange);
    return it == faults_.end() ? Fault{} : it->second;
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
    if (f.noReply) {
        return out;
    }
    if (f.shortBytes >= 0) {
        if (!replies.empty() && f.shortBytes > 0) {
            const Packet& first = replies.front();
            out.push_back(
                {std::vector<std::uint8_t>(first.begin(), first.begin() + f.shortBytes), "short"});
            loseByte(out.back(), f.dropByte);
        }
        return out;
    }
    for (std::size_t i = 0; i < replies.size(); ++i) {
        out.push_back(whole(replies[i], "reply"));
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
