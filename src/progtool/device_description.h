#pragma once
// What the tool itself reads from a part description <chip>.xml (the file belongs to the
// programmer): one value per element, no attributes, comments allowed. Only the values that
// decide whether a firmware file may go to the device are read here.

#include <cstdint>
#include <string>
#include <string_view>

namespace nvx {

// The text of the one <element> of a description, trimmed. False with a reason when it is
// missing, unclosed or given twice; comments do not count.
bool ReadDescriptionElement(std::string_view xml, std::string_view element, std::string& value,
                            std::string& error);

struct FlashLayout {
    std::string partName;       // <name>
    uint32_t flashSize = 0;     // <flashSize>, bytes
    uint32_t bootSize = 0;      // <bootSize>, bytes at the top kept by the bootloader (optional)
    uint32_t eepromSize = 0;    // <eepromSize>, bytes
    // The first address the application may not use.
    uint32_t ApplicationEnd() const { return flashSize - bootSize; }
};

// Numbers are decimal or 0x-prefixed hexadecimal. False with a reason.
bool ParseFlashLayout(std::string_view xml, FlashLayout& layout, std::string& error);
bool ReadFlashLayout(const std::string& path, FlashLayout& layout, std::string& error);

}  // namespace nvx
