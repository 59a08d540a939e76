// SPDX-License-Identifier: MIT
#include "verify.h"

#include <cstdio>
#include <string>
#include <vector>

#include "io.h"
#include "output.h"

bool verifySettings(Readback& readback, const Options& opts) {
    bool same = true;
    // Each group is reported before the next is asked for, so that the messages keep pace
    // with the trace.
    auto report = [&](const std::vector<std::string>& lines,
                      const std::vector<Difference>& records) {
        if (pendingStop() != 0) {
            return false;  // a query cut short by the signal is no difference
        }
        if (readback.gone()) {
            return false;  // the run ends on the one message the transport gave
        }
        for (const std::string& line : lines) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        for (const Difference& d : records) {
            printDifference(d);
            same = false;
        }
        return true;
    };
    if (opts.filterMask != 0) {
        const auto held = readback.filter();
        if (!report(filterDifferences(opts.filter, opts.filterMask, held),
                    compareFilter(opts.filter, opts.filterMask, held))) {
            return false;
        }
    }
    if (opts.reportMask != 0) {
        const auto held = readback.report();
        if (!report(reportDifferences(opts.report, opts.reportMask, held),
                    compareReport(opts.report, opts.reportMask, held))) {
            return false;
        }
    }
    if (opts.modeGiven) {
        const auto held = readback.mode();
        if (!report(modeDifferences(opts.mode, held), compareMode(opts.mode, held))) {
            return false;
        }
    }
    return same;
}
