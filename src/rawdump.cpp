// SPDX-License-Identifier: MIT
#include "rawdump.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "output.h"
#include "settings.h"

Status nextTouch(Transport& t, std::uint16_t& x, std::uint16_t& y, Time until, Time* last) {
    // One limit for the whole wait: a packet passed over must not start it again, or a
    // controller chattering about something else would hold the wait open for ever.
    Packet pkt{};
    for (;;) {
        const Status got = t.next(pkt, until, last);
        if (!got.ok()) {
            return got;
        }
        // Without the lead-in the bytes are noise or cut wrong, whatever their letter says.
        if (pkt[at::leadIn] == kLeadIn && pkt[at::letter] == letter::touch) {
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
    bool back = s.ok();
    if (back) {
        // A controller may acknowledge a mode and keep another: ask.
        Packet held{};
        held[at::letter] = letter::modeQuery;
        bool replied = false;
        report(t_, t_.query(held, 1, &replied, true));
        back = replied && held[at::reportFlags] == previous_[at::reportFlags] &&
               held[at::processFlags] == previous_[at::processFlags];
    }
    if (!back && !t_.dead()) {
        const ModeFlags m{previous_[at::reportFlags], previous_[at::processFlags]};
        const std::string keywords = modeKeywordList(m);
        if (keywords.empty()) {
            std::fprintf(stderr,
                         "tavrinset: the panel may still be in raw mode; its mode was 0x%02x "
                         "0x%02x, which no --mode keyword list sets\n",
                         m.reportFlags, m.processFlags);
        } else {
            std::fprintf(stderr,
                         "tavrinset: the panel may still be in raw mode; restore it with: "
                         "tavrinset --mode %s (0x%02x 0x%02x)\n",
                         keywords.c_str(), m.reportFlags, m.processFlags);
        }
    }
    return back;
}

Dumped dumpRaw(Transport& t, std::int32_t count) {
    bool ok = true;
    RawMode raw(t);
    if (!raw.enter(ok)) {
        if (!t.dead()) {
            std::fputs("Raw dump not started: mode unknown\n", stderr);
        }
        return Dumped::failed;
    }
    if (t.dead()) {
        return Dumped::failed;
    }
    bool readerGone = false;
    while (count != 0) {
        std::uint16_t x = 0;
        std::uint16_t y = 0;
        const Status got = nextTouch(t, x, y, kNever);
        if (got.kind == Status::stopped) {
            break;
        }
        if (got.kind == Status::watched) {
            readerGone = true;
            break;
        }
        report(t, got);
        if (t.dead()) {
            return Dumped::failed;
        }
        if (!got.ok()) {
            continue;
        }
        if (!printTouch(x, y)) {
            // A pipe whose reader left before the wait could see it; anything else is a write
            // error, said at the end of the run.
            readerGone = outputError() == EPIPE;
            ok = false;
            break;
        }
        if (count > 0) {
            --count;
        }
    }
    if (!raw.restore()) {
        return Dumped::failed;
    }
    if (readerGone) {
        return Dumped::readerGone;
    }
    return ok ? Dumped::done : Dumped::failed;
}
