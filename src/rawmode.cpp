#include "rawmode.h"

#include <algorithm>

#include "settings.h"

Xfer nextTouch(int fd, std::uint16_t& x, std::uint16_t& y, int timeoutMs) {
    Packet pkt{};
    for (;;) {
        Xfer got = readPacketWithin(fd, pkt, timeoutMs);
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
