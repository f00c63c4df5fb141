// The console runtime of the device commands: log output, port operations and a whole request
// over a pseudo-terminal in real time.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cli/console_session.h"
#include "comm/api_request.h"
#include "comm/tick.h"
#include "platform/pty_support.h"
#include "platform/serial_port.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"
#include "support/recording_dialogs.h"

namespace nvx::cli {
namespace {

using test::Pty;
using Bytes = std::vector<uint8_t>;

class ConsoleShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetShellSettings();
        g_startTickPeriodMs = 10;
        out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        SetMessageBoxes(&boxes);
        pump.Initialize();
    }
    void TearDown() override {
        g_serialPort.Close();
        g_channelPortNumber[0] = -1;
        std::fclose(out);
        SetMessageBoxes(nullptr);
        ResetShellSettings();
        ::unsetenv("NORVIX_COM42");
    }
    std::string Written() {
        std::fflush(out);
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        return text;
    }

    VirtualClock clock;
    NullTuvCommView view;
    TuvCommLogic pump{clock, view};
    RecordingMessageBoxes boxes;
    std::FILE* out = nullptr;
};

TEST_F(ConsoleShellTest, LogLinesAreWrittenInUtf8OrRawOnRequest) {
    struct Case {
        bool rawLatin1;
        std::string written;
    };
    for (const Case& c :
         {Case{false, "E> Can\xC2\xB4t\n > x\n"}, Case{true, "E> Can\xB4t\n > x\n"}}) {
        std::FILE* f = std::tmpfile();
        ConsoleShell shell(pump, f, c.rawLatin1);
        shell.AppendMonitorLog("E> Can\xB4t");
        shell.AppendMonitorLog(" > x");
        std::rewind(f);
        std::string text;
        for (int ch; (ch = std::fgetc(f)) != EOF;) text += static_cast<char>(ch);
        std::fclose(f);
        EXPECT_EQ(text, c.written);
    }
}

TEST_F(ConsoleShellTest, PortOperationsKeepTheState) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ::setenv("NORVIX_COM42", pty.slave().c_str(), 1);
    ConsoleShell shell(pump, out, false);
    ComPortNumber = 42;

    EXPECT_FALSE(shell.IsComPortOpen());
    ASSERT_TRUE(shell.OpenComPort());
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_TRUE(shell.IsComPortOpen());
    EXPECT_EQ(g_channelPortNumber[0], 42);

    // The port is taken: a second open fails and changes nothing.
    EXPECT_FALSE(shell.OpenComPort());
    EXPECT_EQ(ComPortState, kComPortOpen);

    shell.CloseComPort();
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_FALSE(g_serialPort.IsOpen());
    EXPECT_EQ(g_channelPortNumber[0], -1);

    shell.MarkComPortOpen();
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_FALSE(g_serialPort.IsOpen());
    EXPECT_EQ(Written(), "");  // the port operations write no log lines themselves
}

TEST_F(ConsoleShellTest, FailedOpenLeavesThePortClosed) {
    ::setenv("NORVIX_COM42", "/nonexistent-nvx/tty", 1);
    ConsoleShell shell(pump, out, false);
    ComPortNumber = 42;
    EXPECT_FALSE(shell.OpenComPort());
    EXPECT_EQ(ComPortState, kComPortClosed);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Error open COM42:\n/nonexistent-nvx/tty: No such file or directory");
}

TEST(ConsoleSession, RunsTheStackInRealTime) {
    ResetShellSettings();
    ConsoleSession session;
    EXPECT_EQ(g_tickPeriodMs, 10u);
    EXPECT_EQ(g_startTickPeriodMs, 10u);
    EXPECT_TRUE(session.RunUntil([] { return g_tickCount >= 3; }, 5000));
    EXPECT_FALSE(session.RunUntil([] { return false; }, 20));
    EXPECT_TRUE(session.RunUntil([] { return true; }, 0));
}

TEST(ConsoleSession, ARequestOverAPseudoTerminal) {
    ResetShellSettings();
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ::setenv("NORVIX_COM43", pty.slave().c_str(), 1);
    ComPortNumber = 43;
    {
        ConsoleSession session;
        ASSERT_TRUE(session.shell().OpenComPort());
        BusMessage request{};
        MsgSetByte(request, 0, 0x02);
        ASSERT_TRUE(g_apiRequest.Start(0x0081, request, 0));

        // The device: collects the request frame from the master, answers with a "U" frame.
        Bytes seen;
        bool answered = false;
        int32_t result = kPollUnderWay;
        BusMessage reply{};
        const bool finished = session.RunUntil(
            [&] {
                uint8_t buf[64];
                const ssize_t n = ::read(pty.master(), buf, sizeof buf);
                if (n > 0) seen.insert(seen.end(), buf, buf + n);
                if (!answered && seen.size() >= 6) {
                    answered = pty.WriteMaster({0x55, 0x02, 0x07, 0x07, 0x01, 0x99});
                }
                int32_t info = 0;
                result = g_apiRequest.Poll(reply, info, info, info);
                return result != kPollUnderWay;
            },
            10000);
        ASSERT_TRUE(finished);
        EXPECT_EQ(seen, (Bytes{0x55, 0x02, 0x07, 0x02, 0x00, 0x9F}));
        EXPECT_EQ(result, 2);
        EXPECT_EQ(MsgGetWord(reply, 0), 0x0107);
    }
    // The session closed the port on its way out.
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_FALSE(g_serialPort.IsOpen());
    ::unsetenv("NORVIX_COM43");
    ResetShellSettings();
}

}  // namespace
}  // namespace nvx::cli
