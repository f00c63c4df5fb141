#include "tuv/trace_format.h"

#include "platform/format.h"

namespace nvx {

void AppendTraceEntry(std::string& text, int32_t entry, int channel, bool hex) {
    if (entry < 0) {
        text += "\r\n";
        text += Format("%04d-%1d[", -entry, channel);
    } else if (entry == kTraceEndMarker) {
        text += ']';
    } else if (hex) {
        static const char kDigits[] = "0123456789ABCDEF";
        const uint8_t b = static_cast<uint8_t>(entry & 0xFF);
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
        text += ' ';
    } else {
        const char c = static_cast<char>(entry & 0xFF);
        text += c == '\0' ? '.' : c;
    }
}

bool DrainTraceRing(TraceRing& ring, int channel, bool hex, std::string& text) {
    bool appended = false;
    if (ring.writeIndex >= kTraceRingSize) return false;  // not a position the driver writes
    while (ring.readIndex != ring.writeIndex) {
        // A corrupt index must not read outside the ring.
        if (ring.readIndex >= kTraceRingSize) {
            ring.readIndex = 0;
            continue;
        }
        AppendTraceEntry(text, ring.entries[ring.readIndex], channel, hex);
        ring.readIndex = static_cast<uint8_t>(ring.readIndex >= kTraceRingSize - 1 ? 0 : ring.readIndex + 1);
        appended = true;
    }
    return appended;
}

void KeepLast(std::string& text, std::size_t limit) {
    if (text.size() > limit) text.erase(0, text.size() - limit);
}

}  // namespace nvx
