// SPDX-License-Identifier: MIT
#include "settings.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdio>

#include "transport.h"

const ModeKeyword kModeKeywords[10] = {
    {"default", 0x07, 0x4E, 0},
    {"touch", modeBit::reportTouch, 0, 1},
    {"stream", modeBit::reportStream, 0, 2},
    {"untouch", modeBit::reportUntouch, 0, 3},
    {"calib", 0, modeBit::calib, 5},
    {"trim", 0, modeBit::trim, 4},
    {"scale", 0, modeBit::scale, 6},
    {"tracking", 0, modeBit::tracking, 7},
    {"initial", modeBit::reportTouch, 0, 0},
    {"scaling", 0, modeBit::scale, 0},
};

std::vector<const char*> modeKeywordsOf(const ModeFlags& m) {
    std::vector<const ModeKeyword*> set;
    for (const ModeKeyword& k : kModeKeywords) {
        if (k.shownAt != 0 && (m.reportFlags & k.reportFlags) == k.reportFlags &&
            (m.processFlags & k.processFlags) == k.processFlags) {
            set.push_back(&k);
        }
    }
    std::sort(set.begin(), set.end(),
              [](const ModeKeyword* a, const ModeKeyword* b) { return a->shownAt < b->shownAt; });
    std::vector<const char*> words;
    words.reserve(set.size());
    for (const ModeKeyword* k : set) {
        words.push_back(k->word);
    }
    return words;
}

std::string modeKeywordList(const ModeFlags& m) {
    ModeFlags named;
    std::string list;
    for (const char* word : modeKeywordsOf(m)) {
        for (const ModeKeyword& k : kModeKeywords) {
            if (k.word == word) {
                named.reportFlags |= k.reportFlags;
                named.processFlags |= k.processFlags;
            }
        }
        if (!list.empty()) {
            list += ',';
        }
        list += word;
    }
    const bool exact = named.reportFlags == m.reportFlags && named.processFlags == m.processFlags;
    return exact ? list : std::string();
}

namespace {

int reported(Transport& t, const Status& s) {
    report(t, s);
    return s.ok() ? 0 : -1;
}

int sendRange(Transport& t, std::uint8_t which, char axis, std::int16_t low, std::int16_t high) {
    assert(axis == 'x' || axis == 'X' || axis == 'y' || axis == 'Y');
    Packet pkt{};
    pkt[at::letter] = which;
    pkt[at::axis] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(axis)));
    // Negative bounds travel as their two's-complement pattern.
    putLe16(&pkt[at::low], static_cast<std::uint16_t>(low));
    putLe16(&pkt[at::high], static_cast<std::uint16_t>(high));
    return reported(t, t.command(pkt));
}

// Query, then write the reply back with only the named bytes replaced. Anything short of a
// certain reply would put zeros or our own query into the parameters nobody asked to change.
template <typename Apply>
int queryAndWriteBack(Transport& t, std::uint8_t letter, const char* notChanged, Apply apply) {
    Packet pkt{};
    pkt[at::letter] = letter;
    if (const Status s = t.query(pkt); !s.ok()) {
        report(t, s);
        // With the device gone the run ends on the one message already given.
        if (!t.dead()) {
            std::fputs(notChanged, stderr);
        }
        return -1;
    }
    // The controller's reply letter goes back as it came.
    apply(pkt);
    return reported(t, t.command(pkt));
}

}  // namespace

int setScaling(Transport& t, char axis, std::int16_t low, std::int16_t high) {
    return sendRange(t, letter::scaling, axis, low, high);
}

int setCalibration(Transport& t, char axis, std::int16_t low, std::int16_t high) {
    return sendRange(t, letter::calibration, axis, low, high);
}

int setFilter(Transport& t, const FilterParams& f, std::uint32_t mask) {
    assert(mask);
    return queryAndWriteBack(t, letter::filterQuery, "Filter parameters not changed\n",
                             [&](Packet& pkt) {
                                 if (mask & filterBit::slen) {
                                     pkt[at::slen] = f.slen;
                                 }
                                 if (mask & filterBit::deviation) {
                                     pkt[at::deviation] = f.deviation;
                                 }
                                 if (mask & filterBit::states) {
                                     pkt[at::states] = f.states;
                                 }
                             });
}

int setReport(Transport& t, const ReportParams& r, std::uint32_t mask) {
    assert(mask);
    return queryAndWriteBack(t, letter::reportQuery, "Report parameters not changed\n",
                             [&](Packet& pkt) {
                                 if (mask & reportBit::untouch) {
                                     pkt[at::untouch] = r.untouch;
                                 }
                                 if (mask & reportBit::repeat) {
                                     pkt[at::repeat] = r.repeat;
                                 }
                             });
}

int setMode(Transport& t, const ModeFlags& m) {
    Packet pkt{};
    pkt[at::letter] = letter::mode;
    pkt[at::reportFlags] = m.reportFlags;
    pkt[at::processFlags] = m.processFlags;
    return reported(t, t.command(pkt));
}
