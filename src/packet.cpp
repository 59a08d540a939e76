// SPDX-License-Identifier: MIT
#include "packet.h"

void putLe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value & 0xff);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t getLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::string formatPacket(const Packet& pkt) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line;
    line.reserve(41);
    for (std::uint8_t b : pkt) {
        line += kHex[b >> 4];
        line += kHex[b & 0xf];
        line += ' ';
    }
    line += '\t';
    for (std::uint8_t b : pkt) {
        // Letters only, and in the C locale's sense whatever the environment says.
        bool isLetter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        line += isLetter ? static_cast<char>(b) : '.';
        line += ' ';
    }
    line += '\n';
    return line;
}
