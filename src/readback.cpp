// SPDX-License-Identifier: MIT
#include "readback.h"

#include <cstdio>

#include "io.h"
#include "options.h"
#include "packet.h"
#include "transport.h"

namespace {

std::string valueDiffers(const char* what, unsigned held, unsigned sent) {
    char line[96];
    std::snprintf(line, sizeof line, "tavrinset: %s reads back %u, not %u", what, held, sent);
    return line;
}

std::string notReadBack(const char* group) {
    return std::string("tavrinset: ") + group + " could not be read back";
}

}  // namespace

bool Readback::ask(std::uint8_t queryLetter, int trailers, Packet& pkt) {
    if (gone_) {
        return false;
    }
    pkt = Packet{};
    pkt[at::letter] = queryLetter;
    const Status s = t_.query(pkt, trailers);
    ::report(t_, s);
    gone_ = t_.dead();
    // Anything short of a clean exchange leaves pkt holding no certain reply.
    return s.ok();
}

std::optional<FilterParams> Readback::filter() {
    Packet pkt;
    if (!ask(letter::filterQuery, 0, pkt)) {
        return std::nullopt;
    }
    return FilterParams{pkt[at::slen], pkt[at::deviation], pkt[at::states]};
}

std::optional<ReportParams> Readback::report() {
    Packet pkt;
    if (!ask(letter::reportQuery, 0, pkt)) {
        return std::nullopt;
    }
    return ReportParams{pkt[at::untouch], pkt[at::repeat]};
}

std::optional<ModeFlags> Readback::mode() {
    Packet pkt;
    // The mode comes with a second packet that carries nothing we use.
    if (!ask(letter::modeQuery, 1, pkt)) {
        return std::nullopt;
    }
    return ModeFlags{pkt[at::reportFlags], pkt[at::processFlags]};
}

HeldSettings Readback::all() {
    HeldSettings held;
    held.filter = filter();
    held.report = report();
    held.mode = mode();
    return held;
}

std::vector<std::string> filterDifferences(const FilterParams& sent, std::uint32_t mask,
                                           const std::optional<FilterParams>& held) {
    if (!held) {
        return {notReadBack("filter")};
    }
    std::vector<std::string> lines;
    if ((mask & filterBit::slen) != 0 && held->slen != sent.slen) {
        lines.push_back(valueDiffers("filter slen", held->slen, sent.slen));
    }
    if ((mask & filterBit::deviation) != 0 && held->deviation != sent.deviation) {
        lines.push_back(valueDiffers("filter deviation", held->deviation, sent.deviation));
    }
    if ((mask & filterBit::states) != 0 && held->states != sent.states) {
        lines.push_back(valueDiffers("filter states", held->states, sent.states));
    }
    return lines;
}

std::vector<std::string> reportDifferences(const ReportParams& sent, std::uint32_t mask,
                                           const std::optional<ReportParams>& held) {
    if (!held) {
        return {notReadBack("report")};
    }
    std::vector<std::string> lines;
    if ((mask & reportBit::untouch) != 0 && held->untouch != sent.untouch) {
        lines.push_back(valueDiffers("report untouch", held->untouch, sent.untouch));
    }
    if ((mask & reportBit::repeat) != 0 && held->repeat != sent.repeat) {
        lines.push_back(valueDiffers("report repeat", held->repeat, sent.repeat));
    }
    return lines;
}

std::vector<std::string> modeDifferences(const ModeFlags& sent,
                                         const std::optional<ModeFlags>& held) {
    if (!held) {
        return {notReadBack("mode")};
    }
    if (held->reportFlags == sent.reportFlags && held->processFlags == sent.processFlags) {
        return {};
    }
    char line[96];
    std::snprintf(line, sizeof line, "tavrinset: mode reads back 0x%02x 0x%02x, not 0x%02x 0x%02x",
                  held->reportFlags, held->processFlags, sent.reportFlags, sent.processFlags);
    return {line};
}

bool verifySettings(Readback& readback, const Options& opts) {
    bool same = true;
    // Each group is reported before the next is asked for, so that the messages keep pace
    // with the trace.
    auto report = [&](const std::vector<std::string>& lines) {
        if (pendingStop() != 0) {
            return false;  // a query cut short by the signal is no difference
        }
        if (readback.gone()) {
            return false;  // the run ends on the one message the transport gave
        }
        for (const std::string& line : lines) {
            std::fprintf(stderr, "%s\n", line.c_str());
            same = false;
        }
        return true;
    };
    if (opts.filterMask != 0 &&
        !report(filterDifferences(opts.filter, opts.filterMask, readback.filter()))) {
        return false;
    }
    if (opts.reportMask != 0 &&
        !report(reportDifferences(opts.report, opts.reportMask, readback.report()))) {
        return false;
    }
    if (opts.modeGiven && !report(modeDifferences(opts.mode, readback.mode()))) {
        return false;
    }
    return same;
}
