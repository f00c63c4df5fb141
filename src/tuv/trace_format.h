#pragma once
// Turns trace ring entries into the text of the Tx and Rx views.

#include <cstddef>
#include <cstdint>
#include <string>

#include "comm/link.h"

namespace nvx {

// Each view keeps only its newest characters, so the edit controls never grow without limit.
constexpr std::size_t kTraceViewLimit = 4095;

// A frame start -n opens a new line "%04d-%1d[" (frame, channel), an end marker closes it with
// "]"; a byte is two hexadecimal digits and a space, or the character itself ("." for a 0, which
// would otherwise end the view's text where it stands).
void AppendTraceEntry(std::string& text, int32_t entry, int channel, bool hex);

// Appends every unread entry of the ring and advances its read index to the write index.
// Returns whether anything was appended.
bool DrainTraceRing(TraceRing& ring, int channel, bool hex, std::string& text);

// Keeps the last `limit` characters.
void KeepLast(std::string& text, std::size_t limit = kTraceViewLimit);

}  // namespace nvx
