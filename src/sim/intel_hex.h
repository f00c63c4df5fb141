#pragma once
// Intel HEX for the device's memories: the EEPROM image in and out, the flash image out.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvx::sim {

// Reads records into memory (its size bounds the addresses). Data records (00), end of file (01),
// extended segment (02) and linear (04) addresses are understood; start addresses (03, 05) are
// skipped. Every record's checksum is verified. Lines may end in LF or CR LF; empty lines are
// skipped. Returns false with a reason ("line 3: ...") at the first fault; memory may then hold
// part of the data.
bool ParseIntelHex(std::string_view text, std::vector<uint8_t>& memory, std::string& error);
bool ReadIntelHexFile(const std::string& path, std::vector<uint8_t>& memory, std::string& error);

// 16 data bytes per record, CR LF line ends, extended linear address records above 64 KB, an
// end-of-file record. With skipBlankRows, rows of 16 bytes that are all 0xFF are left out.
std::string FormatIntelHex(const std::vector<uint8_t>& memory, bool skipBlankRows);
// Written to a temporary file beside path and renamed over it, so a reader never sees half.
bool WriteTextFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace nvx::sim
