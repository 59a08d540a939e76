#include "settings.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdio>

#include "output.h"

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

int sendRange(int fd, std::uint8_t command, char axis, std::int16_t low, std::int16_t high) {
    assert(axis == 'x' || axis == 'X' || axis == 'y' || axis == 'Y');
    Packet pkt{};
    pkt[at::letter] = command;
    pkt[at::axis] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(axis)));
    // Negative bounds travel as their two's-complement pattern.
    putLe16(&pkt[at::low], static_cast<std::uint16_t>(low));
    putLe16(&pkt[at::high], static_cast<std::uint16_t>(high));
    return sendCommand(fd, pkt);
}

// Query, then write the reply back with only the named bytes replaced. Anything short of a
// whole reply would put zeros or our own query into the parameters nobody asked to change.
template <typename Apply>
int queryAndWriteBack(int fd, std::uint8_t query, const char* notChanged, Apply apply) {
    Packet pkt{};
    pkt[at::letter] = query;
    int sent = sendPacket(fd, pkt);
    if (receivePacket(fd, pkt) != 0) {
        std::fputs(notChanged, stderr);
        return -1;
    }
    // The controller's reply letter goes back as it came.
    apply(pkt);
    int written = sendCommand(fd, pkt);
    return sent == 0 && written == 0 ? 0 : -1;
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
    return sendCommand(fd, pkt);
}

namespace {

// Holds the controller in raw reporting and puts its own mode back when it goes, on every
// way out of the dump but the device disappearing.
class RawMode {
  public:
    explicit RawMode(int fd) : fd_(fd) {}
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    ~RawMode() { restore(); }

    // False when the controller's mode could not be read: without it there is no way back.
    bool enter(bool& exchangeOk) {
        Packet pkt{};
        pkt[at::letter] = letter::modeQuery;
        bool sent = sendPacket(fd_, pkt) == 0;
        if (receivePacket(fd_, pkt) != 0) {
            return false;
        }
        bool second = skipReply(fd_) == 0;
        // Letter, byte 2 and both flag bytes come back as they are on the restore.
        std::copy(pkt.begin() + 1, pkt.begin() + 5, previous_.begin() + 1);
        active_ = true;
        pkt[at::letter] = letter::mode;
        pkt[at::reportFlags] = modeBit::reportTouch;
        pkt[at::processFlags] = 0;
        bool switched = sendCommand(fd_, pkt) == 0;
        exchangeOk = exchangeOk && sent && second && switched;
        return true;
    }

    // The device is gone: there is nothing left to restore.
    void abandon() { active_ = false; }

    bool restore() {
        if (!active_) {
            return true;
        }
        active_ = false;
        Packet pkt = previous_;
        pkt[at::letter] = letter::mode;
        // Sent even after a stop signal: that is when it matters most.
        bool sent = writePacket(fd_, pkt, Wait::restore) == Xfer::ok;
        bool replied = readPacket(fd_, pkt, Wait::restore) == Xfer::ok;
        return sent && replied;
    }

  private:
    int fd_;
    Packet previous_{};
    bool active_ = false;
};

}  // namespace

int dumpRaw(int fd, std::int32_t count) {
    bool ok = true;
    RawMode raw(fd);
    if (!raw.enter(ok)) {
        std::fputs("Raw dump not started: mode unknown\n", stderr);
        return -1;
    }
    Packet pkt{};
    while (count != 0) {
        Xfer got = readPacket(fd, pkt, Wait::touch);
        if (got == Xfer::interrupted) {
            break;
        }
        if (got == Xfer::gone) {
            raw.abandon();
            return -1;
        }
        if (got != Xfer::ok || pkt[at::letter] != letter::touch) {
            continue;
        }
        unsigned x = getLe16(&pkt[at::touchX]);
        unsigned y = getLe16(&pkt[at::touchY]);
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
