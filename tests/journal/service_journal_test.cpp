#include "journal/service_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/format.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

JournalRecord Sample() {
    return {"2026-12-10T17:02:55+01:00",
            "nvx",
            "COM1 /dev/pts/3",
            "Solvane operating panel",
            "firmware update",
            "SolBed_fw.hex",
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            "Application V 3.1, Build 14-09",
            "Application V 3.2, Build 15-01",
            "I> Update finished"};
}

TEST(JournalLine, FieldsAreQuotedOnlyWhereCsvNeedsIt) {
    JournalRecord r = Sample();
    r.file = "a,b \"c\".hex";
    r.device = " padded ";
    r.outcome = "E> Command NorvixOSP: exit status 1";
    EXPECT_EQ(EncodeJournalLine(r),
              "2026-12-10T17:02:55+01:00,nvx,COM1 /dev/pts/3,\" padded \",firmware update,"
              "\"a,b \"\"c\"\".hex\","
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad,"
              "\"Application V 3.1, Build 14-09\",\"Application V 3.2, Build 15-01\","
              "E> Command NorvixOSP: exit status 1\r\n");
}

TEST(JournalLine, EveryRecordReadsBackAsWritten) {
    const std::vector<std::string> values = {"",
                                             "plain",
                                             "with, comma",
                                             "\"quoted\"",
                                             "\"",
                                             ",",
                                             " lead",
                                             "trail ",
                                             "a\"\"b",
                                             "K\xFC"
                                             "hlraum",
                                             "=1+2,cmd|calc!A0.hex",
                                             "+x",
                                             "-y",
                                             "@SUM(A1)",
                                             "\tx",
                                             "'",
                                             "''=",
                                             "'plain"};
    for (const std::string& v : values) {
        SCOPED_TRACE(v);
        JournalRecord r = Sample();
        r.file = v;
        r.outcome = v;
        const std::string line = EncodeJournalLine(r);
        ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
        JournalRecord back;
        std::string fault;
        ASSERT_TRUE(ParseJournalLine(line.substr(0, line.size() - 2), back, fault)) << fault;
        EXPECT_EQ(back, r);
    }
}

// What a spreadsheet opening the journal would evaluate never begins a cell.
TEST(JournalLine, NoFieldIsStoredAsAFormula) {
    JournalRecord r = Sample();
    r.file = "=1+2,cmd|calc!A0.hex";
    r.device = "+1";
    r.versionBefore = "-2";
    r.outcome = "@A1";
    r.versionAfter = "'kept";
    EXPECT_EQ(EncodeJournalLine(r),
              "2026-12-10T17:02:55+01:00,nvx,COM1 /dev/pts/3,'+1,firmware update,"
              "\"'=1+2,cmd|calc!A0.hex\","
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad,"
              "'-2,''kept,'@A1\r\n");
}

TEST(JournalLine, LineBreaksInAFieldNeverSplitTheRecord) {
    JournalRecord r = Sample();
    r.file = "two\r\nlines\n.hex";
    const std::string line = EncodeJournalLine(r);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    JournalRecord back;
    std::string fault;
    ASSERT_TRUE(ParseJournalLine(line.substr(0, line.size() - 2), back, fault)) << fault;
    EXPECT_EQ(back.file, "two  lines .hex");
}

TEST(JournalLine, DamagedLinesAreRefusedWithTheirFault) {
    struct Case {
        std::string line;
        const char* fault;
    };
    const std::string good = EncodeJournalLine(Sample());
    const Case cases[] = {
        {"a,b,c,d,e,f,g,h,i,\"open", "quote not closed"},
        {"a,b,c,d,e,\"f\"x,g,h,i,j", "text after a closing quote in field 6"},
        {"a,b,c,d\"e,f,g,h,i,j,k", "quote inside unquoted field 4"},
        {"a,b,c,d,e,f,g,h,i", "9 fields instead of 10"},
        {"a,b,c,d,e,f,g,h,i\r,j", "line break inside the line"},
        {good.substr(0, good.size() - 2) + ",extra", "11 fields instead of 10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        JournalRecord r = Sample();
        std::string fault;
        EXPECT_FALSE(ParseJournalLine(c.line, r, fault));
        EXPECT_EQ(fault, c.fault);
        EXPECT_EQ(r, Sample()) << "a refused line leaves the record alone";
    }
}

TEST(JournalFile, DamagedLinesAreSkippedOneByOneAndNamed) {
    JournalRecord second = Sample();
    second.operation = "EEPROM read";
    const std::string text = JournalTitleLine() + EncodeJournalLine(Sample()) +
                             "broken,\"line\r\n" + "\r\n" + EncodeJournalLine(second) + "a,b\n";
    const JournalContents contents = ParseJournal(text);
    EXPECT_EQ(contents.records, (std::vector<JournalRecord>{Sample(), second}));
    EXPECT_EQ(contents.warnings,
              (std::vector<std::string>{"line 3 skipped: quote not closed",
                                        "line 6 skipped: 2 fields instead of 10"}));
}

TEST(JournalFile, AppendingStartsWithTheTitlesAndNeverTruncates) {
    test::ScratchDir dir("journal");
    const std::string path = dir.file("service-journal.csv");
    const std::string a = EncodeJournalLine(Sample());
    std::string error;
    ASSERT_TRUE(AppendJournalLine(path, a, error)) << error;
    EXPECT_EQ(test::ReadText(path), JournalTitleLine() + a);
    // A file that exists keeps what it has, whatever it is.
    test::WriteText(path, "hand-edited\r\n");
    ASSERT_TRUE(AppendJournalLine(path, a, error)) << error;
    EXPECT_EQ(test::ReadText(path), "hand-edited\r\n" + a);
    EXPECT_EQ(test::FileNames(dir.path()), std::vector<std::string>{"service-journal.csv"});
}

TEST(JournalFile, ProgramsAppendingAtOnceNeverInterleave) {
    test::ScratchDir dir("journal");
    const std::string path = dir.file("service-journal.csv");
    constexpr int kWriters = 6;
    constexpr int kLinesEach = 200;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string error;
            for (int i = 0; i < kLinesEach; ++i) {
                JournalRecord r = Sample();
                // Long enough to take more than one pipe-sized chunk if it were written in parts.
                r.file = Format("writer %d line %d ", w, i) + std::string(5000, 'x');
                if (!AppendJournalLine(path, EncodeJournalLine(r), error)) ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string text = test::ReadText(path);
    ASSERT_EQ(text.rfind(JournalTitleLine(), 0), 0u) << "the titles come first, once";
    const JournalContents contents = ParseJournal(text);
    EXPECT_TRUE(contents.warnings.empty()) << contents.warnings.front();
    ASSERT_EQ(contents.records.size(), std::size_t{kWriters * kLinesEach});
    std::vector<std::string> files;
    for (const JournalRecord& r : contents.records) files.push_back(r.file);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(std::unique(files.begin(), files.end()), files.end()) << "every line once";
    EXPECT_EQ(test::FileNames(dir.path()), std::vector<std::string>{"service-journal.csv"});
}

// Runs body in a child (as nobody when asked) that an alarm ends should it hang; its exit status.
int InChild(bool asNobody, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(20);
        if (asNobody && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(JournalFile, AJournalThatIsAFifoWithoutReaderIsRefusedAtOnce) {
    test::ScratchDir dir("journal");
    const std::string path = dir.file("service-journal.csv");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int status = InChild(false, [&] {
        std::string error;
        if (AppendJournalLine(path, EncodeJournalLine(Sample()), error)) return 1;
        return error == "not a regular file" ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << "1: written, 2: another reason, 142: it hung";
}

TEST(JournalFile, AJournalBehindALinkIsWrittenWhereItPointsOrFailsWithTheRealReason) {
    test::ScratchDir dir("journal");
    std::filesystem::create_directory(dir.file("kept"));
    std::filesystem::create_directory(dir.file("locked"));
    const std::string path = dir.file("service-journal.csv");
    std::filesystem::create_symlink("kept/journal.csv", path);
    const std::string a = EncodeJournalLine(Sample());
    std::string error;
    ASSERT_TRUE(AppendJournalLine(path, a, error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(test::ReadText(dir.file("kept/journal.csv")), JournalTitleLine() + a);

    // Into a directory that takes no new file: that is what the line says, not the missing target.
    ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0555), 0);
    std::filesystem::remove(path);
    std::filesystem::create_symlink("locked/journal.csv", path);
    const int status = InChild(true, [&] {
        std::string reason;
        if (AppendJournalLine(path, a, reason)) return 1;
        return reason == "create: Permission denied" ? 0 : 2;
    });
    ::chmod(dir.file("locked").c_str(), 0755);
    EXPECT_EQ(status, 0) << "1: written, 2: another reason";
    EXPECT_EQ(test::FileNames(dir.file("locked")), std::vector<std::string>{});
}

class RecordingShell : public MonitorShell {
  public:
    void AppendMonitorLog(std::string message) override { log.push_back(std::move(message)); }
    bool IsComPortOpen() override { return false; }
    bool OpenComPort() override { return false; }
    void CloseComPort() override {}
    void MarkComPortOpen() override {}
    std::vector<std::string> log;
};

TEST(JournalFile, AJournalThatCannotBeWrittenIsAWarningOncePerRunAndStillTriedEachTime) {
    test::ScratchDir dir("journal");
    ResetShellSettings();
    ResetJournalWarning();
    StartDirectory = dir.file("missing/");
    RecordingShell shell;
    EXPECT_FALSE(RecordServiceOperation(shell, Sample()));
    EXPECT_FALSE(RecordServiceOperation(shell, Sample()));
    // A note, no error line: it must not sound or count as the command's failure.
    ASSERT_EQ(shell.log.size(), 1u);
    const std::string warning = " > Warning: service journal not written: ";
    EXPECT_EQ(shell.log[0].rfind(warning, 0), 0u) << shell.log[0];
    EXPECT_EQ(shell.log[0], warning + dir.file("missing/service-journal.csv") +
                                ": create: No such file or directory");

    StartDirectory = dir.path() + "/";
    ComPortNumber = 3;
    JournalProgram = "nvx";
    EXPECT_TRUE(RecordServiceOperation(shell, Sample()));
    EXPECT_EQ(shell.log.size(), 1u);
    const JournalContents contents = ParseJournal(test::ReadText(dir.file(kJournalFileName)));
    ASSERT_EQ(contents.records.size(), 1u);
    EXPECT_EQ(contents.records[0].program, "nvx");
    EXPECT_EQ(contents.records[0].port.rfind("COM3 ", 0), 0u) << contents.records[0].port;
    EXPECT_EQ(contents.records[0].outcome, "I> Update finished");
    ResetShellSettings();
}

TEST(JournalTime, LocalTimeCarriesItsOffset) {
    const char* saved = std::getenv("TZ");
    const std::string keep = saved ? saved : "";
    struct Case {
        const char* zone;
        const char* text;
    };
    // 2026-12-10 16:02:55 UTC.
    const Case cases[] = {{"UTC0", "2026-12-10T16:02:55+00:00"},
                          {"CET-1", "2026-12-10T17:02:55+01:00"},
                          {"NST+3:30", "2026-12-10T12:32:55-03:30"}};
    for (const Case& c : cases) {
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        EXPECT_EQ(LocalIsoTime(1796918575), c.text) << c.zone;
    }
    if (saved)
        ::setenv("TZ", keep.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace nvx
