#pragma once
// The adapter and end-to-end update tests: child programs and scratch directories from the shared
// support, and Intel HEX images made and read back.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx::test {

// ---- Intel HEX

inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char buf[16];
    std::string line = ":";
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(data.size()),
                  static_cast<unsigned>(address), static_cast<unsigned>(type));
    line += buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf + "\r\n";
}

// An image of bytes from address 0, 16 bytes a record, extended linear address records past
// 64 KB, CR LF line ends.
inline std::string HexImage(const std::vector<uint8_t>& bytes) {
    std::string text;
    uint32_t segment = 0;
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        const uint32_t high = static_cast<uint32_t>(at >> 16);
        if (high != segment) {
            text += HexRecord(4, 0, {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high)});
            segment = high;
        }
        const std::size_t n = std::min<std::size_t>(16, bytes.size() - at);
        text += HexRecord(0, static_cast<uint16_t>(at & 0xFFFF),
                          std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                               bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
    }
    return text + ":00000001FF\r\n";
}

inline std::vector<uint8_t> RandomBytes(std::size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen() & 0xFF);
    return bytes;
}

// The data bytes of an Intel HEX text by address (types 00, 02 and 04); false on a malformed
// record.
inline bool ParseHex(const std::string& text, std::map<uint32_t, uint8_t>& bytes) {
    uint32_t base = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) return false;
        std::vector<uint8_t> b;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2)
            b.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        unsigned sum = 0;
        for (uint8_t v : b) sum += v;
        if ((sum & 0xFF) != 0 || b.size() != b[0] + 5u) return false;
        const uint32_t address = static_cast<uint32_t>(b[1] << 8 | b[2]);
        switch (b[3]) {
        case 0:
            for (uint8_t i = 0; i < b[0]; ++i) bytes[base + address + i] = b[4 + i];
            break;
        case 1: return true;
        case 2: base = static_cast<uint32_t>(b[4] << 8 | b[5]) << 4; break;
        case 4: base = static_cast<uint32_t>(b[4] << 8 | b[5]) << 16; break;
        default: break;
        }
    }
    return true;
}

// A program's output as lines, CR LF or LF ended.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

}  // namespace nvx::test
