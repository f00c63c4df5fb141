#include "journal/service_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/atomic_file.h"
#include "platform/com_port_names.h"
#include "platform/format.h"
#include "platform/timer_service.h"

namespace nvx {

std::string JournalProgram = "norvix-monitor";

const char* const kJournalColumnTitles[kJournalColumns] = {
    "time", "program", "port",           "device",        "operation",
    "file", "sha256",  "version before", "version after", "outcome",
};

namespace {

constexpr const char* kLineEnd = "\r\n";

bool NeedsQuotes(std::string_view field) {
    if (field.empty()) return false;
    return field.find_first_of(",\"") != std::string_view::npos || field.front() == ' ' ||
           field.back() == ' ';
}

// A spreadsheet evaluates a cell that begins with one of these (a file named "=1+2.hex" would
// run as a formula); such a field is stored behind an apostrophe, which the reader takes off
// again. A field that itself begins with the apostrophe gets one more, so every field reads back
// as written.
constexpr char kFormulaGuard = '\'';
constexpr std::string_view kFormulaStarts = "=+-@\t";

bool NeedsFormulaGuard(std::string_view field) {
    return !field.empty() &&
           (field.front() == kFormulaGuard || kFormulaStarts.find(field.front()) != std::string_view::npos);
}

void AppendField(std::string& line, std::string field) {
    for (char& c : field)
        if (c == '\r' || c == '\n') c = ' ';
    if (NeedsFormulaGuard(field)) field.insert(field.begin(), kFormulaGuard);
    if (!NeedsQuotes(field)) {
        line += field;
        return;
    }
    line += '"';
    for (const char c : field) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Writes all of bytes with one write call; a short write is a failure, not a retry, so that no
// other writer's line can come between the parts.
bool WriteOnce(int fd, std::string_view bytes, std::string& error) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n == static_cast<ssize_t>(bytes.size())) return true;
    error = n < 0 ? Errno("write") : "short write";
    return false;
}

// A missing journal comes into being with its titles line complete, or not at all: the titles
// go into a private file that is then linked under the journal's name (which fails harmlessly
// when another program was first).
bool CreateWithTitles(const std::string& path, std::string& error) {
    const std::string staged = path + Format(".%d.new", static_cast<int>(::getpid()));
    const int fd = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = Errno("create");
        return false;
    }
    const bool written = WriteOnce(fd, JournalTitleLine(), error);
    const bool closed = ::close(fd) == 0;
    bool ok = written && closed;
    if (ok && ::link(staged.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        error = Errno("link");
        ok = false;
    }
    ::unlink(staged.c_str());
    return ok;
}

}  // namespace

std::string LocalIsoTime(std::time_t t) {
    std::tm local{};
    ::localtime_r(&t, &local);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string iso(text, n);
    // strftime gives +0100; ISO 8601's extended form wants +01:00.
    if (iso.size() >= 5) iso.insert(iso.size() - 2, ":");
    return iso;
}

std::string EncodeJournalLine(const JournalRecord& r) {
    std::string line;
    bool first = true;
    for (const std::string* field : {&r.time, &r.program, &r.port, &r.device, &r.operation, &r.file,
                                     &r.sha256, &r.versionBefore, &r.versionAfter, &r.outcome}) {
        if (!first) line += ',';
        first = false;
        AppendField(line, *field);
    }
    return line + kLineEnd;
}

std::string JournalTitleLine() {
    std::string line;
    for (std::size_t i = 0; i < kJournalColumns; ++i) {
        if (i != 0) line += ',';
        line += kJournalColumnTitles[i];
    }
    return line + kLineEnd;
}

bool ParseJournalLine(std::string_view line, JournalRecord& record, std::string& fault) {
    // The writer never leaves one in a record.
    if (line.find_first_of("\r\n") != std::string_view::npos) {
        fault = "line break inside the line";
        return false;
    }
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (true) {
        std::string field;
        if (at < line.size() && line[at] == '"') {
            ++at;
            while (true) {
                if (at >= line.size()) {
                    fault = "quote not closed";
                    return false;
                }
                if (line[at] == '"') {
                    if (at + 1 < line.size() && line[at + 1] == '"') {
                        field += '"';
                        at += 2;
                        continue;
                    }
                    ++at;
                    break;
                }
                field += line[at++];
            }
            if (at < line.size() && line[at] != ',') {
                fault = Format("text after a closing quote in field %zu", fields.size() + 1);
                return false;
            }
        } else {
            const std::size_t end = std::min(line.find(',', at), line.size());
            field.assign(line.substr(at, end - at));
            if (field.find('"') != std::string::npos) {
                fault = Format("quote inside unquoted field %zu", fields.size() + 1);
                return false;
            }
            at = end;
        }
        if (!field.empty() && field.front() == kFormulaGuard) field.erase(field.begin());
        fields.push_back(std::move(field));
        if (at >= line.size()) break;
        ++at;  // the comma
    }
    if (fields.size() != kJournalColumns) {
        fault = Format("%zu fields instead of %zu", fields.size(), kJournalColumns);
        return false;
    }
    record = JournalRecord{fields[0], fields[1], fields[2], fields[3], fields[4],
                           fields[5], fields[6], fields[7], fields[8], fields[9]};
    return true;
}

bool AppendJournalLine(const std::string& path, const std::string& line, std::string& error) {
    // A journal behind a link is made where the link points, so that a failure gives its real
    // reason rather than the missing target.
    std::string target;
    int err = 0;
    if (!FollowLinks(path, target, err)) {
        errno = err;
        error = Errno("open");
        return false;
    }
    // Appends only to a plain file, and never waits for a FIFO's reader.
    // The caller names the journal: the reason alone, as for the other failures.
    const std::string notRegular = "not a regular file";
    struct stat existing {};
    if (::stat(target.c_str(), &existing) != 0) {
        if (!CreateWithTitles(target, error)) return false;
    } else if (!S_ISREG(existing.st_mode)) {
        error = notRegular;
        return false;
    }
    const int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = Errno("open");
        return false;
    }
    if (::fstat(fd, &existing) != 0 || !S_ISREG(existing.st_mode)) {
        ::close(fd);
        error = notRegular;
        return false;
    }
    const bool written = WriteOnce(fd, line, error);
    if (::close(fd) != 0 && written) {
        error = Errno("close");
        return false;
    }
    return written;
}

JournalContents ParseJournal(std::string_view text) {
    JournalContents contents;
    const std::string titles = JournalTitleLine();
    const std::string_view titlesLine(titles.data(), titles.size() - 2);
    uint32_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || (number == 1 && line == titlesLine)) continue;
        JournalRecord record;
        std::string fault;
        if (ParseJournalLine(line, record, fault))
            contents.records.push_back(std::move(record));
        else
            contents.warnings.push_back(Format("line %u skipped: %s", number, fault.c_str()));
    }
    return contents;
}

std::string JournalPortText() {
    std::string device = ResolveComPort(static_cast<uint32_t>(ComPortNumber), StartDirectory);
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(device, ec);
    if (!ec) device = real.string();
    return Format("COM%d %s", ComPortNumber, device.c_str());
}

namespace {

void WarnInTheLog(MonitorShell& shell, const std::string& reason) {
    shell.AppendMonitorLog(kJournalWarningLine + reason);
}

JournalWarningSink g_journalWarningSink = WarnInTheLog;
bool g_journalWarned = false;

}  // namespace

void SetJournalWarningSink(JournalWarningSink sink) {
    g_journalWarningSink = sink != nullptr ? sink : WarnInTheLog;
}

void ResetJournalWarning() { g_journalWarned = false; }

bool RecordServiceOperation(MonitorShell& shell, JournalRecord record) {
    record.time = LocalIsoTime(Calendar().now());
    record.program = JournalProgram;
    record.port = JournalPortText();
    const std::string path = StartDirectory + kJournalFileName;
    std::string error;
    if (AppendJournalLine(path, EncodeJournalLine(record), error)) return true;
    if (!g_journalWarned) g_journalWarningSink(shell, path + ": " + error);
    g_journalWarned = true;
    return false;
}

}  // namespace nvx
