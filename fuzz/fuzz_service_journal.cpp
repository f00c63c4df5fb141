// A service journal as found on disk, hand-edited or damaged: every line is a record or a warning,
// and every record read writes back to a line that reads as the same record.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "journal/service_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const nvx::JournalContents contents = nvx::ParseJournal(text);
    for (const nvx::JournalRecord& record : contents.records) {
        // Line breaks never reach a record, so the round trip is exact.
        const std::string line = nvx::EncodeJournalLine(record);
        nvx::JournalRecord back;
        std::string fault;
        if (!nvx::ParseJournalLine(std::string_view(line).substr(0, line.size() - 2), back, fault))
            __builtin_trap();
        if (!(back == record)) __builtin_trap();
    }
    return 0;
}
