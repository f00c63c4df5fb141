// `nvx texts` pieces that need no port: arguments, terminal encoding, the bar and the outcome.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "texts/texts_console.h"
#include "texts_doubles.h"

namespace nvx {
namespace {

TEST(TextsCommandLineTest, GoodArguments) {
    const struct {
        std::vector<std::string> args;
        bool help;
        int port;
        TextsAction action;
        const char* line1;
        const char* line2;
    } cases[] = {
        {{"--port", "3", "read"}, false, 3, TextsAction::Read, "", ""},
        {{"read", "--port", "256"}, false, 256, TextsAction::Read, "", ""},
        {{"--port=1", "test"}, false, 1, TextsAction::Test, "", ""},
        {{"test"}, false, 1, TextsAction::Test, "", ""},
        {{"write", "A", "--port", "4", "B"}, false, 4, TextsAction::Write, "A", "B"},
        {{"write", "--", "--port", "-x-"}, false, 1, TextsAction::Write, "--port", "-x-"},
        {{"--port", "2", "write", "LINE 1", "LINE 2"}, false, 2, TextsAction::Write, "LINE 1", "LINE 2"},
        {{"--port", "2", "write", "only one"}, false, 2, TextsAction::Write, "only one", ""},
        {{"--port", "2", "write", "-5 \xC2\xB0" "C", ""}, false, 2, TextsAction::Write, "-5 \xC2\xB0" "C", ""},
        {{"--help"}, true, 0, TextsAction::Read, "", ""},
        {{"--port", "2", "read", "--help"}, true, 0, TextsAction::Read, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        TextsCommandLine out;
        std::string error;
        ASSERT_TRUE(ParseTextsCommandLine(c.args, out, error)) << error;
        EXPECT_EQ(out.help, c.help);
        if (c.help) continue;
        EXPECT_EQ(out.port, c.port);
        EXPECT_EQ(out.action, c.action);
        EXPECT_EQ(out.line1, c.line1);
        EXPECT_EQ(out.line2, c.line2);
        EXPECT_FALSE(out.latin1);
    }
    TextsCommandLine raw;
    std::string error;
    ASSERT_TRUE(ParseTextsCommandLine({"read", "--latin1"}, raw, error)) << error;
    EXPECT_TRUE(raw.latin1);
    EXPECT_FALSE(raw.yes);
    TextsCommandLine yes;
    ASSERT_TRUE(ParseTextsCommandLine({"write", "A", "-y"}, yes, error)) << error;
    EXPECT_TRUE(yes.yes);
}

TEST(TextsCommandLineTest, WrongUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--port"},
        {"read", "--port"},
        {"--port", "0", "read"},
        {"--port", "257", "read"},
        {"--port", "1x", "read"},
        {"--port", "-1", "read"},
        {"--port", "1"},
        {"--port", "1", "erase"},
        {"--port", "1", "read", "extra"},
        {"--port", "1", "test", "extra"},
        {"--port", "1", "write"},
        {"--port", "1", "write", "a", "b", "c"},
        {"--verbose", "--port", "1", "read"},
        {"write", "-x-"},
        {"--yes", "read"},
        {"test", "--yes"},
    };
    for (const auto& args : cases) {
        TextsCommandLine out;
        std::string error;
        EXPECT_FALSE(ParseTextsCommandLine(args, out, error)) << testing::PrintToString(args);
        EXPECT_FALSE(error.empty()) << testing::PrintToString(args);
    }
}

TEST(TextsProgressTest, Bar) {
    EXPECT_EQ(TextsProgressLine(0, 30), "[" + std::string(30, '.') + "]  0/30");
    EXPECT_EQ(TextsProgressLine(12, 30),
              "[" + std::string(12, '#') + std::string(18, '.') + "] 12/30");
    EXPECT_EQ(TextsProgressLine(29, 30), "[" + std::string(29, '#') + ".] 29/30");
    EXPECT_EQ(TextsProgressLine(40, 30), "[" + std::string(30, '#') + "] 30/30");
    EXPECT_EQ(TextsProgressLine(-3, 30), "[" + std::string(30, '.') + "]  0/30");
}

class ConsoleTextsTest : public ::testing::Test {
protected:
    void SetUp() override { out = std::tmpfile(); }
    void TearDown() override { std::fclose(out); }
    std::string Written() {
        std::fflush(out);
        std::rewind(out);
        std::string s;
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) s.append(buf, n);
        return s;
    }
    std::FILE* out = nullptr;
    test::RecordingShell session;
};

TEST_F(ConsoleTextsTest, BarOnlyWhileActiveAndKeptOutOfTheLogLines) {
    ConsoleTexts console(session, out, true);
    console.setProgressRange(0, 30);
    console.setReadingProgress(0);  // idle ticks before the work starts draw nothing
    console.startProgress();
    console.setWritingProgress(0);  // the other bar's idle value: already shown
    console.setReadingProgress(5);
    console.setReadingProgress(5);
    console.AppendMonitorLog("E> No reply from Solvane");
    console.setReadingProgress(6);
    console.finishProgress();
    console.setReadingProgress(0);  // idle again after the work: nothing
    const std::string clear = "\r\x1b[K";
    EXPECT_EQ(Written(), clear + TextsProgressLine(0, 30) + clear + TextsProgressLine(5, 30) +
                             clear + clear + TextsProgressLine(5, 30) + clear +
                             TextsProgressLine(6, 30) + clear);
    EXPECT_EQ(session.log, std::vector<std::string>{"E> No reply from Solvane"});
}

TEST_F(ConsoleTextsTest, NoBarWhenNotATerminal) {
    ConsoleTexts console(session, out, false);
    console.startProgress();
    console.setWritingProgress(7);
    console.AppendMonitorLog("I> Writing text finished");
    console.finishProgress();
    EXPECT_EQ(Written(), "");
    EXPECT_EQ(session.log, std::vector<std::string>{"I> Writing text finished"});
}

TEST_F(ConsoleTextsTest, OutcomeFollowsTheLines) {
    const struct {
        std::vector<std::string> lines;
        bool error;
        bool information;
    } cases[] = {
        {{"I> Reading text finished"}, false, true},
        {{"E> No reply from Solvane", "I> Reading text finished"}, true, true},
        {{"E> Wrong format response at ID: 0411"}, true, false},
        {{"", " > note"}, false, false},
    };
    for (const auto& c : cases) {
        ConsoleTexts console(session, out, false);
        for (const auto& l : c.lines) console.AppendMonitorLog(l);
        EXPECT_EQ(console.sawError(), c.error) << testing::PrintToString(c.lines);
        EXPECT_EQ(console.sawInformation(), c.information) << testing::PrintToString(c.lines);
    }
}

TEST_F(ConsoleTextsTest, ActsAsTheWindowsFields) {
    ConsoleTexts console(session, out, false);
    // As typed on a UTF-8 command line; the fields hold what the panel gets.
    console.setWriteLines("ABC\xE2\x82\xAC", "\xC3\x84rger");
    StartTextsFields fields;
    console.readControls(fields);
    EXPECT_EQ(fields.writeLine1, "ABC?");
    EXPECT_EQ(fields.writeLine2, "\xC4rger");
    std::string typed1, typed2;
    console.readTypedLines(typed1, typed2);
    EXPECT_EQ(typed1, "ABC\xE2\x82\xAC");
    EXPECT_EQ(typed2, "\xC3\x84rger");
    fields.readLine1 = "first";
    fields.readLine2 = "second";
    fields.writeLine1 = "not taken";
    console.writeReadControls(fields);
    EXPECT_EQ(console.shown().readLine1, "first");
    EXPECT_EQ(console.shown().readLine2, "second");
    EXPECT_EQ(console.shown().writeLine1, "ABC?");
    console.MarkComPortOpen();
    EXPECT_EQ(session.markOpenCalls, 1);
}

}  // namespace
}  // namespace nvx
