// SPDX-License-Identifier: MIT
#include "controller.h"

#include "output.h"

#include <cstdarg>
#include <cstdio>

#include "main.h"

namespace emu {

namespace {

Packet filled(std::uint8_t letterByte) {
    Packet pkt{};
    for (std::size_t i = 0; i < pkt.size(); ++i) {
        pkt[i] = fillerAt(i);
    }
    pkt[at::leadIn] = kLeadIn;
    pkt[at::letter] = letterByte;
    return pkt;
}

}  // namespace

ControllerState factoryState() {
    ControllerState s;
    s.scaling[X] = {0, 1024};
    s.scaling[Y] = {0, 768};
    s.calibration[X] = {0, 4095};
    s.calibration[Y] = {0, 4095};
    s.filter = {8, 16, 4};
    s.report = {3, 20};
    s.mode.reportFlags = modeBit::reportTouch | modeBit::reportStream | modeBit::reportUntouch;
    s.mode.processFlags = modeBit::trim | modeBit::calib | modeBit::scale | modeBit::tracking;
    return s;
}

std::uint8_t fillerAt(std::size_t pos) {
    return static_cast<std::uint8_t>(0xa0 + pos);
}

Packet touchReport(std::uint16_t x, std::uint16_t y) {
    Packet pkt = filled(letter::touch);
    putLe16(&pkt[at::touchX], x);
    putLe16(&pkt[at::touchY], y);
    return pkt;
}

Packet foreignPacket(std::uint8_t letterByte) {
    return filled(letterByte);
}

bool Controller::rawMode() const {
    return state_.mode.reportFlags == modeBit::reportTouch && state_.mode.processFlags == 0;
}

bool Controller::streams() const {
    return (state_.mode.reportFlags & modeBit::reportStream) != 0;
}

bool Controller::reportsPresses() const {
    return (state_.mode.reportFlags & modeBit::reportTouch) != 0 && !streams();
}

Packet Controller::filterReply() const {
    Packet pkt = filled(reply::filter);
    pkt[at::slen] = state_.filter.slen;
    pkt[at::deviation] = state_.filter.deviation;
    pkt[at::states] = state_.filter.states;
    return pkt;
}

Packet Controller::reportReply() const {
    Packet pkt = filled(reply::report);
    pkt[at::untouch] = state_.report.untouch;
    pkt[at::repeat] = state_.report.repeat;
    return pkt;
}

Packet Controller::modeReply() const {
    Packet pkt = filled(reply::mode);
    pkt[at::reportFlags] = state_.mode.reportFlags;
    pkt[at::processFlags] = state_.mode.processFlags;
    return pkt;
}

std::string Controller::setRange(AxisRange (&ranges)[2], const char* what, const Packet& cmd) {
    const std::uint8_t axis = cmd[at::axis];
    if (axis != 'X' && axis != 'Y') {
        return format("%s for unknown axis 0x%02x ignored", what, axis);
    }
    AxisRange& r = ranges[axis == 'X' ? X : Y];
    r.low = static_cast<std::int16_t>(getLe16(&cmd[at::low]));
    r.high = static_cast<std::int16_t>(getLe16(&cmd[at::high]));
    return format("%s %c %d..%d", what, axis, r.low, r.high);
}

Answer Controller::answer(const Packet& cmd, bool apply) {
    const ControllerState before = state_;
    Answer a = answerAndApply(cmd);
    if (!apply) {
        state_ = before;
        a.effect = "ignored: " + a.effect;
    }
    return a;
}

Answer Controller::answerAndApply(const Packet& cmd) {
    Answer a;
    Packet ack = filled(reply::ack);
    // Which command this acknowledges, in a byte the tool never looks at.
    ack[at::axis] = cmd[at::letter];
    if (cmd[at::leadIn] != kLeadIn) {
        a.effect = "no lead-in: ignored";
        a.replies.push_back(ack);
        return a;
    }
    switch (cmd[at::letter]) {
        case letter::scaling:
            a.effect = setRange(state_.scaling, "scaling", cmd);
            a.replies.push_back(ack);
            break;
        case letter::calibration:
            a.effect = setRange(state_.calibration, "calibration", cmd);
            a.replies.push_back(ack);
            break;
        case letter::filterQuery:
            a.effect = "filter query";
            a.replies.push_back(filterReply());
            break;
        case reply::filter:
            state_.filter = {cmd[at::slen], cmd[at::deviation], cmd[at::states]};
            a.effect = format("filter slen %d deviation %d states %d", state_.filter.slen,
                              state_.filter.deviation, state_.filter.states);
            a.replies.push_back(ack);
            break;
        case letter::reportQuery:
            a.effect = "report query";
            a.replies.push_back(reportReply());
            break;
        case reply::report:
            state_.report = {cmd[at::untouch], cmd[at::repeat]};
            a.effect =
                format("report untouch %d repeat %d", state_.report.untouch, state_.report.repeat);
            a.replies.push_back(ack);
            break;
        case letter::mode:
            state_.mode = {cmd[at::reportFlags], cmd[at::processFlags]};
            a.effect = format("mode reportFlags 0x%02x processFlags 0x%02x",
                              state_.mode.reportFlags, state_.mode.processFlags);
            a.replies.push_back(ack);
            break;
        case letter::modeQuery:
            a.effect = "mode query";
            a.replies.push_back(modeReply());
            a.replies.push_back(filled(reply::trailer));
            break;
        case letter::diagnostics: {
            a.effect = format("self-test, mask 0x%02x: failures 0x%02x", cmd[at::dmask],
                              state_.selfTestFailures);
            Packet result = filled(reply::selfTest);
            result[at::dmask] = state_.selfTestFailures;
            a.replies.push_back(result);
            a.replies.push_back(filled(reply::trailer));
            break;
        }
        default:
            a.effect = "unknown command";
            a.replies.push_back(ack);
            break;
    }
    return a;
}

std::string describeState(const ControllerState& s) {
    return format("  scaling      X %d..%d  Y %d..%d\n", s.scaling[X].low, s.scaling[X].high,
                  s.scaling[Y].low, s.scaling[Y].high) +
           format("  calibration  X %d..%d  Y %d..%d\n", s.calibration[X].low,
                  s.calibration[X].high, s.calibration[Y].low, s.calibration[Y].high) +
           format("  filter       slen %d  deviation %d  states %d\n", s.filter.slen,
                  s.filter.deviation, s.filter.states) +
           format("  report       untouch %d  repeat %d\n", s.report.untouch, s.report.repeat) +
           format("  mode         reportFlags 0x%02x  processFlags 0x%02x\n", s.mode.reportFlags,
                  s.mode.processFlags) +
           format("  self-test    failure mask 0x%02x\n", s.selfTestFailures);
}

}  // namespace emu
