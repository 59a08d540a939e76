// SPDX-License-Identifier: MIT
// Standard output in both formats, where the end-to-end groups' controller never goes: mode
// bits no keyword names, a group missing between two read, a mask beyond one hex digit.
#include <gtest/gtest.h>

#include <string>

#include "output.h"

namespace {

struct SettingsCase {
    const char* what;
    HeldSettings held;
    std::string text;
    std::string json;
};

TEST(Output, SettingsInBothFormats) {
    const SettingsCase cases[] = {
        {"nothing read",
         {},
         "",
         "{\"settings\": {\"filter\": null, \"report\": null, \"mode\": null}}\n"},
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
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(formatSettings(c.held, Format::text), c.text);
        EXPECT_EQ(formatSettings(c.held, Format::json), c.json);
    }
}

TEST(Output, SelfTestMaskInBothFormats) {
    EXPECT_EQ(formatSelfTest(0xff, Format::text), "dmask = ff");
    EXPECT_EQ(formatSelfTest(0xff, Format::json),
              "{\"selftest\": {\"passed\": false, \"reply\": true, \"mask\": 255}}\n");
}

}  // namespace
