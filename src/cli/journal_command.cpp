// nvx journal: the service journal of the start directory as an aligned table, oldest first.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "journal/service_journal.h"
#include "platform/atomic_file.h"
#include "platform/command_line.h"
#include "platform/text_encoding.h"
#include "progtool/device_catalogue.h"
#include "progtool/service_run.h"

namespace nvx::cli {

namespace {

const char kJournalUsage[] =
    "usage: nvx journal [--since DATE] [--device KEY] [--latin1]\n"
    "Prints service-journal.csv of the current directory: every firmware update, EEPROM\n"
    "transfer, starting-texts write and kernel command that changed a device.\n"
    "\n"
    "  --since DATE   only lines of that day (YYYY-MM-DD, local time) or later\n"
    "  --device KEY   only the devices whose program files begin with KEY (SolBed, SolReg, ...)\n"
    "  --latin1       write the table as ISO 8859-1 bytes instead of UTF-8\n"
    "\n"
    "Lines that are not journal records are skipped with a warning on standard error.\n";

constexpr std::size_t kColumnGap = 2;
const KnownOption kSinceOption{"--since", nullptr, true};
const KnownOption kDeviceKeyOption{"--device", nullptr, true};

bool IsDate(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u})
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    const int month = std::stoi(text.substr(5, 2));
    const int day = std::stoi(text.substr(8, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool SameKey(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The journal's device labels of the rows whose device key is key.
std::vector<std::string> LabelsOfKey(const std::string& key) {
    std::vector<std::string> labels;
    for (int32_t row = 0; row < kDeviceRowCount; ++row) {
        const DeviceEntry* entry = DeviceRowEntry(row);
        if (entry != nullptr && SameKey(entry->deviceKey, key))
            labels.push_back(JournalDeviceLabel(row));
    }
    return labels;
}

// The fields as shown: control characters escaped, so that each byte takes one column and none
// moves the cursor (a tab, a backspace or an escape sequence would run columns together).
std::vector<std::string> Columns(const JournalRecord& r) {
    std::vector<std::string> columns = {r.time, r.program, r.port,          r.device,
                                        r.operation, r.file, r.sha256, r.versionBefore,
                                        r.versionAfter, r.outcome};
    for (std::string& c : columns) c = EscapeControlCharacters(c);
    return columns;
}

void PrintTable(const std::vector<JournalRecord>& records, bool rawLatin1) {
    std::vector<std::vector<std::string>> rows;
    rows.emplace_back(std::begin(kJournalColumnTitles), std::end(kJournalColumnTitles));
    for (const JournalRecord& r : records) rows.push_back(Columns(r));
    // ISO 8859-1: one byte is one character on the screen.
    std::vector<std::size_t> width(kJournalColumns, 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < kJournalColumns; ++c)
            width[c] = std::max(width[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < kJournalColumns; ++c) {
            line += row[c];
            if (c + 1 < kJournalColumns)
                line += std::string(width[c] - row[c].size() + kColumnGap, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        line += '\n';
        std::fputs(ConsoleText(line, rawLatin1).c_str(), stdout);
    }
}

}  // namespace

int RunJournal(const Args& args) {
    CommandLine line;
    std::string error;
    if (!SplitCommandLine(args, {kHelpOption, kLatin1Option, kSinceOption, kDeviceKeyOption}, line,
                          error) ||
        !line.operands.empty()) {
        if (error.empty()) error = "unknown argument " + line.operands[0];
        std::fprintf(stderr, "nvx journal: %s\n%s", error.c_str(), kJournalUsage);
        return 2;
    }
    if (line.has(kHelpOption.name)) {
        std::fputs(kJournalUsage, stdout);
        return 0;
    }
    const std::string since = line.value(kSinceOption.name);
    const std::string key = line.value(kDeviceKeyOption.name);
    if (!since.empty() && !IsDate(since)) {
        std::fprintf(stderr, "nvx journal: --since: '%s' is no date YYYY-MM-DD\n", since.c_str());
        return 2;
    }
    std::vector<std::string> labels;
    if (!key.empty()) {
        labels = LabelsOfKey(key);
        if (labels.empty()) {
            std::fprintf(stderr, "nvx journal: --device: '%s' is no device key\n", key.c_str());
            return 2;
        }
    }

    std::string text;
    if (!ReadWholeFile(kJournalFileName, text, &error)) {
        std::fprintf(stderr, "nvx journal: %s: %s\n", kJournalFileName, error.c_str());
        return 1;
    }
    const JournalContents contents = ParseJournal(text);
    for (const std::string& warning : contents.warnings)
        std::fprintf(stderr, "nvx journal: %s: %s\n", kJournalFileName, warning.c_str());

    std::vector<JournalRecord> shown;
    for (const JournalRecord& r : contents.records) {
        // ISO 8601 local times compare as text; the date leads.
        if (!since.empty() && r.time.compare(0, since.size(), since) < 0) continue;
        if (!key.empty() && std::find(labels.begin(), labels.end(), r.device) == labels.end())
            continue;
        shown.push_back(r);
    }
    PrintTable(shown, line.has(kLatin1Option.name));
    return 0;
}

}  // namespace nvx::cli
