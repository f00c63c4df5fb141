#pragma once
// The service journal: one line per operation that changed a device, appended to
// service-journal.csv in the start directory by the monitor and by nvx. Lines are RFC 4180
// records ending in CR LF; each is appended with a single write on a descriptor opened with
// O_APPEND, so programs writing at once never interleave and nothing is ever truncated.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/program_files.h"
#include "shell/shell.h"

namespace nvx {

inline constexpr const char* kJournalFileName = kServiceJournalName;
// A journal line that cannot be written is a warning, not the command's failure.
inline constexpr const char* kJournalWarningLine = " > Warning: service journal not written: ";

// The operations the journal names.
inline constexpr const char* kJournalFirmwareUpdate = "firmware update";
inline constexpr const char* kJournalEepromWrite = "EEPROM write";
inline constexpr const char* kJournalEepromRead = "EEPROM read";
inline constexpr const char* kJournalStartingTexts = "starting texts written";
inline constexpr const char* kJournalKernelCommand = "kernel ";  // followed by the command's label

// The program that writes ("norvix-monitor" or "nvx"); each program's main sets it.
extern std::string JournalProgram;

struct JournalRecord {
    std::string time;  // local time, ISO 8601 with offset
    std::string program;
    std::string port;    // "COM1 /dev/pts/3"
    std::string device;  // the device row's label
    std::string operation;
    std::string file;
    std::string sha256;
    std::string versionBefore;
    std::string versionAfter;
    std::string outcome;  // the operation's last log line

    bool operator==(const JournalRecord&) const = default;
};

constexpr std::size_t kJournalColumns = 10;
// The column titles, in record order.
extern const char* const kJournalColumnTitles[kJournalColumns];

// "2026-12-10T17:02:55+01:00" in the process's time zone.
std::string LocalIsoTime(std::time_t t);

// One record as a CSV line with its CR LF. Fields are quoted where they hold a comma, a quote or
// blanks at either end; line breaks inside a field become blanks, so a record is always one line.
// A field a spreadsheet would evaluate (beginning with = + - @ or a tab), or one beginning with an
// apostrophe, is stored behind an apostrophe; ParseJournalLine takes it off.
std::string EncodeJournalLine(const JournalRecord& record);
// The titles line the file begins with.
std::string JournalTitleLine();

// One line (without its line end) back into a record; false with the fault in words.
bool ParseJournalLine(std::string_view line, JournalRecord& record, std::string& fault);

// Appends one line to the journal file at path, creating it with its titles line when missing.
bool AppendJournalLine(const std::string& path, const std::string& line, std::string& error);

// A journal file read back: its good records, and a warning per line that is not one.
struct JournalContents {
    std::vector<JournalRecord> records;
    std::vector<std::string> warnings;
};
JournalContents ParseJournal(std::string_view text);

// "COM1 /dev/pts/3": the monitor's COM port and the device it resolves to.
std::string JournalPortText();

// Where the warning about a journal line not written goes: by default a line in the monitor log
// (after the outcome line, which comes first); nvx puts it on standard error.
using JournalWarningSink = void (*)(MonitorShell& shell, const std::string& reason);
void SetJournalWarningSink(JournalWarningSink sink);
// The warning is given once per run; this lets the next failure be told again (tests).
void ResetJournalWarning();

// Completes a record with time, program and port and appends it to the start directory's
// journal. Returns false when the line cannot be written; the first such failure of the run is
// told through the warning sink.
bool RecordServiceOperation(MonitorShell& shell, JournalRecord record);

}  // namespace nvx
