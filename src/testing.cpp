// SPDX-License-Identifier: MIT
#include "testing.h"

#include <cassert>
#include <cstdint>
#include <cstdio>

#include "io.h"
#include "output.h"
#include "packet.h"

int runDiagnostics(int fd, unsigned dmask, bool& exchangeOk) {
    assert(fd && dmask);
    Packet pkt{};
    pkt[at::letter] = letter::diagnostics;
    pkt[at::dmask] = static_cast<std::uint8_t>(dmask);
    // Without a reply the request's own mask stays in place: an unreadable self-test fails.
    // The self-test is answered twice; the second packet is passed over.
    bool ok = query(fd, pkt, 1) == Xfer::ok;
    int result = pkt[at::dmask];
    // Cut short by a stop signal or a device gone, the request's mask is no verdict worth
    // printing.
    if (pendingStop() == 0 && !lineGone()) {
        printSelfTest(result);
    }
    exchangeOk = ok;
    return result;
}
