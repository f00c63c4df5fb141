// The window's state machines step by step, with the request engine standing still.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "platform/timer_service.h"
#include "support/scratch_start_directory.h"
#include "texts/start_texts.h"
#include "texts_doubles.h"

namespace nvx {
namespace {

using test::RecordingShell;
using test::RecordingTextsView;

class StartTextsLogicTest : public ::testing::Test {
protected:
    void SetUp() override {
        ApiRequest::Reset();
        g_tickPeriodMs = 10;
        g_textsTransfer = TextsTransfer{};
        startDirectory.Use();
        logic.InitDialog();
    }
    void TearDown() override { ApiRequest::Reset(); }

    // A finished write is journalled there.
    test::ScratchStartDirectory startDirectory;

    // Puts the transfer on character (line, index) with the given buffer.
    void At(int line, int index) {
        g_textsTransfer.lineIndex = line;
        g_textsTransfer.charIndex = index;
    }

    VirtualClock clock;
    RecordingShell shell;
    RecordingTextsView view;
    StartTexts logic{clock, shell, view};
};

TEST(TextsLineWarnings, NameWhatThePanelWillNotGetAndWhere) {
    const struct {
        const char* name;
        int line;
        std::string typed;  // UTF-8
        std::vector<std::string> warnings;
    } cases[] = {
        {"empty", 1, "", {}},
        {"fifteen characters", 1, "ABCDEFGHIJKLMNO", {}},
        {"ISO 8859-1 letters take one place", 2, "Gr\xC3\xBC\xC3\x9F" "e \xC3\x84rger", {}},
        {"one too many", 1, "ABCDEFGHIJKLMNOP",
         {" > Warning: line 1 has 16 characters, the panel shows 15: character 16 is cut (\"P\")"}},
        {"several cut", 2, "Temperatur zu hoch",
         {" > Warning: line 2 has 18 characters, the panel shows 15: characters 16 to 18 are cut "
          "(\"och\")"}},
        {"outside ISO 8859-1", 1, "5 \xE2\x82\xAC / \xF0\x9F\x94\xA5",
         {" > Warning: line 1: the panel cannot show U+20AC at 3, U+1F525 at 7: written as \"?\""}},
        {"no UTF-8", 2, "A\xFF" "B\xC3",
         {" > Warning: line 2: the panel cannot show byte 0xFF at 2, byte 0xC3 at 4: written as "
          "\"?\""}},
        {"control characters", 1, "\x1B[2J\tx\xC2\x85",
         {" > Warning: line 1: the panel cannot show the control characters U+001B at 1, U+0009 at "
          "5, U+0085 at 7: written as they are"}},
        // A character past the 15th is only cut, whatever else it is; cut text is shown escaped.
        {"all three", 1, "A\xE2\x82\xAC" "CDEFGHIJKLM\x07O\x1B\xE2\x82\xAC",
         {" > Warning: line 1 has 17 characters, the panel shows 15: characters 16 to 17 are cut "
          "(\"\\x1B?\")",
          " > Warning: line 1: the panel cannot show U+20AC at 2: written as \"?\"",
          " > Warning: line 1: the panel cannot show the control characters U+0007 at 14: written "
          "as they are"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TextsLineWarnings(c.line, c.typed), c.warnings);
    }
}

TEST(TextsJournalText, QuotesBothLinesAsSentAndEscapesWhatCouldBreakARecord) {
    EXPECT_EQ(TextsJournalText("            ABC", "               "),
              "\"            ABC\" \"               \"");
    EXPECT_EQ(TextsJournalText("  a\\x1B\r\n=1+2,\"\xC4", "\x1B[2J\t\x7F        "),
              "\"  a\\\\x1B\\x0D\\x0A=1+2,\"\xC4\" \"\\x1B[2J\\x09\\x7F        \"");
}

TEST_F(StartTextsLogicTest, InitialisationSetsRangesTimerAndStates) {
    EXPECT_EQ(view.rangeMin, 0);
    EXPECT_EQ(view.rangeMax, 30);
    EXPECT_TRUE(clock.isRunning(logic.timerId()));
    EXPECT_EQ(TextsWindowState, kTextsReady);
    EXPECT_EQ(TextsRequestState, kTextsRequestIdle);
    EXPECT_EQ(g_textsTransfer.readState, kTextsProcIdle);
    EXPECT_EQ(g_textsTransfer.writeState, kTextsProcIdle);
    EXPECT_EQ(g_textsTransfer.textBuffer[0], std::string(15, ' '));
    EXPECT_EQ(g_textsTransfer.textBuffer[1], std::string(15, ' '));
    EXPECT_EQ(logic.exchangeHandler(), nullptr);
}

TEST_F(StartTextsLogicTest, TimerRunsAtTheTickPeriodOfCreationTime) {
    g_tickPeriodMs = 40;
    VirtualClock other;
    RecordingTextsView otherView;
    StartTexts second(other, shell, otherView);
    second.InitDialog();
    g_tickPeriodMs = 10;  // a later measurement does not change the running timer
    other.advance(39);
    EXPECT_TRUE(otherView.readingValues.empty());
    other.advance(1);
    EXPECT_EQ(otherView.readingValues, std::vector<int>{0});
}

TEST_F(StartTextsLogicTest, DestroyingTheLogicStopsItsTimer) {
    VirtualClock other;
    int id = 0;
    {
        StartTexts second(other, shell, view);
        second.InitDialog();
        id = second.timerId();
        EXPECT_TRUE(other.isRunning(id));
    }
    EXPECT_FALSE(other.isRunning(id));
}

TEST_F(StartTextsLogicTest, ReportLinesByCode) {
    ASSERT_EQ(logic.PrepareTextsRequest(&StartTexts::TestExchange, 0x0411), 0);
    const struct {
        int32_t code;
        const char* line;
    } cases[] = {
        {1, "E> COM Port NOT Open"},
        {3, "E> Command in progress"},
        {4, "E> Error initiating transfer"},
        {5, "E> No reply from Solvane"},
        {6, "E> Wrong command response at ID: 0411"},
        {7, "E> Wrong format response at ID: 0411"},
        {8, "I> Communication OK"},
        {9, "I> Reading text finished"},
        {10, "I> Writing text finished"},
        {0, ""},
        {2, ""},
        {11, ""},
        {-5, ""},
    };
    for (const auto& c : cases) {
        shell.log.clear();
        logic.ReportTextsResult(c.code);
        ASSERT_EQ(shell.log.size(), 1u) << c.code;
        EXPECT_EQ(shell.log[0], c.line) << c.code;
    }
}

TEST_F(StartTextsLogicTest, ReportUsesTheStoredIdentifierInUpperCaseHex) {
    ASSERT_EQ(logic.PrepareTextsRequest(&StartTexts::TestExchange, 0x2BC), 0);
    logic.ReportTextsResult(6);
    logic.ReportTextsResult(7);
    EXPECT_EQ(shell.log, (std::vector<std::string>{"E> Wrong command response at ID: 02BC",
                                                   "E> Wrong format response at ID: 02BC"}));
}

enum class Button { Read, Write, Test };

TEST_F(StartTextsLogicTest, ButtonsByWindowState) {
    const struct {
        int32_t state;
        Button button;
        const char* line;  // nullptr: no line
        int32_t stateAfter;
        int32_t readAfter;
        int32_t writeAfter;
        int32_t requestAfter;
    } cases[] = {
        {kTextsNotOpen, Button::Read, "E> COM Port NOT Open", kTextsNotOpen, 0, 0, 0},
        {kTextsNotOpen, Button::Write, "E> COM Port NOT Open", kTextsNotOpen, 0, 0, 0},
        {kTextsNotOpen, Button::Test, "E> COM Port NOT Open", kTextsNotOpen, 0, 0, 0},
        {kTextsReady, Button::Read, nullptr, kTextsReading, kTextsProcStarting, 0, 0},
        {kTextsReady, Button::Write, nullptr, kTextsWriting, 0, kTextsProcStarting, 0},
        {kTextsReady, Button::Test, nullptr, kTextsTesting, 0, 0, kTextsRequestPending},
        {kTextsReading, Button::Read, "E> Command in progress", kTextsReading, 0, 0, 0},
        {kTextsReading, Button::Write, "E> Command in progress", kTextsReading, 0, 0, 0},
        {kTextsReading, Button::Test, "E> Command in progress", kTextsReading, 0, 0, 0},
        {kTextsWriting, Button::Read, "E> Command in progress", kTextsWriting, 0, 0, 0},
        {kTextsWriting, Button::Write, "E> Command in progress", kTextsWriting, 0, 0, 0},
        {kTextsWriting, Button::Test, "E> Command in progress", kTextsWriting, 0, 0, 0},
        {kTextsTesting, Button::Read, "E> Command in progress", kTextsTesting, 0, 0, 0},
        {kTextsTesting, Button::Write, "E> Command in progress", kTextsTesting, 0, 0, 0},
        {kTextsTesting, Button::Test, "E> Command in progress", kTextsTesting, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " button " << int(c.button));
        logic.InitDialog();
        shell.log.clear();
        TextsWindowState = c.state;
        switch (c.button) {
        case Button::Read: logic.OnRead(); break;
        case Button::Write: logic.OnWrite(); break;
        case Button::Test: logic.OnTestCom(); break;
        }
        if (c.line)
            EXPECT_EQ(shell.log, std::vector<std::string>{c.line});
        else
            EXPECT_TRUE(shell.log.empty());
        EXPECT_EQ(TextsWindowState, c.stateAfter);
        EXPECT_EQ(g_textsTransfer.readState, c.readAfter);
        EXPECT_EQ(g_textsTransfer.writeState, c.writeAfter);
        EXPECT_EQ(TextsRequestState, c.requestAfter);
        TextsRequestState = kTextsRequestIdle;
    }
}

TEST_F(StartTextsLogicTest, TestButtonBuildsTheTestRequest) {
    logic.OnTestCom();
    const BusMessage& m = g_textsTransfer.requestMessage;
    EXPECT_EQ(g_textsTransfer.commandId, 0x0411u);
    EXPECT_EQ(logic.exchangeHandler(), &StartTexts::TestExchange);
    EXPECT_EQ(MsgDataLength(m), 2);
    EXPECT_EQ(m.data[0], 0);
    EXPECT_EQ(m.data[1], 0);
}

TEST_F(StartTextsLogicTest, TestButtonWhileTheRequestSettlesCannotInitiate) {
    TextsRequestState = kTextsRequestSettling;
    g_textsTransfer.requestMessage.length = 2;
    g_textsTransfer.requestMessage.data[0] = 0x9A;
    logic.OnTestCom();
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> Error initiating transfer"});
    EXPECT_EQ(TextsWindowState, kTextsReady);
    EXPECT_EQ(TextsRequestState, kTextsRequestSettling);
    // The message may still carry another exchange's reply; a refused build leaves it alone.
    EXPECT_EQ(g_textsTransfer.requestMessage.data[0], 0x9A);
    EXPECT_EQ(logic.exchangeHandler(), nullptr);
}

TEST_F(StartTextsLogicTest, CloseAndCancel) {
    TextsWindowState = kTextsReading;
    logic.OnCancel();
    EXPECT_EQ(view.hideCalls, 1);
    EXPECT_EQ(TextsWindowState, kTextsReading);
    EXPECT_EQ(shell.markOpenCalls, 0);

    logic.OnClose();
    EXPECT_EQ(view.hideCalls, 2);
    EXPECT_EQ(TextsWindowState, kTextsNotOpen);
    EXPECT_EQ(shell.markOpenCalls, 1);
    // The timer goes on, so work under way completes while hidden.
    EXPECT_TRUE(clock.isRunning(logic.timerId()));
}

TEST_F(StartTextsLogicTest, ShowingAgainAfterCloseMakesTheWindowReady) {
    const struct {
        const char* name;
        int32_t windowState;
        int32_t readState;
        int32_t writeState;
        int32_t requestState;
        StartTexts::ExchangeHandler handler;
        int32_t expected;
    } cases[] = {
        {"closed and idle", kTextsNotOpen, 0, 0, kTextsRequestIdle, nullptr, kTextsReady},
        {"closed, last request settling", kTextsNotOpen, 0, 0, kTextsRequestSettling,
         &StartTexts::TestExchange, kTextsReady},
        {"closed during a read", kTextsNotOpen, kTextsProcAwaiting, 0, kTextsRequestWaiting,
         &StartTexts::ReadCharExchange, kTextsNotOpen},
        {"closed while a read waits to start", kTextsNotOpen, kTextsProcStarting, 0,
         kTextsRequestIdle, nullptr, kTextsNotOpen},
        {"closed during a write", kTextsNotOpen, 0, kTextsProcRequesting, kTextsRequestIdle,
         &StartTexts::WriteCharExchange, kTextsNotOpen},
        {"closed during a pending test", kTextsNotOpen, 0, 0, kTextsRequestPending,
         &StartTexts::TestExchange, kTextsNotOpen},
        {"closed during a waiting test", kTextsNotOpen, 0, 0, kTextsRequestWaiting,
         &StartTexts::TestExchange, kTextsNotOpen},
        {"hidden by Escape while reading", kTextsReading, kTextsProcAwaiting, 0,
         kTextsRequestWaiting, &StartTexts::ReadCharExchange, kTextsReading},
        {"hidden by Escape while testing", kTextsTesting, 0, 0, kTextsRequestWaiting,
         &StartTexts::TestExchange, kTextsTesting},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logic.InitDialog();
        if (c.handler) {
            ASSERT_EQ(logic.PrepareTextsRequest(c.handler, kTextsCommandId), 0);
        }
        TextsWindowState = c.windowState;
        g_textsTransfer.readState = c.readState;
        g_textsTransfer.writeState = c.writeState;
        TextsRequestState = c.requestState;
        logic.OnShow();
        EXPECT_EQ(TextsWindowState, c.expected);
    }
}

TEST_F(StartTextsLogicTest, PrepareRefusesWhileARequestIsAnywhereButIdle) {
    for (int32_t state : {kTextsRequestPending, kTextsRequestWaiting, kTextsRequestSettling}) {
        TextsRequestState = state;
        EXPECT_EQ(logic.PrepareTextsRequest(&StartTexts::ReadCharExchange, 0x0411), 1);
        EXPECT_EQ(TextsRequestState, state);
        EXPECT_EQ(logic.exchangeHandler(), nullptr);
    }
    TextsRequestState = kTextsRequestIdle;
    g_textsTransfer.requestMessage.length = 4;
    EXPECT_EQ(logic.PrepareTextsRequest(&StartTexts::WriteCharExchange, 0x0123), 0);
    EXPECT_EQ(TextsRequestState, kTextsRequestPending);
    EXPECT_EQ(g_textsTransfer.commandId, 0x0123u);
    EXPECT_EQ(logic.exchangeHandler(), &StartTexts::WriteCharExchange);
    EXPECT_EQ(MsgDataLength(g_textsTransfer.requestMessage), 0);
}

TEST_F(StartTextsLogicTest, ReadCharacterRequestCarriesTheAddress) {
    const struct {
        int line;
        int index;
        uint8_t address;
    } cases[] = {{0, 0, 0}, {0, 14, 14}, {1, 0, 15}, {1, 3, 18}, {1, 14, 29}};
    for (const auto& c : cases) {
        TextsRequestState = kTextsRequestIdle;
        At(c.line, c.index);
        g_textsTransfer.textBuffer[c.line][c.index] = 'x';
        ASSERT_EQ(logic.ReadCharExchange(1, 0), 0);
        const BusMessage& m = g_textsTransfer.requestMessage;
        EXPECT_EQ(MsgDataLength(m), 2);
        EXPECT_EQ(m.data[0], c.address);
        EXPECT_EQ(m.data[1], 0);
        EXPECT_EQ(g_textsTransfer.textBuffer[c.line][c.index], '?');
        EXPECT_EQ(logic.exchangeHandler(), &StartTexts::ReadCharExchange);
        EXPECT_EQ(g_textsTransfer.commandId, kTextsCommandId);
    }
}

TEST_F(StartTextsLogicTest, ReadCharacterReplyJudgement) {
    const struct {
        int32_t pollResult;
        int32_t judged;
        char stored;
    } cases[] = {{2, kExchangeGood, 'Q'}, {0, kExchangeWrongFormat, '?'},
                 {4, kExchangeWrongFormat, '?'}};
    for (const auto& c : cases) {
        TextsRequestState = kTextsRequestIdle;
        At(1, 2);
        ASSERT_EQ(logic.ReadCharExchange(1, 0), 0);
        g_textsTransfer.requestMessage.data[0] = 'Q';
        EXPECT_EQ(logic.ReadCharExchange(2, c.pollResult), c.judged) << c.pollResult;
        EXPECT_EQ(g_textsTransfer.textBuffer[1][2], c.stored) << c.pollResult;
    }
}

TEST_F(StartTextsLogicTest, WriteCharacterRequestSetsBitSevenAndCarriesTheCharacter) {
    g_textsTransfer.textBuffer[0] = "ABCDEFGHIJKLMNO";
    g_textsTransfer.textBuffer[1] = "abcdefghijklmn\xE4";
    const struct {
        int line;
        int index;
        uint8_t addressByte;
        uint8_t character;
    } cases[] = {{0, 0, 0x80, 'A'}, {0, 14, 0x8E, 'O'}, {1, 0, 0x8F, 'a'}, {1, 14, 0x9D, 0xE4}};
    for (const auto& c : cases) {
        TextsRequestState = kTextsRequestIdle;
        At(c.line, c.index);
        ASSERT_EQ(logic.WriteCharExchange(1, 0), 0);
        const BusMessage& m = g_textsTransfer.requestMessage;
        EXPECT_EQ(MsgDataLength(m), 2);
        EXPECT_EQ(m.data[0], c.addressByte);
        EXPECT_EQ(m.data[1], c.character);
        EXPECT_EQ(logic.exchangeHandler(), &StartTexts::WriteCharExchange);
    }
}

TEST_F(StartTextsLogicTest, WriteCharacterEchoJudgement) {
    g_textsTransfer.textBuffer[0] = "            ABC";
    const struct {
        int32_t pollResult;
        uint8_t echo;
        int32_t judged;
    } cases[] = {{2, 'C', kExchangeGood},         {2, 'c', kExchangeWrongContent},
                 {2, 0, kExchangeWrongContent},   {4, 'C', kExchangeWrongFormat},
                 {0, 'C', kExchangeWrongFormat}};
    for (const auto& c : cases) {
        TextsRequestState = kTextsRequestIdle;
        At(0, 14);
        ASSERT_EQ(logic.WriteCharExchange(1, 0), 0);
        g_textsTransfer.requestMessage.data[0] = c.echo;
        EXPECT_EQ(logic.WriteCharExchange(2, c.pollResult), c.judged)
            << c.pollResult << " " << int(c.echo);
    }
}

TEST_F(StartTextsLogicTest, TestReplyJudgementEndsTheTest) {
    const struct {
        int32_t pollResult;
        int32_t judged;
        std::vector<std::string> log;
    } cases[] = {{2, kExchangeGood, {"I> Communication OK"}},
                 {0, kExchangeWrongFormat, {}},
                 {4, kExchangeWrongFormat, {}}};
    for (const auto& c : cases) {
        shell.log.clear();
        TextsWindowState = kTextsTesting;
        EXPECT_EQ(logic.TestExchange(2, c.pollResult), c.judged);
        EXPECT_EQ(shell.log, c.log);
        EXPECT_EQ(TextsWindowState, kTextsReady);
    }
}

TEST_F(StartTextsLogicTest, WriteStartTakesTheFieldsCutAndRightAligned) {
    const struct {
        const char* line1;
        const char* line2;
        const char* buffer1;
        const char* buffer2;
    } cases[] = {
        {"ABC", "", "            ABC", "               "},
        {"ABCDEFGHIJKLMNOPQR", "123456789012345", "ABCDEFGHIJKLMNO", "123456789012345"},
        {"  x ", "\xC4\xD6\xDC", "             x ", "            \xC4\xD6\xDC"},
    };
    for (const auto& c : cases) {
        logic.InitDialog();
        view.controls.writeLine1 = c.line1;
        view.controls.writeLine2 = c.line2;
        logic.OnWrite();
        logic.WriteStep();
        EXPECT_EQ(g_textsTransfer.textBuffer[0], c.buffer1);
        EXPECT_EQ(g_textsTransfer.textBuffer[1], c.buffer2);
        EXPECT_EQ(g_textsTransfer.writeState, kTextsProcRequesting);
        EXPECT_EQ(g_textsTransfer.lineIndex, 0);
        EXPECT_EQ(g_textsTransfer.charIndex, 0);
    }
}

TEST_F(StartTextsLogicTest, ProceduresWaitToStartWhileARequestIsBusy) {
    TextsRequestState = kTextsRequestSettling;
    g_textsTransfer.settleCountdownMs = 15;  // two ticks of 10 ms
    logic.OnRead();
    logic.OnTimer();
    EXPECT_EQ(g_textsTransfer.readState, kTextsProcStarting);
    EXPECT_EQ(TextsRequestState, kTextsRequestSettling);
    logic.OnTimer();
    EXPECT_EQ(g_textsTransfer.readState, kTextsProcStarting);
    EXPECT_EQ(TextsRequestState, kTextsRequestIdle);
    logic.OnTimer();
    EXPECT_EQ(g_textsTransfer.readState, kTextsProcRequesting);
    logic.OnTimer();  // builds the first request; the engine takes it in the same tick
    EXPECT_EQ(g_textsTransfer.readState, kTextsProcAwaiting);
    EXPECT_EQ(TextsRequestState, kTextsRequestWaiting);
    EXPECT_EQ(ApiRequest::State(), kRequestNew);
    EXPECT_TRUE(shell.log.empty());
}

TEST_F(StartTextsLogicTest, PendingRequestWaitsSilentlyForTheEngine) {
    BusMessage other{};
    MsgSetByte(other, 0, 0x12);
    ASSERT_TRUE(g_apiRequest.Start(0x0080, other, 0));  // another window's request
    logic.OnTestCom();
    for (int i = 0; i < 5; ++i) logic.RequestStep();
    EXPECT_EQ(TextsRequestState, kTextsRequestPending);
    EXPECT_TRUE(shell.log.empty());
    ApiRequest::Reset();
    logic.RequestStep();
    EXPECT_EQ(TextsRequestState, kTextsRequestWaiting);
    EXPECT_EQ(ApiRequest::State(), kRequestNew);
}

TEST_F(StartTextsLogicTest, SettlingEndsWhenTheCountdownFallsBelowZero) {
    const struct {
        uint32_t tickMs;
        int32_t countdown;
        int ticks;
    } cases[] = {{10, 0, 1}, {10, 10, 2}, {10, 25, 3}, {15, 30, 3}};
    for (const auto& c : cases) {
        g_tickPeriodMs = c.tickMs;
        TextsRequestState = kTextsRequestSettling;
        g_textsTransfer.settleCountdownMs = c.countdown;
        int ticks = 0;
        while (TextsRequestState == kTextsRequestSettling && ticks < 10) {
            logic.RequestStep();
            ++ticks;
        }
        EXPECT_EQ(ticks, c.ticks) << c.tickMs << " " << c.countdown;
        EXPECT_EQ(TextsRequestState, kTextsRequestIdle);
    }
}

TEST_F(StartTextsLogicTest, LostTestRequestReturnsTheWindowToReady) {
    logic.OnTestCom();
    logic.RequestStep();
    ASSERT_EQ(TextsRequestState, kTextsRequestWaiting);
    ApiRequest::Reset();  // the result was never collected: Poll gives -2
    logic.RequestStep();
    EXPECT_EQ(TextsRequestState, kTextsRequestSettling);
    EXPECT_EQ(TextsWindowState, kTextsReady);
    EXPECT_TRUE(shell.log.empty());
}

TEST_F(StartTextsLogicTest, ZeroCharactersReadAreShownAsSpaces) {
    g_textsTransfer.readState = kTextsProcAwaiting;
    TextsWindowState = kTextsReading;
    g_textsTransfer.textBuffer[0] = std::string("AB\0D", 4) + std::string(11, 'x');
    g_textsTransfer.textBuffer[1] = std::string(14, 'y') + std::string(1, '\0');
    At(1, 14);
    logic.ReadStep();
    EXPECT_EQ(logic.fields().readLine1, "AB D" + std::string(11, 'x'));
    EXPECT_EQ(logic.fields().readLine2, std::string(14, 'y') + " ");
    EXPECT_EQ(view.controls.readLine1, logic.fields().readLine1);
    EXPECT_EQ(TextsWindowState, kTextsReady);
}

}  // namespace
}  // namespace nvx
