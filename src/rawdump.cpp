// SPDX-License-Identifier: MIT
#include "rawdump.h"

#include <algorithm>
#include <cstdio>

#include "output.h"
#include "settings.h"

Status nextTouch(Transport& t, std::uint16_t& x, std::uint16_t& y, Time until) {
    // One limit for the whole wait: a packet passed over must not start it again, or a
    // controller chattering about something else would hold the wait open for ever.
    Packet pkt{};
    for (;;) {
        const Status got = t.next(pkt, until);
        if (!got.ok()) {
            return got;
        }
        if (pkt[at::letter] == letter::touch) {
            x = getLe16(&pkt[at::touchX]);
            y = getLe16(&pkt[at::touchY]);
            return got;
        }
    }
}

bool RawMode::enter(bool& exchangeOk) {
    Packet pkt{};
    pkt[at::letter] = letter::modeQuery;
    bool replied = false;
    // The mode query is answered twice; the second packet is passed over.
    const Status asked = t_.query(pkt, 1, &replied);
    report(t_, asked);
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
    const Status switched = t_.command(pkt);
    report(t_, switched);
    exchangeOk = exchangeOk && asked.ok() && switched.ok();
    return true;
}

bool RawMode::restore() {
    if (!active_) {
        return true;
    }
    active_ = false;
    if (t_.dead()) {
        return false;
    }
    Packet pkt = previous_;
    pkt[at::letter] = letter::mode;
    // Sent even after a stop signal: that is when it matters most.
    const Status s = t_.command(pkt, true);
    report(t_, s);
    return s.ok();
}

int dumpRaw(Transport& t, std::int32_t count) {
    bool ok = true;
    RawMode raw(t);
    if (!raw.enter(ok)) {
        if (!t.dead()) {
            std::fputs("Raw dump not started: mode unknown\n", stderr);
        }
        return -1;
    }
    if (t.dead()) {
        return -1;
    }
    while (count != 0) {
        std::uint16_t x = 0;
        std::uint16_t y = 0;
        const Status got = nextTouch(t, x, y, kNever);
        if (got.kind == Status::stopped) {
            break;
        }
        report(t, got);
        if (t.dead()) {
            return -1;
        }
        if (!got.ok()) {
            continue;
        }
        if (!printTouch(x, y)) {
            // Whoever read our output is gone (a pipe into head, say): stop and clean up.
            std::perror("Error while writing coordinates");
            ok = false;
            break;
        }
        if (count > 0) {
            --count;
        }
    }
    ok = raw.restore() && ok;
    return ok ? 0 : -1;
}
