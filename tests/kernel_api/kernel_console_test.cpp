// `nvx kernel` without the port: its arguments, the console's answers to the confirmation, and
// whole requests over the scripted line ending in the exit status the command returns.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kernel_api/kernel_console.h"
#include "kernel_doubles.h"

namespace nvx {
namespace {

using test::Bytes;

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t j = line.find(' ', i);
        out.push_back(line.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos) break;
        i = j + 1;
    }
    return out;
}

TEST(KernelCommandLineTest, AcceptedLines) {
    const struct {
        const char* args;
        KernelAction action;
        int port;
        bool yes;
        int row;
        const char* parameter;
        uint32_t selector;
        int32_t number;
    } cases[] = {
        {"--port 1 Reset", KernelAction::Command, 1, false, 1, "0", 0, 0},
        {"--port=256 ErrorSet 0x1F4", KernelAction::Command, 256, false, 16, "0x1F4", 0, 0},
        {"--yes --port 3 ErrorClear", KernelAction::Command, 3, true, 19, "0", 0, 0},
        {"-y --port 3 ConfigCode -1", KernelAction::Command, 3, true, 29, "-1", 0, 0},
        {"--port 2 Null", KernelAction::Command, 2, false, 31, "0", 0, 0},
        {"--port 2 version hardware", KernelAction::Version, 2, false, -1, "0", 0, 0},
        {"--port 2 version norvix", KernelAction::Version, 2, false, -1, "0", 1, 0},
        {"--port 2 version application", KernelAction::Version, 2, false, -1, "0", 2, 0},
        {"--port 9 slot 255", KernelAction::Slot, 9, false, -1, "0", 0, 255},
        {"--port 9 timer 0", KernelAction::Timer, 9, false, -1, "0", 0, 0},
        // The ends of each range: a byte or a word, signed or not.
        {"AnzCode 255", KernelAction::Command, 1, false, 11, "255", 0, 0},
        {"AnzCode -- -128", KernelAction::Command, 1, false, 11, "-128", 0, 0},
        {"ErrorSet 0xFFFF", KernelAction::Command, 1, false, 16, "0xFFFF", 0, 0},
        {"ErrorSet -- -32768", KernelAction::Command, 1, false, 16, "-32768", 0, 0},
        {"Reset 65535", KernelAction::Command, 1, false, 1, "65535", 0, 0},
        {"--port 9 bytes", KernelAction::Bytes, 9, false, -1, "0", 0, 0},
        {"--port 9 tunnel on", KernelAction::TunnelOn, 9, false, -1, "0", 0, 0},
        {"--port 9 tunnel off", KernelAction::TunnelOff, 9, false, -1, "0", 0, 0},
        {"--port 9 test", KernelAction::Test, 9, false, -1, "0", 0, 0},
        // The port defaults to 1; options stand anywhere, and "--" ends them.
        {"Reset", KernelAction::Command, 1, false, 1, "0", 0, 0},
        {"--port 1 ErrorSet 0x1F4 --yes", KernelAction::Command, 1, true, 16, "0x1F4", 0, 0},
        {"version --port=4 application", KernelAction::Version, 4, false, -1, "0", 2, 0},
        {"ConfigCode -- -1", KernelAction::Command, 1, false, 29, "-1", 0, 0},
    };
    for (const auto& c : cases) {
        KernelCommandLine line;
        std::string error;
        ASSERT_TRUE(ParseKernelCommandLine(Split(c.args), line, error)) << c.args << ": " << error;
        EXPECT_FALSE(line.help) << c.args;
        EXPECT_EQ(line.action, c.action) << c.args;
        EXPECT_EQ(line.port, c.port) << c.args;
        EXPECT_EQ(line.yes, c.yes) << c.args;
        if (c.action == KernelAction::Command) {
            EXPECT_EQ(line.row, c.row) << c.args;
            EXPECT_EQ(line.parameterText, c.parameter) << c.args;
        }
        if (c.action == KernelAction::Version) {
            EXPECT_EQ(line.selector, c.selector) << c.args;
        }
        if (c.action == KernelAction::Slot || c.action == KernelAction::Timer) {
            EXPECT_EQ(line.number, c.number) << c.args;
        }
    }
    KernelCommandLine help;
    std::string error;
    EXPECT_TRUE(ParseKernelCommandLine({"--help"}, help, error));
    EXPECT_TRUE(help.help);
    KernelCommandLine latin1;
    ASSERT_TRUE(ParseKernelCommandLine({"bytes", "--latin1"}, latin1, error)) << error;
    EXPECT_TRUE(latin1.latin1);
    KernelCommandLine utf8;
    ASSERT_TRUE(ParseKernelCommandLine({"bytes"}, utf8, error)) << error;
    EXPECT_FALSE(utf8.latin1);
}

TEST(KernelCommandLineTest, WrongUsageSaysWhy) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{}, "say which command"},
        {{"--port"}, "--port needs a value"},
        {{"Reset", "--port"}, "--port needs a value"},
        {{"--port", "0", "Reset"}, "1 to 256"},
        {{"--port", "257", "Reset"}, "1 to 256"},
        {{"--port", "x", "Reset"}, "1 to 256"},
        {{"--port", "1"}, "say which command"},
        {{"--port", "1", "--frob", "Reset"}, "unknown option '--frob'"},
        {{"--port", "1", "reset"}, "unknown command 'reset'"},
        {{"--port", "1", "----------------------"}, "unknown option"},
        {{"--port", "1", "Reset", "----------------------"}, "unknown option"},
        {{"--port", "1", "Reset", "--", "----------------------"}, "not a number"},
        {{"Reset", "--yes=1"}, "--yes takes no value"},
        {{"--port", "1", "Reset", "1", "2"}, "at most one parameter"},
        {{"--port", "1", "ErrorSet", "12a"}, "not a number: '12a'"},
        {{"--port", "1", "version"}, "takes one argument"},
        {{"--port", "1", "version", "Hardware"}, "hardware, norvix or application"},
        {{"--port", "1", "slot"}, "takes one argument"},
        {{"--port", "1", "slot", "0x10"}, "must be an integer"},
        {{"--port", "1", "timer", "1", "2"}, "takes one argument"},
        {{"--port", "1", "bytes", "1"}, "takes no further arguments"},
        {{"--port", "1", "test", "now"}, "takes no further arguments"},
        {{"--port", "1", "tunnel", "up"}, "on or off"},
        // Numbers the request cannot carry are refused, not cut to their low bits.
        {{"slot", "256"}, "slot number must be 0 to 255: '256'"},
        {{"slot", "--", "-1"}, "slot number must be 0 to 255: '-1'"},
        {{"timer", "256"}, "timer number must be 0 to 255: '256'"},
        {{"timer", "99999"}, "timer number must be 0 to 255: '99999'"},
        {{"AnzCode", "0x10005"}, "AnzCode takes P from -128 to 255: '0x10005'"},
        {{"AnzCode", "256"}, "AnzCode takes P from -128 to 255: '256'"},
        {{"AnzCode", "--", "-129"}, "AnzCode takes P from -128 to 255: '-129'"},
        {{"ErrorSet", "65536"}, "ErrorSet takes P from -32768 to 65535: '65536'"},
        {{"ConfigCode", "--", "-32769"}, "ConfigCode takes P from -32768 to 65535: '-32769'"},
        {{"Reset", "65536"}, "Reset takes P from -32768 to 65535: '65536'"},
    };
    for (const auto& c : cases) {
        KernelCommandLine line;
        std::string error;
        EXPECT_FALSE(ParseKernelCommandLine(c.args, line, error)) << c.says;
        EXPECT_NE(error.find(c.says), std::string::npos) << "'" << error << "' lacks '" << c.says << "'";
    }
}

TEST(KernelCommandLineTest, UsageNamesEveryLabelOfTheList) {
    std::set<std::string> words;
    std::string word;
    for (char ch : std::string(kKernelUsage) + " ") {
        if (ch == ' ' || ch == '\n' || ch == '.') {
            if (!word.empty()) words.insert(word);
            word.clear();
        } else {
            word += ch;
        }
    }
    for (const KernelCommand& c : KernelCommandTable) {
        if (c.separator) continue;
        EXPECT_EQ(words.count(c.label), 1u) << c.label;
    }
}

// A FILE* reading from a string (the terminal's answer).
std::unique_ptr<std::FILE, int (*)(std::FILE*)> Input(const std::string& text) {
    static std::vector<std::string> keep;  // fmemopen needs the buffer alive
    keep.push_back(text);
    return {fmemopen(keep.back().data(), keep.back().size(), "r"), &std::fclose};
}

TEST(ConsoleKernelTest, AnswersTheQuestionFromYesTheTerminalOrNobody) {
    const struct {
        const char* name;
        bool yes;
        bool interactive;
        const char* typed;
        MessageAnswer answer;
        bool refused;
        bool cancelled;
    } cases[] = {
        {"--yes", true, false, "", MessageAnswer::Ok, false, false},
        {"--yes on a terminal", true, true, "cancel\n", MessageAnswer::Ok, false, false},
        {"no terminal", false, false, "ok\n", MessageAnswer::Cancel, true, false},
        {"typed ok", false, true, "ok\n", MessageAnswer::Ok, false, false},
        {"typed yes", false, true, "yes\r\n", MessageAnswer::Ok, false, false},
        {"typed cancel", false, true, "cancel\n", MessageAnswer::Cancel, false, true},
        {"typed nothing", false, true, "\n", MessageAnswer::Cancel, false, true},
        {"end of input", false, true, "", MessageAnswer::Cancel, false, true},
    };
    for (const auto& c : cases) {
        test::RecordingShell session;
        auto in = Input(c.typed);
        char promptBuffer[256] = {};
        std::FILE* prompt = fmemopen(promptBuffer, sizeof promptBuffer, "w");
        ConsoleQuestions q{c.yes, c.interactive, in.get(), prompt};
        ConsoleKernel console(session, q);
        const MessageAnswer a =
            console.ask(kEepromOverwriteQuestion, MessageIcon::Exclamation, MessageButtons::OkCancel);
        std::fclose(prompt);
        EXPECT_EQ(a, c.answer) << c.name;
        EXPECT_EQ(console.refused(), c.refused) << c.name;
        EXPECT_EQ(console.cancelled(), c.cancelled) << c.name;
        const bool asked = !c.yes && c.interactive;
        EXPECT_EQ(std::string(promptBuffer).find("This will overwrite eeprom data! Shure?") == 0, asked)
            << c.name << ": " << promptBuffer;
    }
}

TEST(ConsoleKernelTest, PassesLogLinesOnAndRemembersTheirKind) {
    test::RecordingShell session;
    ConsoleKernel console(session, ConsoleQuestions{});
    console.AppendMonitorLog(" > note");
    EXPECT_FALSE(console.sawError());
    EXPECT_FALSE(console.sawInformation());
    console.AppendMonitorLog("I> API Command OK");
    EXPECT_TRUE(console.sawInformation());
    EXPECT_FALSE(console.sawError());
    console.AppendMonitorLog("E> No Reply from Kernel");
    EXPECT_TRUE(console.sawError());
    EXPECT_EQ(session.log, (std::vector<std::string>{" > note", "I> API Command OK",
                                                     "E> No Reply from Kernel"}));
    console.MarkComPortOpen();
    EXPECT_EQ(session.markOpenCalls, 1);
}

// ---- whole requests ----

class KernelConsoleRunTest : public test::KernelLineTest {
protected:
    // Runs one command line the way `nvx kernel` does; returns the exit status.
    int Run(const std::string& args, ConsoleQuestions q = {}) {
        KernelCommandLine line;
        std::string error;
        EXPECT_TRUE(ParseKernelCommandLine(Split(args), line, error)) << error;
        if (!q.assumeYes) q.assumeYes = line.yes;
        ConsoleKernel console(session, q);
        KernelApi api(clock, console, console);
        api.OnInitDialog();
        IssueKernelAction(api, line);
        EXPECT_TRUE(RunToEnd(80000)) << args;
        result = KernelResultText(line, api.fields());
        return KernelExitStatus(console, result);
    }

    test::RecordingShell session;
    std::string result;
};

TEST_F(KernelConsoleRunTest, OutcomesAndExitStatus) {
    const struct {
        const char* args;
        std::optional<Bytes> reply;
        Bytes sent;  // empty: nothing on the line
        std::vector<std::string> log;
        const char* result;
        int status;
    } cases[] = {
        {"--port 1 Reset", Bytes{0x34, 0x12}, {0xFF, 0}, {"I> API Command OK"},
         "Returncode: 4660 0x1234", 0},
        {"--port 1 Null", Bytes{}, {0, 0}, {"I> Communication OK"}, "", 0},
        {"--port 1 test", Bytes{}, {0, 0}, {"I> Communication OK"}, "", 0},
        {"--port 1 tunnel on", Bytes{0, 0}, {0xED, 0xFF}, {"I> API Command OK"},
         "Returncode: 0 0x0000", 0},
        {"--port 1 version application", Bytes{3, 1, 15, 9}, {2, 0}, {},
         "Application: V 1.3, Build 09-15", 0},
        {"--port 1 version hardware", Bytes{3, 7, 0x21, 0x05}, {0, 0}, {},
         "Hardware: P 3, V 7, H 0x05/21", 0},
        {"--port 1 version norvix", Bytes{1, 2}, {1, 0}, {"E> Wrong Format Response at ID: 0081"},
         "", 1},
        {"--port 1 slot 255", Bytes{5, 0}, {0, 255}, {}, "Slot 255: 5", 0},
        {"--port 1 timer 3", Bytes{6, 0}, {0, 252}, {}, "Timer 3: 6", 0},
        {"--port 1 bytes", Bytes{1, 2, 3, 4}, {1, 0}, {}, "Hex: 01 02 03 04", 0},
        {"--port 1 Reboot", std::nullopt, {0xFE, 0}, {"E> No Reply from Kernel"}, "", 1},
        {"--port 1 --yes ErrorSet 0x1F4", Bytes{0, 0}, {0xDF, 0, 0xF4, 1}, {"I> API Command OK"},
         "Returncode: 0 0x0000", 0},
        {"--port 1 ErrorSet 0", Bytes{0, 0}, {0xDF, 0, 0, 0}, {"I> API Command OK"},
         "Returncode: 0 0x0000", 0},
        // Nobody to ask: refused before anything goes out.
        {"--port 1 ErrorSet 0x1F4", Bytes{0, 0}, {}, {}, "", 2},
        {"--port 1 ErrorClear", Bytes{0, 0}, {}, {}, "", 2},
    };
    for (const auto& c : cases) {
        frames.clear();
        session.log.clear();
        ResetKernelApiState();
        if (c.reply) {
            AnswerWith(*c.reply);
        } else {
            reply = nullptr;
        }
        EXPECT_EQ(Run(c.args), c.status) << c.args;
        EXPECT_EQ(session.log, c.log) << c.args;
        EXPECT_EQ(result, c.result) << c.args;
        if (c.sent.empty()) {
            EXPECT_TRUE(frames.empty()) << c.args;
        } else {
            ASSERT_FALSE(frames.empty()) << c.args;
            EXPECT_EQ(frames[0].data, c.sent) << c.args;
        }
    }
}

TEST_F(KernelConsoleRunTest, ACancelledQuestionSendsNothingAndFails) {
    auto in = Input("cancel\n");
    char promptBuffer[256] = {};
    std::FILE* prompt = fmemopen(promptBuffer, sizeof promptBuffer, "w");
    EXPECT_EQ(Run("--port 1 EepromClear 1", ConsoleQuestions{false, true, in.get(), prompt}), 1);
    std::fclose(prompt);
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(session.log.empty());
}

}  // namespace
}  // namespace nvx
