// SPDX-License-Identifier: MIT
#include "diagnostics.h"

#include <cassert>
#include <cstdint>

#include "output.h"
#include "packet.h"
#include "transport.h"

int runDiagnostics(Transport& t, unsigned dmask, bool& exchangeOk) {
    assert(dmask);
    Packet pkt{};
    pkt[at::letter] = letter::diagnostics;
    pkt[at::dmask] = static_cast<std::uint8_t>(dmask);
    bool replied = false;
    // The self-test is answered twice; the second packet is passed over.
    const Status s = t.query(pkt, 1, &replied);
    report(t, s);
    exchangeOk = s.ok();
    // Cut short by a stop signal or a device gone, there is no verdict worth printing. Without
    // a reply there is no mask: the one in the packet is our own request.
    if (s.kind == Status::stopped || t.dead()) {
        return -1;
    }
    if (!replied) {
        printSelfTest(std::nullopt);
        return -1;
    }
    const int result = pkt[at::dmask];
    printSelfTest(result);
    return result;
}
