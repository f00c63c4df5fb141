#pragma once
// The readable report of an EEPROM image: identity, production data, error memory with German
// descriptions, temperature log, operating time and section dumps. ISO 8859-1, CR LF line ends.

#include <cstdint>
#include <string>

#include "eeprom/eeprom_image.h"

namespace nvx {

// deviceRow is the device list row the analysis was started from (0: no device); it picks the
// device type line and whether the temperature log is reported. reportHeaderDetails adds the
// decoded header block and the raw section dumps.
std::string BuildEepromReport(const EepromImage& image, int32_t deviceRow, bool reportHeaderDetails);

// "Device Type:      ...\r\n" for a non-zero row; empty for row 0.
std::string EepromDeviceTypeLine(int32_t deviceRow);

// The description column of one error-memory entry: module text, ", ", status text.
std::string EepromErrorDescription(uint8_t errorCode, uint8_t moduleNumber);

}  // namespace nvx
