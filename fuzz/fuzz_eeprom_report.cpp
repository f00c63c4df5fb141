// An EEPROM image file of any content, reported for any device row with and without details.
// The first byte picks the row and the details switch; the rest is the file's text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "eeprom/eeprom_image.h"
#include "eeprom/eeprom_report.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int32_t row = static_cast<int32_t>(data[0] % 40) - 2;
    const bool details = (data[0] & 0x80) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const nvx::EepromImage image = nvx::ParseEepromImage(text);
    const std::string report = nvx::BuildEepromReport(image, row, details);
    // Every line ends in CR LF and no bare line feed or carriage return slips in.
    Check(report.size() >= 2 && report.compare(report.size() - 2, 2, "\r\n") == 0);
    for (std::size_t i = 0; i < report.size(); ++i) {
        if (report[i] == '\n') Check(i > 0 && report[i - 1] == '\r');
        if (report[i] == '\r') Check(i + 1 < report.size() && report[i + 1] == '\n');
    }
    Check(report.rfind("Velmor EEPROM Content\r\n", 0) == 0);
    return 0;
}
