// The files the virtual device reads: an Intel HEX EEPROM image and a part description. Whatever
// they hold, parsing stays inside the memory and a parsed part is consistent.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "sim/intel_hex.h"
#include "sim/part_description.h"

namespace {
void Check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nvx::sim;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::vector<uint8_t> memory(4096, 0xFF);
    std::string error;
    if (!ParseIntelHex(text, memory, error)) Check(!error.empty());
    Check(memory.size() == 4096);
    // What the device writes it reads back unchanged.
    std::vector<uint8_t> back(4096, 0);
    Check(ParseIntelHex(FormatIntelHex(memory, false), back, error));
    Check(back == memory);

    PartDescription part;
    if (ParsePartDescription(text, part, error)) {
        Check(!part.name.empty() && !part.avrdudePart.empty());
        Check(part.flashPageSize != 0 && part.flashSize % part.flashPageSize == 0);
        Check(part.eepromSize != 0);
    }
    return 0;
}
