// SPDX-License-Identifier: MIT
#include "settings.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdio>

#include "output.h"
#include "rawmode.h"

void clearPacket(Packet& pkt) {
    pkt.fill(0);
}

void putLe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value & 0xff);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t getLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

namespace {

int sendRange(int fd, std::uint8_t which, char axis, std::int16_t low, std::int16_t high) {
    assert(axis == 'x' || axis == 'X' || axis == 'y' || axis == 'Y');
    Packet pkt{};
    pkt[at::letter] = which;
    pkt[at::axis] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(axis)));
    // Negative bounds travel as their two's-complement pattern.
    putLe16(&pkt[at::low], static_cast<std::uint16_t>(low));
    putLe16(&pkt[at::high], static_cast<std::uint16_t>(high));
    return command(fd, pkt) == Xfer::ok ? 0 : -1;
}

// Query, then write the reply back with only the named bytes replaced. Anything short of a
// whole reply would put zeros or our own query into the parameters nobody asked to change.
template <typename Apply>
int queryAndWriteBack(int fd, std::uint8_t letter, const char* notChanged, Apply apply) {
    Packet pkt{};
    pkt[at::letter] = letter;
    if (query(fd, pkt) != Xfer::ok) {
        // With the device gone the run ends on the one message already given.
        if (!lineGone()) {
            std::fputs(notChanged, stderr);
        }
        return -1;
    }
    // The controller's reply letter goes back as it came.
    apply(pkt);
    return command(fd, pkt) == Xfer::ok ? 0 : -1;
}

}  // namespace

int setScaling(int fd, char axis, std::int16_t low, std::int16_t high) {
    return sendRange(fd, letter::scaling, axis, low, high);
}

int setCalibration(int fd, char axis, std::int16_t low, std::int16_t high) {
    return sendRange(fd, letter::calibration, axis, low, high);
}

int setFilter(int fd, const FilterParams& f, std::uint32_t mask) {
    assert(fd && mask);
    return queryAndWriteBack(fd, letter::filterQuery, "Filter parameters not changed\n",
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

int setReport(int fd, const ReportParams& r, std::uint32_t mask) {
    assert(fd && mask);
    return queryAndWriteBack(fd, letter::reportQuery, "Report parameters not changed\n",
                             [&](Packet& pkt) {
                                 if (mask & reportBit::untouch) {
                                     pkt[at::untouch] = r.untouch;
                                 }
                                 if (mask & reportBit::repeat) {
                                     pkt[at::repeat] = r.repeat;
                                 }
                             });
}

int setMode(int fd, const ModeFlags& m) {
    assert(fd);
    Packet pkt{};
    pkt[at::letter] = letter::mode;
    pkt[at::reportFlags] = m.reportFlags;
    pkt[at::processFlags] = m.processFlags;
    return command(fd, pkt) == Xfer::ok ? 0 : -1;
}

int dumpRaw(int fd, std::int32_t count) {
    bool ok = true;
    RawMode raw(fd);
    if (!raw.enter(ok)) {
        if (!lineGone()) {
            std::fputs("Raw dump not started: mode unknown\n", stderr);
        }
        return -1;
    }
    if (lineGone()) {
        return -1;
    }
    while (count != 0) {
        std::uint16_t x = 0;
        std::uint16_t y = 0;
        Xfer got = nextTouch(fd, x, y);
        if (got == Xfer::interrupted) {
            break;
        }
        if (got == Xfer::gone) {
            return -1;
        }
        if (got != Xfer::ok) {
            continue;
        }
        if (!printTouch(x, y)) {
            // Whoever read our output is gone (a pipe into head, say): stop and clean up.
            std::perror("Error while writing coordinates");
            ok = false;
            break;
        }
        if (count > 0) {
            --count;
        }
    }
    ok = raw.restore() && ok;
    return ok ? 0 : -1;
}
