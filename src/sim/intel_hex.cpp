#include "sim/intel_hex.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/format.h"

namespace nvx::sim {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool HexByteAt(std::string_view line, size_t pos, uint8_t& out) {
    if (pos + 1 >= line.size()) return false;
    const int hi = HexDigit(line[pos]);
    const int lo = HexDigit(line[pos + 1]);
    if (hi < 0 || lo < 0) return false;
    out = static_cast<uint8_t>(hi * 16 + lo);
    return true;
}

}  // namespace

bool ParseIntelHex(std::string_view text, std::vector<uint8_t>& memory, std::string& error) {
    uint32_t base = 0;
    size_t lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.empty()) continue;
        auto fail = [&](const char* why) {
            error = Format("line %zu: %s", lineNo, why);
            return false;
        };
        if (line[0] != ':') return fail("no record mark ':'");
        if (line.size() < 11 || (line.size() - 1) % 2 != 0) return fail("bad record length");
        std::vector<uint8_t> rec((line.size() - 1) / 2);
        for (size_t i = 0; i < rec.size(); ++i)
            if (!HexByteAt(line, 1 + 2 * i, rec[i])) return fail("not a hexadecimal digit");
        const size_t count = rec[0];
        if (rec.size() != count + 5) return fail("byte count does not match the record");
        uint8_t sum = 0;
        for (uint8_t b : rec) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) return fail("checksum mismatch");
        const uint32_t address = static_cast<uint32_t>(rec[1] << 8 | rec[2]);
        const uint8_t type = rec[3];
        switch (type) {
            case 0x00:
                for (size_t i = 0; i < count; ++i) {
                    const uint64_t a = uint64_t{base} + address + i;
                    if (a >= memory.size()) return fail("address beyond the memory");
                    memory[a] = rec[4 + i];
                }
                break;
            case 0x01: return true;
            case 0x02:
                if (count != 2) return fail("bad extended segment address record");
                base = static_cast<uint32_t>((rec[4] << 8 | rec[5]) << 4);
                break;
            case 0x04:
                if (count != 2) return fail("bad extended linear address record");
                base = static_cast<uint32_t>((rec[4] << 8 | rec[5]) << 16);
                break;
            case 0x03:
            case 0x05: break;
            default: return fail("unknown record type");
        }
    }
    return true;
}

bool ReadIntelHexFile(const std::string& path, std::vector<uint8_t>& memory, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (!ParseIntelHex(ss.str(), memory, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

namespace {
void AppendHexByte(std::string& out, unsigned v) {
    static const char kDigits[] = "0123456789ABCDEF";
    out += kDigits[(v >> 4) & 0x0F];
    out += kDigits[v & 0x0F];
}

void AppendRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data, size_t count) {
    out += ':';
    AppendHexByte(out, static_cast<unsigned>(count));
    AppendHexByte(out, address >> 8);
    AppendHexByte(out, address & 0xFF);
    AppendHexByte(out, type);
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
    for (size_t i = 0; i < count; ++i) {
        AppendHexByte(out, data[i]);
        sum += data[i];
    }
    AppendHexByte(out, (0x100 - (sum & 0xFF)) & 0xFF);
    out += "\r\n";
}
}  // namespace

std::string FormatIntelHex(const std::vector<uint8_t>& memory, bool skipBlankRows) {
    std::string out;
    out.reserve(memory.size() / 16 * 45 + 16);
    uint32_t currentUpper = 0;
    for (size_t row = 0; row < memory.size(); row += 16) {
        const size_t n = memory.size() - row < 16 ? memory.size() - row : 16;
        if (skipBlankRows) {
            bool blank = true;
            for (size_t i = 0; i < n && blank; ++i) blank = memory[row + i] == 0xFF;
            if (blank) continue;
        }
        const uint32_t upper = static_cast<uint32_t>(row >> 16);
        if (upper != currentUpper) {
            const uint8_t ext[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            AppendRecord(out, 0x04, 0, ext, 2);
            currentUpper = upper;
        }
        AppendRecord(out, 0x00, static_cast<uint16_t>(row & 0xFFFF), memory.data() + row, n);
    }
    AppendRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string& error) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot write " + tmp;
            return false;
        }
        out << text;
        out.flush();
        if (!out) {
            error = "cannot write " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        error = "cannot replace " + path;
        return false;
    }
    return true;
}

}  // namespace nvx::sim
