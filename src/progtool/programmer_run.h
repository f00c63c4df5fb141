#pragma once
// The external programmer as the update procedure runs it: its file, its arguments, its time
// limit and how its output is judged.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "progtool/device_catalogue.h"
#include "progtool/update_messages.h"

namespace nvx {

// The programmer's time limit: a device that vanishes or stops answering must not keep the
// procedure in its programmer step for ever. Generous: every byte goes over the wire twice
// (written, then read back to verify), allowed several times over, plus a fixed margin for the
// programmer's own start, its delay option and retries.
constexpr uint32_t kProgrammerMarginMs = 90000;
constexpr uint32_t kProgrammerWireFactor = 4;
constexpr uint32_t kBitsPerByteOnTheWire = 10;  // 8N1
uint32_t ProgrammerTimeLimitMs(uint32_t transferBytes, int32_t baudRate);
// Whole seconds in this variable replace the computed limit (a bench that wants a faster verdict
// on a silent device, a test).
inline constexpr const char* kProgrammerLimitVariable = "NORVIX_PROGRAMMER_LIMIT";
// The limit for a run: the variable's when it holds a number of seconds from 1 up, else computed.
uint32_t ProgrammerTimeLimitForRunMs(uint32_t transferBytes, int32_t baudRate);

inline constexpr const char* kProgrammerFileName = "norvixosp.exe";
inline constexpr const char* kProgrammerArgument0 = "avrosp.exe";

// The programmer's argument vector for an operation, argument 0 included.
std::vector<std::string> ProgrammerArguments(uint32_t operation, const DeviceSelection& selection,
                                             int32_t comPortNumber);

// What a technician can do about the programmer's last error line, in plain words; empty when the
// line is none of the common failures (wrong chip, no bootloader, port missing, busy or forbidden).
// connectedChip, when known, names the chip that answered instead of the one expected.
std::string PlainProgrammerFailure(std::string_view reason, std::string_view connectedChip = {});

// The signature in avrdude's "device signature = 0x1e9705" line as "1E 97 05"; empty for any other
// line.
std::string ReportedChipSignature(std::string_view line);
// The part name (<name>) of the catalogue's part description in the start directory whose
// <signature> this is; empty when none is.
std::string PartNameForSignature(std::string_view signature);

// A file of Intel HEX records that all check out and that ends with an end-of-file record.
bool IsCompleteHexImage(const std::string& text);

}  // namespace nvx
