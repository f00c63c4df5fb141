#pragma once
// A device's 4 KB EEPROM as read from an Intel HEX image file.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvx {

struct EepromImage {
    static constexpr uint32_t kSize = 4096;
    // The longest line taken as a record, without its line end (a 255-character read buffer).
    static constexpr std::size_t kMaxLineLength = 253;
    // The largest image file taken: a record of the longest line for every byte. Anything
    // larger is no image of this EEPROM (and an endless source must not fill the memory).
    static constexpr std::size_t kMaxFileBytes = kSize * (kMaxLineLength + 2);

    // Bytes that no record covers read as an erased EEPROM does.
    EepromImage() { bytes.fill(0xFF); }

    std::array<uint8_t, kSize> bytes;
    // Address of the last byte of the last data record read; 0 when the file had none.
    uint32_t lastDataAddress = 0;
    // Address of the first data byte that lay beyond the image; 0 when none did.
    uint32_t beyondImageAddress = 0;

    // Section starts, kept in the header in units of 16 bytes.
    uint32_t errorStart() const { return 16u * bytes[24]; }
    uint32_t exworksStart() const { return 16u * bytes[25]; }
    uint32_t textStart() const { return 16u * bytes[26]; }
    uint32_t parameterStart() const { return 16u * bytes[27]; }
};

// Reads the data records (type 00) of an image file's text. Lines that are not records, lines
// longer than kMaxLineLength and data records whose data digits are missing or not hexadecimal
// are skipped; bytes addressed beyond the image are dropped. Never fails.
EepromImage ParseEepromImage(std::string_view text);

// Why the image cannot be a device's EEPROM as the report lays it out, or empty when it can: it
// must hold data, all of it inside the EEPROM, and the header's section starts must lie behind
// the header in the order Exworks, Text, Parameter, Error, with the error memory's head and its
// entries inside the data read and its pointer not beyond its entries. A report of such an
// image would show invented entries and dates as if they were the device's.
std::string EepromLayoutProblem(const EepromImage& image);

// Reads the file at path. Returns false (with a one-line reason in error) only when the file
// cannot be read or is larger than kMaxFileBytes; the image is then left as it was.
bool LoadEepromImage(const std::string& path, EepromImage& image, std::string* error = nullptr);

}  // namespace nvx
