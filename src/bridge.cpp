// SPDX-License-Identifier: MIT
#include "bridge.h"

namespace {

BridgeEnd endOf(Awaited a) {
    switch (a) {
        case Awaited::stopped:
            return BridgeEnd::stopped;
        case Awaited::gone:
            return BridgeEnd::gone;
        default:
            return BridgeEnd::failed;
    }
}

}  // namespace

BridgeResult runBridge(TouchSource& source, TouchTracker& touches) {
    BridgeResult result;
    for (;;) {
        const std::optional<TouchTime> deadline = touches.deadline();
        TouchReport r;
        const Awaited got = source.next(r, deadline);
        int err = 0;
        if (got == Awaited::report) {
            err = touches.report(r.x, r.y, r.at);
        } else if (got == Awaited::timeout) {
            // The wait ended at the deadline: that is the time of the release.
            err = deadline ? touches.expire(*deadline) : 0;
        } else {
            result.end = endOf(got);
            break;
        }
        if (err != 0) {
            result = {BridgeEnd::sinkFailed, err};
            break;
        }
    }
    // Also after the sink failed: the failure may have been one frame's, and a touch left
    // held is worse than one more refused write.
    const int err = touches.finish();
    if (result.sinkError == 0) {
        result.sinkError = err;
    }
    return result;
}
