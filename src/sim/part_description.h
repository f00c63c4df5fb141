#pragma once
// Part description files <chip>.xml, one per AVR part of the device list. The format is ours and
// deliberately tiny: one <part> element holding one element per value, no attributes.
//
//   <part>
//     <name>ATmega644P</name>              the part's name
//     <avrdudePart>m644p</avrdudePart>     the part id avrdude knows it by (avrdude -p)
//     <signature>1E 96 0A</signature>      three signature bytes, hexadecimal
//     <flashSize>65536</flashSize>         bytes
//     <flashPageSize>256</flashPageSize>   bytes
//     <eepromSize>2048</eepromSize>        bytes of the chip's own EEPROM
//     <pageEraseUs>4500</pageEraseUs>      optional chip times in microseconds (typical values
//     <pageWriteUs>4500</pageWriteUs>      of the datasheet): a flash page erased or written by
//     <eepromByteUs>3400</eepromByteUs>    the bootloader, an EEPROM byte written; 0 or left out:
//   </part>                                 no time at all
//
// Numbers are decimal or 0x-prefixed hexadecimal. Comments and the XML declaration are allowed.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvx::sim {

struct PartDescription {
    std::string name;
    std::string avrdudePart;
    std::array<uint8_t, 3> signature{};
    uint32_t flashSize = 0;
    uint32_t flashPageSize = 0;
    uint32_t eepromSize = 0;
    uint32_t pageEraseUs = 0;
    uint32_t pageWriteUs = 0;
    uint32_t eepromByteUs = 0;
};

// Parses the text of a description; false with a reason when a value is missing or malformed.
bool ParsePartDescription(std::string_view xml, PartDescription& part, std::string& error);
bool ReadPartDescription(const std::string& path, PartDescription& part, std::string& error);

// Where <chip>.xml is looked for, first match wins: the given directory (when not empty), the
// current directory, the installed copy (../share/norvix-monitor/devices from the program's
// directory) and the project's devices/ folder.
std::vector<std::string> PartSearchDirectories(const std::string& preferred);
// Finds and reads <chip>.xml; false with a reason naming every place tried.
bool LoadPartDescription(const std::string& chip, const std::string& preferredDir,
                         PartDescription& part, std::string& error);

}  // namespace nvx::sim
