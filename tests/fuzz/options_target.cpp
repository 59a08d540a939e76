// SPDX-License-Identifier: MIT
// Fuzz target: the command line. The input is argv after the program name, split on NUL bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "main.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "options fuzz: %s\n", what);
        std::abort();
    }
}

bool sameRange(const AxisRange& a, const AxisRange& b) {
    return a.low == b.low && a.high == b.high;
}

bool sameOptions(const Options& a, const Options& b) {
    for (int axis : {X, Y}) {
        if (!sameRange(a.scaling[axis], b.scaling[axis]) ||
            a.scalingGiven[axis] != b.scalingGiven[axis] ||
            !sameRange(a.calibration[axis], b.calibration[axis]) ||
            a.calibrationGiven[axis] != b.calibrationGiven[axis]) {
            return false;
        }
    }
    return a.filter.slen == b.filter.slen && a.filter.deviation == b.filter.deviation &&
           a.filter.states == b.filter.states && a.filterMask == b.filterMask &&
           a.report.untouch == b.report.untouch && a.report.repeat == b.report.repeat &&
           a.reportMask == b.reportMask && a.mode.reportFlags == b.mode.reportFlags &&
           a.mode.processFlags == b.mode.processFlags && a.modeGiven == b.modeGiven &&
           a.diagnostics == b.diagnostics && a.raw == b.raw && a.dump == b.dump;
}

// What a run is allowed to send follows from what was given, nothing else.
void checkConsistent(const Options& o) {
    for (int axis : {X, Y}) {
        require(o.scaling[axis].low == 0, "scaling low bound is not 0");
        require(o.scalingGiven[axis] || o.scaling[axis].high == 0,
                "scaling value without scalingGiven");
        require(o.calibrationGiven[axis] || sameRange(o.calibration[axis], AxisRange{}),
                "calibration value without calibrationGiven");
    }
    require((o.filterMask & ~(filterBit::slen | filterBit::deviation | filterBit::states)) == 0 &&
                (o.reportMask & ~(reportBit::untouch | reportBit::repeat)) == 0,
            "mask bit outside its group");
    require((o.filter.slen == 0 || (o.filterMask & filterBit::slen) != 0) &&
                (o.filter.deviation == 0 || (o.filterMask & filterBit::deviation) != 0) &&
                (o.filter.states == 0 || (o.filterMask & filterBit::states) != 0) &&
                (o.report.untouch == 0 || (o.reportMask & reportBit::untouch) != 0) &&
                (o.report.repeat == 0 || (o.reportMask & reportBit::repeat) != 0),
            "parameter value without its mask bit");
    require(o.modeGiven || (o.mode.reportFlags == 0 && o.mode.processFlags == 0),
            "mode flags without modeGiven");
}

Parsed parse(std::vector<std::string>& args, Options& opts) {
    // getopt_long permutes argv, so each parse gets its own pointer array.
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return parseOptions(static_cast<int>(args.size()), argv.data(), opts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"tavrinset"};
    std::string current;
    for (std::size_t i = 0; size > 0 && i <= size; ++i) {
        if (i == size || data[i] == 0) {
            args.push_back(std::exchange(current, {}));
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    Options first;
    const Parsed outcome = parse(args, first);
    if (outcome == Parsed::run) {
        checkConsistent(first);
    }
    // Whatever the last parse left behind (a half-read option cluster after --help, say) must
    // not leak into the next one.
    Options second;
    require(parse(args, second) == outcome && sameOptions(first, second),
            "second parse of the same command line differs");
    return 0;
}
