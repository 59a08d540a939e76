// SPDX-License-Identifier: MIT
#include "output.h"

#include <errno.h>

#include <cstdarg>
#include <cstdio>

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
    std::string json = "{\"settings\": {\"filter\": ";
    json += held.filter ? format("{\"slen\": %u, \"deviation\": %u, \"states\": %u}",
                                 held.filter->slen, held.filter->deviation, held.filter->states)
                        : "null";
    json += ", \"report\": ";
    json += held.report ? format("{\"untouch\": %u, \"repeat\": %u}", held.report->untouch,
                                 held.report->repeat)
                        : "null";
    json += ", \"mode\": ";
    json += held.mode ? format("{\"report_flags\": %u, \"process_flags\": %u, \"keywords\": [",
                               held.mode->reportFlags, held.mode->processFlags) +
                            keywordList(*held.mode, ", ", "\"") + "]}"
                      : "null";
    return json + "}}\n";
}

// The first write error; what came after it is not written.
int writeError = 0;

bool write(const std::string& text, bool flush) {
    if (writeError != 0) {
        return false;
    }
    errno = 0;
    if (std::fputs(text.c_str(), stdout) < 0 || (flush && std::fflush(stdout) != 0)) {
        writeError = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

}  // namespace

namespace {
Format gFormat = Format::text;
}  // namespace

void setOutputFormat(Format f) {
    gFormat = f;
}

Format outputFormat() {
    return gFormat;
}

std::string formatSelfTest(std::optional<int> mask, Format f) {
    if (f == Format::json) {
        if (!mask) {
            return "{\"selftest\": {\"passed\": false, \"reply\": false}}\n";
        }
        return format("{\"selftest\": {\"passed\": %s, \"reply\": true, \"mask\": %d}}\n",
                      *mask == 0 ? "true" : "false", *mask);
    }
    return mask.value_or(0) == 0 ? std::string()
                                 : format("dmask = %x", static_cast<unsigned>(*mask));
}

std::string formatTouch(unsigned x, unsigned y, Format f) {
    return f == Format::json ? format("{\"touch\": {\"x\": %u, \"y\": %u}}\n", x, y)
                             : format("%u, %u\n", x, y);
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

std::string formatDifference(const Difference& d, Format f) {
    if (f == Format::text) {
        return {};
    }
    const std::string read = d.read ? std::to_string(*d.read) : "null";
    return format(
        "{\"difference\": {\"group\": \"%s\", \"field\": \"%s\", \"wanted\": %u, "
        "\"read\": %s}}\n",
        d.group, d.field, d.wanted, read.c_str());
}

std::string formatExport(const HeldSettings& held, Format f) {
    const std::string line =
        format("--slen %u --deviation %u --states %u --untouch %u --repeat %u --mode ",
               held.filter->slen, held.filter->deviation, held.filter->states, held.report->untouch,
               held.report->repeat) +
        modeKeywordList(*held.mode);
    // Options and keywords hold nothing JSON would have to escape.
    return f == Format::json ? "{\"export\": {\"options\": \"" + line + "\"}}\n" : line + "\n";
}

void printSelfTest(std::optional<int> mask) {
    const Format f = outputFormat();
    // The text verdict has never been a line of its own; a JSON line goes out whole.
    write(formatSelfTest(mask, f), f == Format::json);
}

bool printTouch(unsigned x, unsigned y) {
    return write(formatTouch(x, y, outputFormat()), true);
}

void printSettings(const HeldSettings& held) {
    write(formatSettings(held, outputFormat()), true);
}

void printCalibration(const calib::Bounds& b) {
    write(formatCalibration(b, outputFormat()), true);
}

void printDifference(const Difference& d) {
    const std::string record = formatDifference(d, outputFormat());
    if (!record.empty()) {
        write(record, true);
    }
}

void printExport(const HeldSettings& held) {
    write(formatExport(held, outputFormat()), true);
}

int finishOutput() {
    // Text the usage, the version or the self-test left in the buffer goes out now.
    errno = 0;
    if (std::fflush(stdout) != 0 && writeError == 0) {
        writeError = errno != 0 ? errno : EIO;
    }
    if (std::ferror(stdout) != 0 && writeError == 0) {
        writeError = EIO;
    }
    return writeError;
}

int outputError() {
    return writeError;
}
