// SPDX-License-Identifier: MIT
#include "rawmode.h"

#include <algorithm>
#include <chrono>

#include "settings.h"

Xfer nextTouch(int fd, std::uint16_t& x, std::uint16_t& y, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    // One limit for the whole wait: a packet passed over must not start it again, or a
    // controller chattering about something else would hold the wait open for ever.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Packet pkt{};
    for (;;) {
        int left = timeoutMs;
        if (timeoutMs >= 0) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            left = static_cast<int>(std::max<std::chrono::milliseconds::rep>(ms.count(), 0));
        }
        Xfer got = readPacketWithin(fd, pkt, left);
        if (got != Xfer::ok) {
            return got;
        }
        if (pkt[at::letter] == letter::touch) {
            x = getLe16(&pkt[at::touchX]);
            y = getLe16(&pkt[at::touchY]);
            return Xfer::ok;
        }
    }
}

bool RawMode::enter(bool& exchangeOk) {
    Packet pkt{};
    pkt[at::letter] = letter::modeQuery;
    bool replied = false;
    // The mode query is answered twice; the second packet is passed over.
    bool whole = query(fd_, pkt, 1, &replied) == Xfer::ok;
    if (!replied) {
        exchangeOk = false;
        return false;
    }
    // Letter, byte 2 and both flag bytes come back as they are on the restore.
    std::copy(pkt.begin() + 1, pkt.begin() + 5, previous_.begin() + 1);
    active_ = true;
    pkt[at::letter] = letter::mode;
    pkt[at::reportFlags] = modeBit::reportTouch;
    pkt[at::processFlags] = 0;
    bool switched = command(fd_, pkt) == Xfer::ok;
    exchangeOk = exchangeOk && whole && switched;
    return true;
}

bool RawMode::restore() {
    if (!active_) {
        return true;
    }
    active_ = false;
    if (lineGone()) {
        return false;
    }
    Packet pkt = previous_;
    pkt[at::letter] = letter::mode;
    // Sent even after a stop signal: that is when it matters most.
    bool sent = writePacket(fd_, pkt, Wait::restore) == Xfer::ok;
    bool replied = readPacket(fd_, pkt, Wait::restore) == Xfer::ok;
    return sent && replied;
}
