#include "progtool/program_file.h"

#include "platform/atomic_file.h"
#include "platform/format.h"

namespace nvx {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

uint8_t ByteAt(std::string_view line, std::size_t index) {
    const std::size_t pos = 1 + 2 * index;
    return static_cast<uint8_t>(HexDigit(line[pos]) * 16 + HexDigit(line[pos + 1]));
}

constexpr char kUpperHex[] = "0123456789ABCDEF";

void AppendByte(std::string& out, uint8_t v) {
    out += kUpperHex[v >> 4];
    out += kUpperHex[v & 0x0F];
}

uint8_t RotateLeft(uint8_t x, unsigned k) {
    return static_cast<uint8_t>((x << k) | (x >> (8 - k)));
}
uint8_t RotateRight(uint8_t x, unsigned k) {
    return static_cast<uint8_t>((x >> k) | (x << (8 - k)));
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
    if (line.size() > kMaxRecordLineLength) return RecordFault::TooLong;
    for (std::size_t i = 1; i < line.size(); ++i)
        if (HexDigit(line[i]) < 0) return RecordFault::NotHex;
    // Start character, then count, two address bytes, type, data, checksum.
    if (line.size() < 1 + 2 * 5 || (line.size() - 1) % 2 != 0) return RecordFault::LengthMismatch;
    const std::size_t bytes = (line.size() - 1) / 2;
    if (bytes != ByteAt(line, 0) + 5u) return RecordFault::LengthMismatch;
    unsigned sum = 0;
    for (std::size_t i = 0; i < bytes; ++i) sum += ByteAt(line, i);
    return (sum & 0xFF) == 0 ? RecordFault::None : RecordFault::BadChecksum;
}

HexRecordResult HexRecordTransform(std::string_view inputLine, std::string& outputLine,
                                   uint32_t lineIndex, TransformMode mode) {
    HexRecordResult result;
    outputLine.clear();
    result.fault = CheckHexRecord(inputLine);
    if (result.fault != RecordFault::None) return result;

    const unsigned count = ByteAt(inputLine, 0);
    // 7 for line 0, 6 for line 1, ... 1 for line 6, and 7 again for line 7.
    const unsigned k = 7 - lineIndex % 7;
    outputLine.reserve(1 + 2 * (count + 5));
    outputLine += ':';
    unsigned sum = 0;
    for (unsigned i = 0; i < count + 4; ++i) {
        uint8_t v = ByteAt(inputLine, i);
        if (i == 3 && v == 1) result.endOfFile = true;
        if (i >= 4) {
            // Position in the line just behind this data byte's digits.
            const unsigned p = 11 + 2 * (i - 4);
            if (mode == kTransformScramble)
                v = static_cast<uint8_t>(RotateLeft(v, k) + p);
            else if (mode == kTransformUnscramble)
                v = RotateRight(static_cast<uint8_t>(v - p), k);
        }
        sum += v;
        AppendByte(outputLine, v);
    }
    AppendByte(outputLine, static_cast<uint8_t>(256 - (sum & 0xFF)));
    return result;
}

ConversionResult ConvertProgramText(std::string_view input, TransformMode mode, std::string& output,
                                    std::string_view name) {
    ConversionResult result;
    std::string converted;
    converted.reserve(input.size() + input.size() / 16);
    std::string record;
    uint32_t lineNumber = 0;
    uint32_t lineIndex = 0;
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view{} : input.substr(end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;

        const HexRecordResult r = HexRecordTransform(line, record, lineIndex, mode);
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
        ++lineIndex;
        converted += record;
        converted += "\r\n";
        ++result.records;
        if (r.endOfFile) break;
    }
    output = std::move(converted);
    return result;
}

ConversionResult ConvertProgramFile(const std::string& inputPath, const std::string& outputPath,
                                    TransformMode mode) {
    ConversionResult result;
    std::string input;
    std::string error;
    if (!ReadWholeFile(inputPath, input, &error)) {
        result.status = ConversionStatus::InputUnreadable;
        result.message = error;
        return result;
    }
    std::string output;
    result = ConvertProgramText(input, mode, output, inputPath);
    if (!result.ok()) return result;
    if (!WriteFileAtomically(outputPath, output, &error)) {
        result.status = ConversionStatus::OutputUnwritable;
        result.records = 0;
        result.message = error;
    }
    return result;
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
