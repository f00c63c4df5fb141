#include "eeprom/eeprom_image.h"

#include "platform/atomic_file.h"

namespace nvx {
namespace {

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
        if (target < EepromImage::kSize) image.bytes[target] = data[i];
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

bool LoadEepromImage(const std::string& path, EepromImage& image, std::string* error) {
    std::string text;
    if (!ReadWholeFile(path, text, error)) return false;
    image = ParseEepromImage(text);
    return true;
}

}  // namespace nvx
