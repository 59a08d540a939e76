// SPDX-License-Identifier: MIT
#include "output.h"

#include <cstdarg>
#include <cstdio>

#include "options.h"

std::string format(const char* fmt, ...) {
    char buf[160];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

namespace {

std::string keywordList(const ModeFlags& m, const char* separator, const char* quote) {
    std::string list;
    for (const char* word : modeKeywordsOf(m)) {
        if (!list.empty()) {
            list += separator;
        }
        list += quote;
        list += word;
        list += quote;
    }
    return list;
}

std::string settingsText(const HeldSettings& held) {
    std::string text;
    if (held.filter) {
        text += format("filter slen %u deviation %u states %u\n", held.filter->slen,
                       held.filter->deviation, held.filter->states);
    }
    if (held.report) {
        text += format("report untouch %u repeat %u\n", held.report->untouch, held.report->repeat);
    }
    if (held.mode) {
        std::string words = keywordList(*held.mode, ",", "");
        // Never "default": that is a way to ask, not something a controller holds.
        text += "mode " + (words.empty() ? std::string("none") : words) +
                format(" (0x%02x 0x%02x)\n", held.mode->reportFlags, held.mode->processFlags);
    }
    return text;
}

std::string settingsJson(const HeldSettings& held) {
    std::string json = "{\"filter\": ";
    json += held.filter ? format("{\"slen\": %u, \"deviation\": %u, \"states\": %u}",
                                 held.filter->slen, held.filter->deviation, held.filter->states)
                        : "null";
    json += ", \"report\": ";
    json += held.report ? format("{\"untouch\": %u, \"repeat\": %u}", held.report->untouch,
                                 held.report->repeat)
                        : "null";
    json += ", \"mode\": ";
    json += held.mode ? format("{\"reportFlags\": %u, \"processFlags\": %u, \"keywords\": [",
                               held.mode->reportFlags, held.mode->processFlags) +
                            keywordList(*held.mode, ", ", "\"") + "]}"
                      : "null";
    return json + "}\n";
}

bool write(const std::string& text, bool flush) {
    if (std::fputs(text.c_str(), stdout) < 0) {
        return false;
    }
    return !flush || std::fflush(stdout) == 0;
}

}  // namespace

Format outputFormat() {
    return options.json ? Format::json : Format::text;
}

std::string formatSelfTest(int mask, Format f) {
    if (f == Format::json) {
        return format("{\"selftest\": {\"passed\": %s, \"mask\": %d}}\n",
                      mask == 0 ? "true" : "false", mask);
    }
    return mask == 0 ? std::string() : format("dmask = %x", static_cast<unsigned>(mask));
}

std::string formatTouch(unsigned x, unsigned y, Format f) {
    return f == Format::json ? format("{\"x\": %u, \"y\": %u}\n", x, y) : format("%u, %u\n", x, y);
}

std::string formatSettings(const HeldSettings& held, Format f) {
    return f == Format::json ? settingsJson(held) : settingsText(held);
}

std::string formatCalibration(const calib::Bounds& b, Format f) {
    if (f == Format::json) {
        return format(
            "{\"calibration\": {\"xlow\": %d, \"xhigh\": %d, \"ylow\": %d, \"yhigh\": %d}}\n",
            b.xlow, b.xhigh, b.ylow, b.yhigh);
    }
    return calib::calibrationOptions(b) + "\n";
}

void printSelfTest(int mask) {
    const Format f = outputFormat();
    // The text verdict has never been a line of its own; a JSON line goes out whole.
    write(formatSelfTest(mask, f), f == Format::json);
}

bool printTouch(unsigned x, unsigned y) {
    return write(formatTouch(x, y, outputFormat()), true);
}

bool printSettings(const HeldSettings& held) {
    return write(formatSettings(held, outputFormat()), true);
}

bool printCalibration(const calib::Bounds& b) {
    return write(formatCalibration(b, outputFormat()), true);
}
