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
    bool ok = sendPacket(fd, pkt) == 0;
    // Without a reply the request's own mask stays in place: an unreadable self-test fails.
    ok = receivePacket(fd, pkt) == 0 && ok;
    int result = pkt[at::dmask];
    // Cut short by a stop signal, the request's mask is no verdict worth printing.
    if (pendingStop() == 0) {
        printSelfTest(result);
    }
    ok = skipReply(fd) == 0 && ok;
    exchangeOk = ok;
    return result;
}
