// SPDX-License-Identifier: MIT
// Standard output in both formats: what scripts parse and what people read.
#include <gtest/gtest.h>

#include <string>

#include "output.h"

namespace {

const HeldSettings kAll = {FilterParams{8, 20, 3}, ReportParams{3, 40}, ModeFlags{0x05, 0x0e}};

struct SettingsCase {
    const char* what;
    HeldSettings held;
    std::string text;
    std::string json;
};

TEST(Output, SettingsInBothFormats) {
    const SettingsCase cases[] = {
        {"everything read", kAll,
         "filter slen 8 deviation 20 states 3\n"
         "report untouch 3 repeat 40\n"
         "mode touch,untouch,trim,calib,scale (0x05 0x0e)\n",
         "{\"settings\": {\"filter\": {\"slen\": 8, \"deviation\": 20, \"states\": 3}, \"report\": "
         "{\"untouch\": "
         "3, \"repeat\": 40}, \"mode\": {\"report_flags\": 5, \"process_flags\": 14, \"keywords\": "
         "[\"touch\", \"untouch\", \"trim\", \"calib\", \"scale\"]}}}\n"},
        {"no flag set, largest values",
         {FilterParams{255, 255, 255}, ReportParams{0, 255}, ModeFlags{0, 0}},
         "filter slen 255 deviation 255 states 255\n"
         "report untouch 0 repeat 255\n"
         "mode none (0x00 0x00)\n",
         "{\"settings\": {\"filter\": {\"slen\": 255, \"deviation\": 255, \"states\": 255}, "
         "\"report\": "
         "{\"untouch\": 0, \"repeat\": 255}, \"mode\": {\"report_flags\": 0, \"process_flags\": 0, "
         "\"keywords\": []}}}\n"},
        {"only bits without a keyword",
         {std::nullopt, std::nullopt, ModeFlags{0x80, 0x01}},
         "mode none (0x80 0x01)\n",
         "{\"settings\": {\"filter\": null, \"report\": null, \"mode\": {\"report_flags\": 128, "
         "\"process_flags\": "
         "1, \"keywords\": []}}}\n"},
        {"the middle group missing",
         {FilterParams{1, 2, 3}, std::nullopt, ModeFlags{0x01, 0x40}},
         "filter slen 1 deviation 2 states 3\n"
         "mode touch,tracking (0x01 0x40)\n",
         "{\"settings\": {\"filter\": {\"slen\": 1, \"deviation\": 2, \"states\": 3}, \"report\": "
         "null, \"mode\": "
         "{\"report_flags\": 1, \"process_flags\": 64, \"keywords\": [\"touch\", "
         "\"tracking\"]}}}\n"},
        {"nothing read",
         {},
         "",
         "{\"settings\": {\"filter\": null, \"report\": null, \"mode\": null}}\n"},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(formatSettings(c.held, Format::text), c.text);
        EXPECT_EQ(formatSettings(c.held, Format::json), c.json);
    }
}

struct SelfTestCase {
    int mask;
    std::string text;
    std::string json;
};

TEST(Output, SelfTestAndTouchesInBothFormats) {
    const SelfTestCase cases[] = {
        {0, "", "{\"selftest\": {\"passed\": true, \"reply\": true, \"mask\": 0}}\n"},
        {5, "dmask = 5", "{\"selftest\": {\"passed\": false, \"reply\": true, \"mask\": 5}}\n"},
        {0xff, "dmask = ff",
         "{\"selftest\": {\"passed\": false, \"reply\": true, \"mask\": 255}}\n"},
    };
    for (const SelfTestCase& c : cases) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(formatSelfTest(c.mask, Format::text), c.text);
        EXPECT_EQ(formatSelfTest(c.mask, Format::json), c.json);
    }
    EXPECT_EQ(formatTouch(512, 730, Format::text), "512, 730\n");
    EXPECT_EQ(formatTouch(65535, 0, Format::json), "{\"touch\": {\"x\": 65535, \"y\": 0}}\n");
}

struct CalibrationCase {
    calib::Bounds bounds;
    std::string text;
    std::string json;
};

TEST(Output, CalibrationInBothFormats) {
    // Each bound in its own place: a swap of any two shows.
    const CalibrationCase cases[] = {
        {{195, 3885, 175, 3905},
         "--xlow 195 --xhigh 3885 --ylow 175 --yhigh 3905\n",
         "{\"calibration\": {\"xlow\": 195, \"xhigh\": 3885, \"ylow\": 175, \"yhigh\": 3905}}\n"},
        // An inverted axis is printed as measured, the extremes of a touch report, and a
        // bound rounded below zero.
        {{-3, 65535, 0, -32768},
         "--xlow -3 --xhigh 65535 --ylow 0 --yhigh -32768\n",
         "{\"calibration\": {\"xlow\": -3, \"xhigh\": 65535, \"ylow\": 0, \"yhigh\": "
         "-32768}}\n"},
    };
    for (const CalibrationCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(formatCalibration(c.bounds, Format::text), c.text);
        EXPECT_EQ(formatCalibration(c.bounds, Format::json), c.json);
    }
}

}  // namespace
