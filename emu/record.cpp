// SPDX-License-Identifier: MIT
#include "record.h"

#include <algorithm>
#include <iterator>

#include "main.h"

namespace emu {

namespace {

struct Flag {
    tcflag_t bit;
    const char* name;
};

constexpr Flag kIflags[] = {{IGNBRK, "ignbrk"},   {BRKINT, "brkint"}, {IGNPAR, "ignpar"},
                            {PARMRK, "parmrk"},   {INPCK, "inpck"},   {ISTRIP, "istrip"},
                            {INLCR, "inlcr"},     {IGNCR, "igncr"},   {ICRNL, "icrnl"},
                            {IXON, "ixon"},       {IXANY, "ixany"},   {IXOFF, "ixoff"},
                            {IMAXBEL, "imaxbel"}, {IUTF8, "iutf8"}};
constexpr Flag kOflags[] = {{OPOST, "opost"}, {ONLCR, "onlcr"}, {OCRNL, "ocrnl"}};
constexpr Flag kCflags[] = {{CSTOPB, "cstopb"},  {CREAD, "cread"}, {PARENB, "parenb"},
                            {PARODD, "parodd"},  {HUPCL, "hupcl"}, {CLOCAL, "clocal"},
                            {CRTSCTS, "crtscts"}};
constexpr Flag kLflags[] = {{ISIG, "isig"},     {ICANON, "icanon"}, {ECHO, "echo"},
                            {ECHOE, "echoe"},   {ECHOK, "echok"},   {ECHONL, "echonl"},
                            {NOFLSH, "noflsh"}, {TOSTOP, "tostop"}, {ECHOCTL, "echoctl"},
                            {ECHOKE, "echoke"}, {IEXTEN, "iexten"}};

constexpr struct {
    speed_t code;
    unsigned baud;
} kSpeeds[] = {{B0, 0},           {B1200, 1200},    {B2400, 2400},   {B4800, 4800},
               {B9600, 9600},     {B19200, 19200},  {B38400, 38400}, {B57600, 57600},
               {B115200, 115200}, {B230400, 230400}};

long baud(speed_t code) {
    for (const auto& s : kSpeeds) {
        if (s.code == code) {
            return s.baud;
        }
    }
    return -1;  // one we have no name for
}

void appendFlags(std::string& s, tcflag_t value, const Flag* begin, const Flag* end) {
    for (const Flag* f = begin; f != end; ++f) {
        if ((value & f->bit) != 0) {
            s += ' ';
            s += f->name;
        }
    }
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (std::uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += s.empty() ? "" : " ";
        s += buf;
    }
    return s;
}

std::string quoted(const std::string& text) {
    std::string s = "\"";
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            s += buf;
        } else {
            s += c;
        }
    }
    return s + "\"";
}

std::string lineJson(const std::optional<termios>& line) {
    if (!line) {
        return "null";
    }
    const termios& t = *line;
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"ispeed\": %ld, \"ospeed\": %ld, \"iflag\": %u, \"oflag\": %u, "
                  "\"cflag\": %u, \"lflag\": %u, \"line\": %u, \"vmin\": %u, \"vtime\": %u, ",
                  baud(cfgetispeed(&t)), baud(cfgetospeed(&t)), t.c_iflag, t.c_oflag, t.c_cflag,
                  t.c_lflag, t.c_line, t.c_cc[VMIN], t.c_cc[VTIME]);
    std::string s = buf;
    s += "\"cc\": [";
    for (std::size_t i = 0; i < NCCS; ++i) {
        s += (i != 0 ? ", " : "") + std::to_string(t.c_cc[i]);
    }
    return s + "], \"text\": " + quoted(describeLine(t)) + "}";
}

std::string rangeJson(const AxisRange (&r)[2]) {
    return "{\"x\": [" + std::to_string(r[X].low) + ", " + std::to_string(r[X].high) +
           "], \"y\": [" + std::to_string(r[Y].low) + ", " + std::to_string(r[Y].high) + "]}";
}

std::string stateJson(const ControllerState& s) {
    char buf[320];
    std::snprintf(buf, sizeof buf,
                  "\"filter\": {\"slen\": %d, \"deviation\": %d, \"states\": %d}, "
                  "\"report\": {\"untouch\": %d, \"repeat\": %d}, "
                  "\"mode\": {\"report_flags\": %d, \"process_flags\": %d}, "
                  "\"self_test_failures\": %d}",
                  s.filter.slen, s.filter.deviation, s.filter.states, s.report.untouch,
                  s.report.repeat, s.mode.reportFlags, s.mode.processFlags, s.selfTestFailures);
    return "{\"scaling\": " + rangeJson(s.scaling) +
           ", \"calibration\": " + rangeJson(s.calibration) + ", " + buf;
}

bool sameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc)) &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

std::string describeLine(const termios& t) {
    std::string s = std::to_string(baud(cfgetospeed(&t))) + " baud";
    if (cfgetispeed(&t) != cfgetospeed(&t)) {
        s += " (in " + std::to_string(baud(cfgetispeed(&t))) + ")";
    }
    s += " cs" + std::to_string(5 + ((t.c_cflag & CSIZE) >> 4));
    appendFlags(s, t.c_cflag, std::begin(kCflags), std::end(kCflags));
    appendFlags(s, t.c_iflag, std::begin(kIflags), std::end(kIflags));
    appendFlags(s, t.c_oflag, std::begin(kOflags), std::end(kOflags));
    appendFlags(s, t.c_lflag, std::begin(kLflags), std::end(kLflags));
    s += " vmin " + std::to_string(t.c_cc[VMIN]) + " vtime " + std::to_string(t.c_cc[VTIME]);
    return s;
}

void writeText(std::FILE* out, const Record& r) {
    std::string command;
    for (const std::string& word : r.command) {
        command += (command.empty() ? "" : " ") + word;
    }
    std::fprintf(out, "tpanel-emu: %s %s after %.0f ms\n",
                 command.empty() ? "serving" : command.c_str(), r.ended.c_str(), r.durationMs);
    if (!r.attached.empty()) {
        std::fprintf(out, "line: %s, attached; the settings at its far end are out of sight\n",
                     r.attached.c_str());
    } else {
        std::fprintf(out, "line before: %s\n",
                     r.lineBefore ? describeLine(*r.lineBefore).c_str() : "unknown");
    }
    std::string lastLine;
    std::size_t event = 0;
    for (const Entry& e : r.packets) {
        for (; event < r.events.size() && r.events[event].first <= e.ms; ++event) {
            std::fprintf(out, "%9.1f ms  %s\n", r.events[event].first,
                         r.events[event].second.c_str());
        }
        if (e.line && describeLine(*e.line) != lastLine) {
            lastLine = describeLine(*e.line);
            std::fprintf(out, "             line: %s\n", lastLine.c_str());
        }
        std::string what = e.fromCommand ? e.effect : e.kind;
        if (e.lost >= 0) {
            what += ", byte " + std::to_string(e.lost) + " lost";
        }
        std::fprintf(out, "%9.1f ms  %s %-29s  %s\n", e.ms, e.fromCommand ? "-->" : "<--",
                     hex(e.bytes).c_str(), what.c_str());
    }
    for (; event < r.events.size(); ++event) {
        std::fprintf(out, "%9.1f ms  %s\n", r.events[event].first, r.events[event].second.c_str());
    }
    if (r.attached.empty()) {
        std::string after = r.lineAfter ? describeLine(*r.lineAfter) : "unknown (line hung up)";
        bool same = r.lineAfter && r.lineBefore && sameLine(*r.lineAfter, *r.lineBefore);
        std::fprintf(out, "line after: %s\n", same ? "exactly as before" : after.c_str());
    }
    std::fprintf(out, "controller state:\n%s", describeState(r.final).c_str());
}

void writeJson(std::FILE* out, const Record& r) {
    std::string s = "{\n  \"emulator\": \"tpanel-emu " TAVRINSET_VERSION "\",\n  \"command\": [";
    for (std::size_t i = 0; i < r.command.size(); ++i) {
        s += (i != 0 ? ", " : "") + quoted(r.command[i]);
    }
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.3f", r.durationMs);
    s += "],\n  \"status\": " + std::to_string(r.status) + ",\n  \"ended\": " + quoted(r.ended) +
         ",\n  \"duration_ms\": " + buf +
         ",\n  \"attached\": " + (r.attached.empty() ? "null" : quoted(r.attached)) +
         ",\n  \"line_before\": " + lineJson(r.lineBefore) +
         ",\n  \"line_after\": " + lineJson(r.lineAfter) +
         ",\n  \"initial_state\": " + stateJson(r.initial) +
         ",\n  \"state\": " + stateJson(r.final) + ",\n  \"packets\": [";
    for (std::size_t i = 0; i < r.packets.size(); ++i) {
        const Entry& e = r.packets[i];
        std::snprintf(buf, sizeof buf, "%.3f, \"first_ms\": %.3f, \"last_ms\": %.3f", e.ms,
                      e.firstMs, e.lastMs);
        s += std::string(i != 0 ? "," : "") + "\n    {\"dir\": \"" +
             (e.fromCommand ? "in" : "out") + "\", \"ms\": " + buf +
             ", \"hex\": " + quoted(hex(e.bytes)) + ", \"kind\": " + quoted(e.kind) +
             ", \"exchange\": " + std::to_string(e.exchange);
        if (e.lost >= 0) {
            s += ", \"lost\": " + std::to_string(e.lost);
        }
        if (e.fromCommand) {
            s += ", \"effect\": " + quoted(e.effect) + ", \"line\": " + lineJson(e.line);
        }
        s += "}";
    }
    s += "\n  ],\n  \"events\": [";
    for (std::size_t i = 0; i < r.events.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%.3f", r.events[i].first);
        s += std::string(i != 0 ? "," : "") + "\n    {\"ms\": " + buf +
             ", \"what\": " + quoted(r.events[i].second) + "}";
    }
    s += "\n  ]\n}\n";
    std::fputs(s.c_str(), out);
}

}  // namespace emu
