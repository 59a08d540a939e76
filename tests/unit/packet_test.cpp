// SPDX-License-Identifier: MIT
// The trace line of a packet. (Its 16-bit fields show in every command the operations send.)
#include <gtest/gtest.h>

#include "packet.h"

namespace {

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
