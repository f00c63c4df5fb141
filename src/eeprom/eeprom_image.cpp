#include "eeprom/eeprom_image.h"

#include "platform/atomic_file.h"
#include "platform/format.h"

namespace nvx {
namespace {

// Bytes 0 to 27 are the header's fields; the sections come after them.
constexpr uint32_t kHeaderLength = 28;
// Entries and pointer in front of the error memory's ring.
constexpr uint32_t kErrorHeadLength = 4;
// Error code, module, day, year and month.
constexpr uint32_t kErrorEntryLength = 4;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value of `digits` hexadecimal digits at pos, or -1 when the line does not hold them.
long HexField(std::string_view line, std::size_t pos, std::size_t digits) {
    if (pos + digits > line.size()) return -1;
    long value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int d = HexDigit(line[pos + i]);
        if (d < 0) return -1;
        value = value * 16 + d;
    }
    return value;
}

void ApplyLine(std::string_view line, EepromImage& image) {
    if (line.size() > EepromImage::kMaxLineLength) return;
    // Start character (any), byte count, address, record type.
    const long count = HexField(line, 1, 2);
    const long address = HexField(line, 3, 4);
    const long type = HexField(line, 7, 2);
    if (line.empty() || count < 0 || address < 0 || type < 0) return;
    if (type != 0 || count == 0) return;

    // Check every data digit first, so a broken record changes nothing at all.
    uint8_t data[255];
    for (long i = 0; i < count; ++i) {
        const long v = HexField(line, 9 + 2 * static_cast<std::size_t>(i), 2);
        if (v < 0) return;
        data[i] = static_cast<uint8_t>(v);
    }
    for (long i = 0; i < count; ++i) {
        const unsigned long target = static_cast<unsigned long>(address + i);
        if (target < EepromImage::kSize)
            image.bytes[target] = data[i];
        else if (image.beyondImageAddress == 0)
            image.beyondImageAddress = static_cast<uint32_t>(target);
    }
    image.lastDataAddress = static_cast<uint32_t>(address + count - 1);
}

}  // namespace

EepromImage ParseEepromImage(std::string_view text) {
    EepromImage image;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ApplyLine(line, image);
    }
    return image;
}

std::string EepromLayoutProblem(const EepromImage& image) {
    if (image.lastDataAddress == 0) return "no data records";
    if (image.beyondImageAddress != 0)
        return Format("address 0x%04x lies beyond the %u-byte EEPROM", image.beyondImageAddress,
                      EepromImage::kSize);
    const uint32_t exworks = image.exworksStart(), text = image.textStart();
    const uint32_t parameter = image.parameterStart(), error = image.errorStart();
    if (exworks < kHeaderLength)
        return Format("the Exworks section starts at 0x%04x, inside the header", exworks);
    if (exworks > text || text > parameter || parameter > error)
        return Format("the section starts Exworks 0x%04x, Text 0x%04x, Parameter 0x%04x, "
                      "Error 0x%04x are out of order",
                      exworks, text, parameter, error);
    if (error + kErrorHeadLength > image.lastDataAddress + 1)
        return Format("the error memory at 0x%04x lies beyond the last byte read, 0x%04x", error,
                      image.lastDataAddress);
    const uint32_t entries = image.bytes[error], pointer = image.bytes[error + 1];
    if (error + kErrorHeadLength + kErrorEntryLength * entries > image.lastDataAddress + 1)
        return Format("the error memory's %u entries at 0x%04x do not fit in the data read, "
                      "which ends at 0x%04x",
                      entries, error, image.lastDataAddress);
    if (pointer > entries)
        return Format("the error memory's pointer %u lies beyond its %u entries", pointer, entries);
    return {};
}

bool LoadEepromImage(const std::string& path, EepromImage& image, std::string* error) {
    std::string text;
    if (!ReadWholeFile(path, text, error, EepromImage::kMaxFileBytes)) return false;
    image = ParseEepromImage(text);
    return true;
}

}  // namespace nvx
