// SPDX-License-Identifier: MIT
// The pure parts of a packet: 16-bit fields and the trace line.
#include <gtest/gtest.h>

#include "packet.h"

namespace {

struct Le16Case {
    std::uint16_t value;
    std::uint8_t low;
    std::uint8_t high;
};

TEST(Le16, StoresLowByteFirstAndReadsBackUnsigned) {
    const Le16Case cases[] = {
        {0, 0x00, 0x00},
        {800, 0x20, 0x03},
        {0x1234, 0x34, 0x12},
        {0x00ff, 0xff, 0x00},
        {0xff00, 0x00, 0xff},
        {static_cast<std::uint16_t>(-1), 0xff, 0xff},
        {static_cast<std::uint16_t>(-32768), 0x00, 0x80},
    };
    for (const Le16Case& c : cases) {
        SCOPED_TRACE(c.value);
        // Neighbours must survive: the fields sit side by side in a packet.
        std::uint8_t bytes[4] = {0xaa, 0xbb, 0xcc, 0xdd};
        putLe16(&bytes[1], c.value);
        EXPECT_EQ(bytes[0], 0xaa);
        EXPECT_EQ(bytes[1], c.low);
        EXPECT_EQ(bytes[2], c.high);
        EXPECT_EQ(bytes[3], 0xdd);
        EXPECT_EQ(getLe16(&bytes[1]), c.value);
    }
    const std::uint8_t top[] = {0xff, 0xff};
    EXPECT_EQ(getLe16(top), 65535u);  // never sign-extended
}

struct TraceCase {
    Packet pkt;
    const char* line;
};

TEST(FormatPacket, HexThenLettersWithDotsForEverythingElse) {
    const TraceCase cases[] = {
        {{0x55, 'S', 'X', 0x00, 0x00, 0x20, 0x03, 0x00, 0x00, 0x00},
         "55 53 58 00 00 20 03 00 00 00 \tU S X . . . . . . . \n"},
        {{0x55, 0x44, 0x0f}, "55 44 0f 00 00 00 00 00 00 00 \tU D . . . . . . . . \n"},
        // Digits, punctuation, blank, the bytes beside the letter ranges, high bytes.
        {{'0', '9', ' ', '@', '[', '`', '{', 'a', 'z', 0xff},
         "30 39 20 40 5b 60 7b 61 7a ff \t. . . . . . . a z . \n"},
        {{'A', 'Z', 0xc1, 0xe9, '\n', '\t', 0x7f, 0x80, 'm', 'T'},
         "41 5a c1 e9 0a 09 7f 80 6d 54 \tA Z . . . . . . m T \n"},
    };
    for (const TraceCase& c : cases) {
        EXPECT_EQ(formatPacket(c.pkt), c.line);
    }
}

}  // namespace
