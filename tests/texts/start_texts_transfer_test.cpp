// Whole transfers through the real protocol stack under virtual time, against a fake panel on
// the link registers whose faults can be aimed at single characters.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "fake_panel.h"
#include "journal/service_journal.h"
#include "platform/text_encoding.h"
#include "platform/timer_service.h"
#include "support/scratch_start_directory.h"
#include "texts/start_texts.h"
#include "texts_doubles.h"

namespace nvx {
namespace {

using test::FakePanel;

std::vector<int> ZeroToTwentyNineThenIdle() {
    std::vector<int> v{0};
    for (int i = 1; i < 30; ++i) v.push_back(i);
    v.push_back(0);
    return v;
}

class StartTextsTransferTest : public ::testing::Test {
protected:
    StartTextsTransferTest() : calendar(clock, 1'700'000'000) {}

    void SetUp() override {
        SetCalendar(&calendar);
        startDirectory.Use();
        InitCommStack();
        g_tickPeriodMs = g_startTickPeriodMs = 10;
        g_textsTransfer = TextsTransfer{};
        // Start order as at program start: pump, tick, then the window's timer.
        panel = std::make_unique<FakePanel>(clock);
        tickId = clock.start(g_tickPeriodMs, [] { TickProc(); });
        g_measureStart = Calendar().now();
        g_tickCount = 0;
        logic.InitDialog();
    }
    void TearDown() override {
        clock.stop(tickId);
        SetCalendar(nullptr);
        ApiRequest::Reset();
    }

    static bool Settled() {
        return g_textsTransfer.readState == kTextsProcIdle &&
               g_textsTransfer.writeState == kTextsProcIdle &&
               TextsRequestState == kTextsRequestIdle && ApiRequest::State() == kRequestIdle;
    }
    // Runs until the window is Ready with nothing under way; a silent read takes about 95 s.
    bool RunToReady(uint64_t maxMs = 200'000) {
        return clock.advanceUntil([] { return TextsWindowState == kTextsReady && Settled(); }, maxMs,
                                  10);
    }
    void Write(const std::string& line1, const std::string& line2) {
        view.controls.writeLine1 = line1;
        view.controls.writeLine2 = line2;
        logic.OnWrite();
        ASSERT_TRUE(RunToReady());
    }

    // A finished write is journalled there.
    test::ScratchStartDirectory startDirectory;
    VirtualClock clock;
    TimerCalendarClock calendar;
    std::unique_ptr<FakePanel> panel;
    int tickId = 0;
    test::RecordingShell shell;
    test::RecordingTextsView view;
    StartTexts logic{clock, shell, view};
};

TEST_F(StartTextsTransferTest, WritingSendsThirtyCharactersWithBitSevenSet) {
    Write("ABC", "");
    const std::string expected = std::string(12, ' ') + "ABC" + std::string(15, ' ');
    ASSERT_EQ(panel->requests.size(), 30u);
    for (int address = 0; address < 30; ++address) {
        const auto& r = panel->requests[address];
        EXPECT_EQ(r.id, 0x0411) << address;
        ASSERT_EQ(r.data.size(), 2u) << address;
        EXPECT_EQ(r.data[0], 0x80 | address) << address;
        EXPECT_EQ(r.data[1], static_cast<uint8_t>(expected[address])) << address;
    }
    EXPECT_EQ(panel->text, expected);
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Writing text finished"});
    EXPECT_EQ(panel->badFrames, 0);
    // The bar shows the address of the character just finished: never 30, back to 0 when idle.
    clock.advance(10);
    EXPECT_EQ(view.writingValues, ZeroToTwentyNineThenIdle());
    EXPECT_EQ(view.readingValues, std::vector<int>{0});
    // A write leaves the read fields alone.
    EXPECT_EQ(view.readFieldWrites, 0);
}

TEST_F(StartTextsTransferTest, LongTextsAreCutToFifteenCharacters) {
    Write("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "Zweite Zeile ist zu lang");
    EXPECT_EQ(panel->text, "ABCDEFGHIJKLMNOZweite Zeile is");
}

TEST_F(StartTextsTransferTest, AWriteThePanelWillNotShowAsTypedIsToldAndAskedFirst) {
    // As typed into the window: 17 characters, and a sign ISO 8859-1 lacks.
    view.typed1 = "Kessel 2 Nord-Ost";
    view.typed2 = "5 \xE2\x82\xAC";
    view.controls.writeLine1 = Utf8ToLatin1(view.typed1);
    view.controls.writeLine2 = Utf8ToLatin1(view.typed2);
    const std::vector<std::string> warnings = {
        " > Warning: line 1 has 17 characters, the panel shows 15: characters 16 to 17 are cut "
        "(\"st\")",
        " > Warning: line 2: the panel cannot show U+20AC at 3: written as \"?\"",
    };

    view.answers = {MessageAnswer::No};
    logic.OnWrite();
    clock.advance(1000);
    EXPECT_TRUE(panel->requests.empty());
    EXPECT_EQ(TextsWindowState, kTextsReady);
    std::vector<std::string> declined = warnings;
    declined.push_back(" > Starting texts not written");
    EXPECT_EQ(shell.log, declined);
    ASSERT_EQ(view.questions.size(), 1u);
    EXPECT_EQ(view.questions[0],
              "Line 1 has 17 characters, the panel shows 15: characters 16 to 17 are cut "
              "(\"st\")\r\nLine 2: the panel cannot show U+20AC at 3: written as \"?\"\r\n\r\n"
              "Write the texts all the same?");
    EXPECT_FALSE(std::filesystem::exists(startDirectory.dir().file(kJournalFileName)));

    // Yes writes the texts as ever: cut, "?" for the sign.
    shell.log.clear();
    logic.OnWrite();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(panel->text, "Kessel 2 Nord-O            5 ?");
    std::vector<std::string> written = warnings;
    written.push_back("I> Writing text finished");
    EXPECT_EQ(shell.log, written);
    EXPECT_EQ(view.questions.size(), 2u);

    // The journal records what was sent.
    const JournalContents journal =
        ParseJournal(test::ReadText(startDirectory.dir().file(kJournalFileName)));
    ASSERT_EQ(journal.records.size(), 1u);
    EXPECT_EQ(journal.records[0].operation,
              "starting texts written \"Kessel 2 Nord-O\" \"            5 ?\"");
    EXPECT_EQ(journal.records[0].outcome, "I> Writing text finished");

    // A text that fits is written without a word.
    shell.log.clear();
    view.typed1 = view.typed2 = "";
    view.controls.writeLine1 = "Gr\xFC\xDF" "e";
    view.controls.writeLine2 = "";
    logic.OnWrite();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Writing text finished"});
    EXPECT_EQ(view.questions.size(), 2u);
}

TEST_F(StartTextsTransferTest, WrittenTextsReadBack) {
    Write("Norvix", "Gr\xFC\xDF" "e");
    shell.log.clear();
    logic.OnRead();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(logic.fields().readLine1, "         Norvix");
    EXPECT_EQ(logic.fields().readLine2, "          Gr\xFC\xDF" "e");
    EXPECT_EQ(view.controls.readLine1, logic.fields().readLine1);
    EXPECT_EQ(view.controls.readLine2, logic.fields().readLine2);
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Reading text finished"});
    clock.advance(10);
    EXPECT_EQ(view.readingValues, ZeroToTwentyNineThenIdle());
    ASSERT_EQ(panel->requests.size(), 60u);
    for (int address = 0; address < 30; ++address) {
        const auto& r = panel->requests[30 + address];
        EXPECT_EQ(r.data, (std::vector<uint8_t>{static_cast<uint8_t>(address), 0})) << address;
    }
}

TEST_F(StartTextsTransferTest, SilentPanelGivesThirtyNoReplyLinesAndQuestionMarks) {
    panel->silent = true;
    logic.OnRead();
    ASSERT_TRUE(RunToReady());
    std::vector<std::string> expected(30, "E> No reply from Solvane");
    expected.push_back("I> Reading text finished");
    EXPECT_EQ(shell.log, expected);
    EXPECT_EQ(logic.fields().readLine1, std::string(15, '?'));
    EXPECT_EQ(logic.fields().readLine2, std::string(15, '?'));
    // Each character was asked four times by the engine before it gave up.
    EXPECT_EQ(panel->requests.size(), 120u);
}

TEST_F(StartTextsTransferTest, OneWrongEchoGivesOneLineAndTheWriteGoesOn) {
    panel->wrongEcho[17] = 'x';
    Write("ABC", "DEF");
    EXPECT_EQ(shell.log, (std::vector<std::string>{"E> Wrong command response at ID: 0411",
                                                   "I> Writing text finished"}));
    EXPECT_EQ(panel->requests.size(), 30u);
    EXPECT_EQ(panel->text, std::string(12, ' ') + "ABC" + std::string(12, ' ') + "DEF");
}

TEST_F(StartTextsTransferTest, RepliesWithoutDataAreWrongFormat) {
    panel->shortReplies = true;
    logic.OnRead();
    ASSERT_TRUE(RunToReady());
    std::vector<std::string> expected(30, "E> Wrong format response at ID: 0411");
    expected.push_back("I> Reading text finished");
    EXPECT_EQ(shell.log, expected);
    EXPECT_EQ(logic.fields().readLine1, std::string(15, '?'));

    shell.log.clear();
    logic.OnTestCom();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> Wrong format response at ID: 0411"});
}

TEST_F(StartTextsTransferTest, LostRequestIsResentByTheEngineWithoutALine) {
    panel->text = "SOLVANE PANEL  LINE TWO HERE  ";
    panel->silentFor[4] = 2;
    logic.OnRead();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Reading text finished"});
    EXPECT_EQ(logic.fields().readLine1, "SOLVANE PANEL  ");
    EXPECT_EQ(logic.fields().readLine2, "LINE TWO HERE  ");
    EXPECT_EQ(panel->requests.size(), 32u);
}

TEST_F(StartTextsTransferTest, WriteDuringAReadIsRefused) {
    panel->text = std::string(30, 'r');
    logic.OnRead();
    clock.advance(200);
    ASSERT_EQ(TextsWindowState, kTextsReading);
    view.controls.writeLine1 = "NEW";
    logic.OnWrite();
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> Command in progress"});
    EXPECT_EQ(TextsWindowState, kTextsReading);
    EXPECT_EQ(g_textsTransfer.writeState, kTextsProcIdle);
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(panel->text, std::string(30, 'r'));
    for (const auto& r : panel->requests) EXPECT_EQ(r.data[0] & 0x80, 0);
    EXPECT_EQ(shell.log.back(), "I> Reading text finished");
}

TEST_F(StartTextsTransferTest, ReadRefreshesOnlyTheReadFieldsSoTypingSurvives) {
    view.controls.readLine1 = "old line one   ";
    logic.OnRead();
    clock.advance(300);
    view.controls.writeLine1 = "typing...";
    view.controls.writeLine2 = "still typing";
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(view.controls.writeLine1, "typing...");
    EXPECT_EQ(view.controls.writeLine2, "still typing");
    EXPECT_EQ(view.readFieldWrites, 30);  // one refresh per finished character
    EXPECT_EQ(view.controls.readLine1, std::string(15, ' '));
    EXPECT_EQ(view.readCalls, 0);
}

TEST_F(StartTextsTransferTest, ZeroCharactersFromThePanelShowAsSpaces) {
    panel->text = std::string("AB\0DEFGHIJKLMNO", 15) + std::string(14, 'z') + std::string(1, '\0');
    logic.OnRead();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(logic.fields().readLine1, "AB DEFGHIJKLMNO");
    EXPECT_EQ(logic.fields().readLine2, std::string(14, 'z') + " ");
}

TEST_F(StartTextsTransferTest, CommunicationTest) {
    logic.OnTestCom();
    EXPECT_EQ(TextsWindowState, kTextsTesting);
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Communication OK"});
    ASSERT_EQ(panel->requests.size(), 1u);
    EXPECT_EQ(panel->requests[0].id, 0x0411);
    EXPECT_EQ(panel->requests[0].data, (std::vector<uint8_t>{0, 0}));
}

TEST_F(StartTextsTransferTest, FailedTestLeavesTestingSoTheButtonsWorkAgain) {
    panel->silent = true;
    logic.OnTestCom();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> No reply from Solvane"});
    panel->silent = false;
    shell.log.clear();
    logic.OnTestCom();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Communication OK"});
}

TEST_F(StartTextsTransferTest, ReadGoesOnAfterCloseAndShowingAgainThenWorks) {
    logic.OnRead();
    clock.advance(100);
    logic.OnClose();
    logic.OnShow();  // still reading: stays closed until the read ends
    logic.OnTestCom();
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> COM Port NOT Open"});
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log.back(), "I> Reading text finished");

    logic.OnClose();
    logic.OnShow();
    EXPECT_EQ(TextsWindowState, kTextsReady);
    shell.log.clear();
    logic.OnTestCom();
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Communication OK"});
}

TEST_F(StartTextsTransferTest, WaitsForAnotherWindowsRequestWithoutAMessage) {
    BusMessage other{};
    MsgSetByte(other, 0, 0xFE);
    ASSERT_TRUE(g_apiRequest.Start(0x0080, other, 0));
    logic.OnTestCom();
    clock.advance(30);
    EXPECT_EQ(TextsRequestState, kTextsRequestPending);
    // The other window collects its result (the fake panel does not answer 0x0080).
    ASSERT_TRUE(clock.advanceUntil([] { return ApiRequest::State() == kRequestFailed; }, 10'000, 10));
    BusMessage reply{};
    int32_t counter = 0;
    EXPECT_EQ(g_apiRequest.Poll(reply, counter, counter, counter), kPollFailed);
    ASSERT_TRUE(RunToReady());
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> Communication OK"});
}

}  // namespace
}  // namespace nvx
