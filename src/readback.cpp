// SPDX-License-Identifier: MIT
#include "readback.h"

#include <cstdio>

#include "io.h"
#include "packet.h"
#include "transport.h"

namespace {

// One record per value named in mask that differs, or per value sent when nothing was read.
struct Field {
    const char* name;
    std::uint32_t bit;
    unsigned sent;
    unsigned held;
};

std::vector<Difference> compare(const char* group, std::initializer_list<Field> fields,
                                std::uint32_t mask, bool read) {
    std::vector<Difference> found;
    for (const Field& f : fields) {
        if ((mask & f.bit) == 0) {
            continue;
        }
        if (!read) {
            found.push_back({group, f.name, f.sent, std::nullopt});
        } else if (f.held != f.sent) {
            found.push_back({group, f.name, f.sent, f.held});
        }
    }
    return found;
}

std::vector<std::string> lines(const char* group, const std::vector<Difference>& found) {
    std::vector<std::string> text;
    for (const Difference& d : found) {
        if (!d.read) {
            return {std::string("tavrinset: ") + group + " could not be read back"};
        }
        char line[96];
        std::snprintf(line, sizeof line, "tavrinset: %s %s reads back %u, not %u", group, d.field,
                      *d.read, d.wanted);
        text.push_back(line);
    }
    return text;
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

std::vector<Difference> compareFilter(const FilterParams& sent, std::uint32_t mask,
                                      const std::optional<FilterParams>& held) {
    const FilterParams h = held.value_or(FilterParams{});
    return compare("filter",
                   {{"slen", filterBit::slen, sent.slen, h.slen},
                    {"deviation", filterBit::deviation, sent.deviation, h.deviation},
                    {"states", filterBit::states, sent.states, h.states}},
                   mask, held.has_value());
}

std::vector<Difference> compareReport(const ReportParams& sent, std::uint32_t mask,
                                      const std::optional<ReportParams>& held) {
    const ReportParams h = held.value_or(ReportParams{});
    return compare("report",
                   {{"untouch", reportBit::untouch, sent.untouch, h.untouch},
                    {"repeat", reportBit::repeat, sent.repeat, h.repeat}},
                   mask, held.has_value());
}

std::vector<Difference> compareMode(const ModeFlags& sent, const std::optional<ModeFlags>& held) {
    const ModeFlags h = held.value_or(ModeFlags{});
    return compare("mode",
                   {{"report_flags", 1, sent.reportFlags, h.reportFlags},
                    {"process_flags", 2, sent.processFlags, h.processFlags}},
                   3, held.has_value());
}

std::vector<std::string> filterDifferences(const FilterParams& sent, std::uint32_t mask,
                                           const std::optional<FilterParams>& held) {
    return lines("filter", compareFilter(sent, mask, held));
}

std::vector<std::string> reportDifferences(const ReportParams& sent, std::uint32_t mask,
                                           const std::optional<ReportParams>& held) {
    return lines("report", compareReport(sent, mask, held));
}

std::vector<std::string> modeDifferences(const ModeFlags& sent,
                                         const std::optional<ModeFlags>& held) {
    const std::vector<Difference> found = compareMode(sent, held);
    if (found.empty() || !found.front().read) {
        return lines("mode", found);
    }
    // People read the mode as its two bytes, as --show and --mode's bits give it.
    char line[96];
    std::snprintf(line, sizeof line, "tavrinset: mode reads back 0x%02x 0x%02x, not 0x%02x 0x%02x",
                  held->reportFlags, held->processFlags, sent.reportFlags, sent.processFlags);
    return {line};
}
