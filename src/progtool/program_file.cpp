#include "progtool/program_file.h"

#include <algorithm>
#include <array>

#include "platform/atomic_file.h"
#include "platform/format.h"
#include "platform/work_directory.h"

namespace nvx {
namespace {

// Digit values, -1 for anything that is not a hexadecimal digit.
constexpr std::array<int8_t, 256> kHexValue = [] {
    std::array<int8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    return t;
}();

constexpr char kUpperHex[] = "0123456789ABCDEF";

uint8_t RotateLeft(uint8_t x, unsigned k) {
    return static_cast<uint8_t>((x << k) | (x >> (8 - k)));
}
uint8_t RotateRight(uint8_t x, unsigned k) {
    return static_cast<uint8_t>((x >> k) | (x << (8 - k)));
}

// The largest record a line within the limit can hold: count, address, type, data, checksum.
constexpr std::size_t kMaxRecordBytes = (kMaxRecordLineLength - 1) / 2;
// ':' and two digits per byte.
constexpr std::size_t kMaxOutputLength = 1 + 2 * kMaxRecordBytes;

// Checks a line and decodes its bytes into bytes[]; returns the number of bytes in n.
RecordFault Decode(std::string_view line, uint8_t* bytes, std::size_t& n) {
    if (line.size() > kMaxRecordLineLength) return RecordFault::TooLong;
    const auto* digits = reinterpret_cast<const unsigned char*>(line.data());
    for (std::size_t i = 1; i < line.size(); ++i)
        if (kHexValue[digits[i]] < 0) return RecordFault::NotHex;
    // Start character, then count, two address bytes, type, data, checksum.
    if (line.size() < 1 + 2 * 5 || (line.size() - 1) % 2 != 0) return RecordFault::LengthMismatch;
    n = (line.size() - 1) / 2;
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(kHexValue[digits[1 + 2 * i]] * 16 + kHexValue[digits[2 + 2 * i]]);
        sum += bytes[i];
    }
    if (n != bytes[0] + 5u) return RecordFault::LengthMismatch;
    return (sum & 0xFF) == 0 ? RecordFault::None : RecordFault::BadChecksum;
}

// Writes the transformed record into out (room for kMaxOutputLength characters).
HexRecordResult Transform(std::string_view line, uint32_t lineIndex, TransformMode mode, char* out,
                          std::size_t& length) {
    HexRecordResult result;
    uint8_t bytes[kMaxRecordBytes];
    std::size_t n = 0;
    length = 0;
    result.fault = Decode(line, bytes, n);
    if (result.fault != RecordFault::None) return result;
    result.type = bytes[3];
    result.endOfFile = bytes[3] == 1;

    // 7 for line 0, 6 for line 1, ... 1 for line 6, and 7 again for line 7.
    const unsigned k = 7 - lineIndex % 7;
    const std::size_t count = n - 5;
    unsigned sum = 0;
    char* o = out;
    *o++ = ':';
    for (std::size_t i = 0; i < count + 4; ++i) {
        uint8_t v = bytes[i];
        if (i >= 4) {
            // Position in the line just behind this data byte's digits.
            const unsigned p = static_cast<unsigned>(11 + 2 * (i - 4));
            if (mode == kTransformScramble)
                v = static_cast<uint8_t>(RotateLeft(v, k) + p);
            else if (mode == kTransformUnscramble)
                v = RotateRight(static_cast<uint8_t>(v - p), k);
        }
        sum += v;
        *o++ = kUpperHex[v >> 4];
        *o++ = kUpperHex[v & 0x0F];
    }
    const uint8_t checksum = static_cast<uint8_t>(256 - (sum & 0xFF));
    *o++ = kUpperHex[checksum >> 4];
    *o++ = kUpperHex[checksum & 0x0F];
    length = static_cast<std::size_t>(o - out);
    return result;
}

bool ExtensionIs(std::string_view path, std::string_view ext) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view after = path.substr(dot + 1, ext.size());
    if (after.size() != ext.size()) return false;
    for (std::size_t i = 0; i < ext.size(); ++i) {
        char c = after[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != ext[i]) return false;
    }
    return true;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

const char* RecordFaultText(RecordFault fault) {
    switch (fault) {
        case RecordFault::None: return "record ok";
        case RecordFault::TooLong: return "line too long";
        case RecordFault::NotHex: return "character that is not a hexadecimal digit";
        case RecordFault::LengthMismatch: return "byte count does not match the record length";
        case RecordFault::BadChecksum: return "checksum wrong";
    }
    return "record damaged";
}

RecordFault CheckHexRecord(std::string_view line) {
    uint8_t bytes[kMaxRecordBytes];
    std::size_t n = 0;
    return Decode(line, bytes, n);
}

HexRecordResult HexRecordTransform(std::string_view inputLine, std::string& outputLine,
                                   uint32_t lineIndex, TransformMode mode) {
    char out[kMaxOutputLength];
    std::size_t length = 0;
    const HexRecordResult result = Transform(inputLine, lineIndex, mode, out, length);
    outputLine.assign(out, length);
    return result;
}

ConversionResult ConvertProgramText(std::string_view input, TransformMode mode, std::string& output,
                                    std::string_view name) {
    ConversionResult result;
    std::string converted;
    converted.reserve(input.size() + input.size() / 16);
    char record[kMaxOutputLength + 2];
    std::size_t length = 0;
    uint32_t lineNumber = 0;
    uint32_t lineIndex = 0;
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view{} : input.substr(end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;

        const HexRecordResult r = Transform(line, lineIndex, mode, record, length);
        if (r.fault != RecordFault::None) {
            output.clear();
            result.status = ConversionStatus::Damaged;
            result.line = lineNumber;
            result.fault = r.fault;
            result.records = 0;
            result.message = Format("%.*s: line %u: %s", static_cast<int>(name.size()), name.data(),
                                    lineNumber, RecordFaultText(r.fault));
            return result;
        }
        if (r.type > kLastKnownRecordType && result.unknownTypeLine == 0) {
            result.unknownTypeLine = lineNumber;
            result.unknownType = r.type;
        }
        ++lineIndex;
        record[length] = '\r';
        record[length + 1] = '\n';
        converted.append(record, length + 2);
        ++result.records;
        if (r.endOfFile) {
            result.endRecordSeen = true;
            break;
        }
    }
    output = std::move(converted);
    return result;
}

ConversionResult ReadProgramFile(const std::string& inputPath, TransformMode mode,
                                 std::string& output) {
    ConversionResult result;
    std::string input;
    std::string error;
    if (!ReadWholeFile(inputPath, input, &error, kMaxProgramFileBytes)) {
        result.status = ConversionStatus::InputUnreadable;
        result.message = error;
        return result;
    }
    return ConvertProgramText(input, mode, output, inputPath);
}

ConversionResult ConvertProgramFile(const std::string& inputPath, const std::string& outputPath,
                                    TransformMode mode) {
    std::string output;
    if (SameFilePath(inputPath, outputPath)) {
        // Replacing the source with its conversion would lose the only copy of one of them.
        ConversionResult same;
        same.status = ConversionStatus::OutputUnwritable;
        same.message = outputPath + ": is the input file itself";
        return same;
    }
    ConversionResult result = ReadProgramFile(inputPath, mode, output);
    if (!result.ok()) return result;
    std::string error;
    if (!WriteFileAtomically(outputPath, output, &error)) {
        result.status = ConversionStatus::OutputUnwritable;
        result.records = 0;
        result.message = error;
    }
    return result;
}

ImageSpan ProgramImageSpan(std::string_view plainHex) {
    ImageSpan span;
    uint32_t base = 0;
    while (!plainHex.empty()) {
        const std::size_t end = plainHex.find('\n');
        std::string_view line = plainHex.substr(0, end);
        plainHex = end == std::string_view::npos ? std::string_view{} : plainHex.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        uint8_t bytes[kMaxRecordBytes];
        std::size_t n = 0;
        if (line.empty() || Decode(line, bytes, n) != RecordFault::None) continue;
        const uint32_t count = bytes[0];
        const uint32_t address = static_cast<uint32_t>(bytes[1] << 8 | bytes[2]);
        const uint32_t value = count >= 2 ? static_cast<uint32_t>(bytes[4] << 8 | bytes[5]) : 0;
        switch (bytes[3]) {
        case 0x00:
            if (count == 0) break;
            span.hasData = true;
            span.end = std::max<uint64_t>(span.end, uint64_t{base} + address + count);
            break;
        case 0x01: return span;
        case 0x02: base = value << 4; break;
        case 0x04: base = value << 16; break;
        default: break;
        }
    }
    return span;
}

bool HasHexExtension(std::string_view path) { return ExtensionIs(path, "hex"); }

bool HasNpfExtension(std::string_view path) { return ExtensionIs(path, "npf"); }

TransformMode ProgramFileMode(std::string_view path) {
    return HasNpfExtension(path) ? kTransformUnscramble : kTransformCopy;
}

std::string NpfOutputPath(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return std::string(path) + ".npf";
    return std::string(path.substr(0, dot + 1)) + "npf";
}

bool FileNameMatchesDeviceKey(std::string_view path, std::string_view deviceKey) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() < deviceKey.size()) return false;
    for (std::size_t i = 0; i < deviceKey.size(); ++i)
        if (Lower(name[i]) != Lower(deviceKey[i])) return false;
    return true;
}

}  // namespace nvx
