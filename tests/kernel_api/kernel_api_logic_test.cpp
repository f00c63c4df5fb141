// The kernel API over the real stack and a scripted device on an in-memory line, in virtual time.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "journal/service_journal.h"
#include "kernel_api/kernel_api.h"
#include "kernel_command_cases.h"
#include "kernel_doubles.h"

namespace nvx {
namespace {

using test::Bytes;
using test::SeenFrame;

class KernelApiTest : public test::KernelLineTest {
protected:
    void SetUp() override {
        KernelLineTest::SetUp();
        clock.advance(windowTimerOffsetMs);
        api.OnInitDialog();
        AnswerWith({0, 0});
    }

    // Selects the row of `label`, types the parameter and presses "Send Command".
    void Send(const char* label, const std::string& parameter) {
        view.screen.commandRow = FindKernelCommand(label);
        ASSERT_GE(view.screen.commandRow, 0) << label;
        view.screen.parameterText = parameter;
        api.OnSendCommand();
    }

    // A second client of the engine (the starting texts, say) holding it with its own request.
    void OtherClientStarts() {
        BusMessage m{};
        MsgSetByte(m, 0, 0x01);
        ASSERT_TRUE(g_apiRequest.Start(0x0411, m, 0));
    }
    int32_t OtherClientCollects(BusMessage& result) {
        int32_t info = 0;
        return g_apiRequest.Poll(result, info, info, info);
    }

    std::vector<SeenFrame> FramesWithId(uint16_t id) const {
        std::vector<SeenFrame> out;
        for (const SeenFrame& f : frames) {
            if (f.id == id) out.push_back(f);
        }
        return out;
    }

    uint64_t windowTimerOffsetMs = 0;  // the window's ticks fall between the scheduler's
    test::RecordingShell shell;
    test::RecordingKernelView view;
    KernelApi api{clock, shell, view};
};

class KernelApiLateTimerTest : public KernelApiTest {
protected:
    KernelApiLateTimerTest() { windowTimerOffsetMs = 5; }
};

// ---- creation and closing ----

TEST_F(KernelApiTest, CreationShowsTheInitialFieldsAndMakesTheWindowReady) {
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);
    EXPECT_EQ(KernelRequestState, kKernelRequestIdle);
    ASSERT_EQ(view.writes.size(), 1u);
    const KernelApiFields& shown = view.screen;
    EXPECT_EQ(shown.commandRow, -1);
    EXPECT_EQ(shown.parameterText, "0");
    EXPECT_EQ(shown.returnCodeDecimal, "");
    EXPECT_EQ(shown.returnCodeHex, "");
    EXPECT_EQ(shown.hardwareVersion, "unknown");
    EXPECT_EQ(shown.norvixVersion, "unknown");
    EXPECT_EQ(shown.applicationVersion, "unknown");
    EXPECT_EQ(shown.slotNumber, 0);
    EXPECT_EQ(shown.slotResult, "0");
    EXPECT_EQ(shown.timerNumber, 0);
    EXPECT_EQ(shown.timerResult, "0");
    EXPECT_EQ(shown.bytesResult, "00 00 00 00");
}

TEST_F(KernelApiTest, TimerRunsAtTheTickPeriodOfCreationTimeAndStopsWithTheLogic) {
    VirtualClock other;
    g_tickPeriodMs = 40;
    {
        KernelApi second(other, shell, view);
        second.OnInitDialog();
        ASSERT_EQ(other.timerCount(), 1u);
        g_tickPeriodMs = 10;  // a later measurement does not change the running timer
        KernelWindowState = kKernelWindowNotOpen;
        other.advance(39);
        EXPECT_EQ(KernelWindowState, kKernelWindowNotOpen);
        other.advance(1);
        EXPECT_EQ(KernelWindowState, kKernelWindowReady);
    }
    EXPECT_EQ(other.timerCount(), 0u);
}

TEST_F(KernelApiTest, ClosingMarksNotOpenAndTheNextIdleTickMakesItReady) {
    api.OnCancel();
    EXPECT_EQ(KernelWindowState, kKernelWindowNotOpen);
    EXPECT_EQ(shell.markOpenCalls, 1);
    api.OnBytesButton();  // before the window's next tick
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> COM Port NOT Open"});
    clock.advance(10);
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);
    clock.advance(500);
    EXPECT_TRUE(frames.empty());
}

TEST_F(KernelApiTest, ClosingWhileARequestRunsStillCompletesAndLogsIt) {
    AnswerWith({0x34, 0x12});
    Send("Reset", "0");
    clock.advance(20);
    ASSERT_NE(KernelRequestState, kKernelRequestIdle);
    api.OnCancel();
    EXPECT_EQ(KernelWindowState, kKernelWindowNotOpen);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> API Command OK"});
    EXPECT_EQ(view.screen.returnCodeDecimal, "4660");
    EXPECT_EQ(view.screen.returnCodeHex, "0x1234");
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);
}

// ---- the gates ----

TEST_F(KernelApiTest, EveryButtonIsRefusedWhileNotOpenOrBusy) {
    const std::vector<std::pair<const char*, std::function<void()>>> buttons = {
        {"Send Command", [&] { Send("Reset", "0"); }},
        {"Hardware", [&] { api.OnVersionButton(kKernelVersionHardware); }},
        {"Norvix", [&] { api.OnVersionButton(kKernelVersionNorvix); }},
        {"Application", [&] { api.OnVersionButton(kKernelVersionApplication); }},
        {"Slot", [&] { api.OnSlotButton(); }},
        {"Timer", [&] { api.OnTimerButton(); }},
        {"Bytes", [&] { api.OnBytesButton(); }},
        {"Tunnel ON", [&] { api.OnTunnelOn(); }},
        {"Tunnel OFF", [&] { api.OnTunnelOff(); }},
        {"Test Communication", [&] { api.OnTestCommunication(); }},
    };
    const struct {
        uint32_t state;
        const char* line;
    } states[] = {{kKernelWindowNotOpen, "E> COM Port NOT Open"},
                  {kKernelWindowBusy, "E> Command in Progress"}};
    for (const auto& s : states) {
        for (const auto& [name, press] : buttons) {
            shell.log.clear();
            KernelWindowState = s.state;
            KernelApiFields old;
            old.returnCodeDecimal = old.hardwareVersion = old.norvixVersion = "old";
            old.applicationVersion = old.slotResult = old.timerResult = old.bytesResult = "old";
            api.fields() = old;
            view.screen = old;
            press();
            EXPECT_EQ(shell.log, std::vector<std::string>{s.line}) << name;
            EXPECT_EQ(KernelRequestState, kKernelRequestIdle) << name;
            EXPECT_EQ(KernelWindowState, s.state) << name;
            // No result field was preset.
            for (const std::string* f :
                 {&view.screen.returnCodeDecimal, &view.screen.hardwareVersion,
                  &view.screen.norvixVersion, &view.screen.applicationVersion,
                  &view.screen.slotResult, &view.screen.timerResult, &view.screen.bytesResult})
                EXPECT_EQ(*f, "old") << name;
        }
    }
    clock.advance(1000);
    EXPECT_TRUE(frames.empty());
}

TEST_F(KernelApiTest, SeparatorRowsAndNoSelectionDoNothing) {
    for (int row : {-1, 0, 6, 10, 15, 20, 25, 30, 32, 1000}) {
        view.screen.commandRow = row;
        view.screen.parameterText = "5";
        api.OnSendCommand();
        EXPECT_EQ(KernelWindowState, kKernelWindowReady) << row;
        EXPECT_EQ(KernelRequestState, kKernelRequestIdle) << row;
    }
    clock.advance(1000);
    EXPECT_TRUE(shell.log.empty());
    EXPECT_TRUE(view.questions.empty());
    EXPECT_TRUE(frames.empty());
}

TEST_F(KernelApiTest, EveryRowOfTheListGoesOutWithItsCodeAndParameter) {
    // P = 0x1234 (0x34 as a byte) shows where each mode puts it.
    constexpr uint16_t kP = 0x1234;
    for (const test::KernelCommandCase& r : test::kKernelCommandCases) {
        frames.clear();
        shell.log.clear();
        Send(r.label, r.parameterText(kP));
        ASSERT_TRUE(RunToEnd()) << r.label;
        ASSERT_EQ(frames.size(), 1u) << r.label;
        EXPECT_TRUE(frames[0].intact) << r.label;
        EXPECT_EQ(frames[0].id, 0x0080) << r.label;
        EXPECT_EQ(frames[0].data, r.requestData(kP)) << r.label;
        const char* expected = std::string(r.label) == "Null" ? "I> Communication OK" : "I> API Command OK";
        EXPECT_EQ(shell.log, std::vector<std::string>{expected}) << r.label;
    }
}

TEST_F(KernelApiTest, FixedButtonsSendTheirCommands) {
    const struct {
        const char* name;
        void (KernelApi::*press)();
        Bytes data;
        const char* line;
    } cases[] = {
        {"Tunnel ON", &KernelApi::OnTunnelOn, {0xED, 0xFF}, "I> API Command OK"},
        {"Tunnel OFF", &KernelApi::OnTunnelOff, {0xED, 0x00}, "I> API Command OK"},
        {"Test Communication", &KernelApi::OnTestCommunication, {0x00, 0x00}, "I> Communication OK"},
    };
    for (const auto& c : cases) {
        frames.clear();
        shell.log.clear();
        view.screen.parameterText = "77";  // not read by these buttons
        const int reads = view.reads;
        (api.*c.press)();
        EXPECT_EQ(view.reads, reads) << c.name;
        ASSERT_TRUE(RunToEnd()) << c.name;
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0].id, 0x0080) << c.name;
        EXPECT_EQ(frames[0].data, c.data) << c.name;
        EXPECT_EQ(shell.log, std::vector<std::string>{c.line}) << c.name;
    }
}

// ---- the Parameter text and the confirmation ----

TEST_F(KernelApiTest, AnEmptyParameterShowsZeroBeforeTheCommandGoesOut) {
    Send("AnzCode", "");
    EXPECT_EQ(view.screen.parameterText, "0");
    EXPECT_EQ(api.fields().parameterText, "0");
    EXPECT_TRUE(frames.empty());  // shown before anything was on the line
    ASSERT_TRUE(RunToEnd());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, (Bytes{0xE8, 0x00}));
}

TEST_F(KernelApiTest, ChoosingAnotherCommandResetsTheParameter) {
    view.screen.commandRow = FindKernelCommand("ErrorSet");
    view.screen.parameterText = "0x1F4";
    view.screen.hardwareVersion = "typed";  // every field is read, then shown
    api.OnCommandSelected();
    EXPECT_EQ(view.screen.parameterText, "0");
    EXPECT_EQ(view.screen.commandRow, FindKernelCommand("ErrorSet"));
    EXPECT_EQ(api.fields().hardwareVersion, "typed");
    clock.advance(500);
    EXPECT_TRUE(frames.empty());
}

TEST_F(KernelApiTest, ConfirmationRules) {
    const struct {
        const char* label;
        const char* parameter;
        MessageAnswer answer;
        bool asked;
        Bytes sent;  // empty: nothing goes out
    } cases[] = {
        {"ErrorSet", "0x1F4", MessageAnswer::Ok, true, {0xDF, 0x00, 0xF4, 0x01}},
        {"ErrorSet", "0", MessageAnswer::Ok, false, {0xDF, 0x00, 0x00, 0x00}},
        {"ErrorClear", "0", MessageAnswer::Ok, true, {0xD8, 0x00}},
        {"ErrorClear", "0", MessageAnswer::Cancel, true, {}},
        {"EepromClear", "1", MessageAnswer::Cancel, true, {}},
        {"EepromClear", "0", MessageAnswer::Cancel, false, {0xFC, 0x00}},
        {"RtimeErrorFlags", "7", MessageAnswer::Ok, true, {0xCD, 0x00, 0x07, 0x00}},
        {"ProductionStatus", "0", MessageAnswer::Cancel, false, {0xBE, 0x00, 0x00, 0x00}},
        {"ProductionDate", "0xFFFF", MessageAnswer::Cancel, true, {}},
        {"ConfigCode", "0xFFFF", MessageAnswer::Ok, true, {0xBC, 0x00, 0xFF, 0xFF}},
        {"Reset", "5", MessageAnswer::Cancel, false, {0xFF, 0x00}},
        {"ErrorModNum", "5", MessageAnswer::Cancel, false, {0xDB, 0x05}},
    };
    for (const auto& c : cases) {
        const std::string name = std::string(c.label) + " " + c.parameter;
        frames.clear();
        shell.log.clear();
        view.questions.clear();
        view.answers = {c.answer};
        api.fields().returnCodeDecimal = "old";
        view.screen.returnCodeDecimal = "old";
        const std::size_t writes = view.writes.size();
        Send(c.label, c.parameter);
        if (c.asked) {
            ASSERT_EQ(view.questions.size(), 1u) << name;
            EXPECT_EQ(view.questions[0].text, "This will overwrite eeprom data! Shure?") << name;
            EXPECT_EQ(view.questions[0].icon, MessageIcon::Exclamation) << name;
            EXPECT_EQ(view.questions[0].buttons, MessageButtons::OkCancel) << name;
        } else {
            EXPECT_TRUE(view.questions.empty()) << name;
        }
        ASSERT_TRUE(RunToEnd(80000)) << name;
        if (c.sent.empty()) {
            EXPECT_TRUE(frames.empty()) << name;
            EXPECT_TRUE(shell.log.empty()) << name;
            EXPECT_EQ(view.writes.size(), writes) << name;  // no field changed
            EXPECT_EQ(view.screen.returnCodeDecimal, "old") << name;
        } else {
            ASSERT_EQ(frames.size(), 1u) << name;
            EXPECT_EQ(frames[0].data, c.sent) << name;
            EXPECT_EQ(shell.log, std::vector<std::string>{"I> API Command OK"}) << name;
        }
    }
}

TEST_F(KernelApiTest, AParameterThatIsNotANumberSendsNothing) {
    for (const char* text : {"12a", "0x", "08", "-", " 5", "4294967296"}) {
        shell.log.clear();
        view.questions.clear();
        Send("ErrorSet", text);
        EXPECT_EQ(shell.log, std::vector<std::string>{"E> Parameter not a number"}) << text;
        EXPECT_TRUE(view.questions.empty()) << text;
        EXPECT_EQ(KernelWindowState, kKernelWindowReady) << text;
        EXPECT_EQ(KernelRequestState, kKernelRequestIdle) << text;
        EXPECT_EQ(view.screen.parameterText, text) << text;
    }
    clock.advance(1000);
    EXPECT_TRUE(frames.empty());
}

TEST_F(KernelApiTest, AParameterWiderThanTheCommandIsRefusedWithItsRange) {
    const struct {
        const char* label;
        const char* parameter;
        const char* line;
    } cases[] = {
        {"ErrorModNum", "256", "E> Parameter 256 out of range: ErrorModNum takes 0 to 255"},
        {"ErrorModNum", "-5", "E> Parameter -5 out of range: ErrorModNum takes 0 to 255"},
        {"TuvTunnel", "0x1234", "E> Parameter 4660 out of range: TuvTunnel takes 0 to 255"},
        {"EepromRead", "70000", "E> Parameter 70000 out of range: EepromRead takes 0 to 65535"},
        {"EepromRead", "-1", "E> Parameter -1 out of range: EepromRead takes 0 to 65535"},
        {"ErrorSet", "0xFFFFFFFF", "E> Parameter -1 out of range: ErrorSet takes 0 to 65535"},
        // Refused before the question: 0x10000 would go out as the word 0.
        {"ConfigCode", "0x10000", "E> Parameter 65536 out of range: ConfigCode takes 0 to 65535"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.label) + " " + c.parameter);
        shell.log.clear();
        view.questions.clear();
        api.fields().returnCodeDecimal = "7";
        api.fields().returnCodeHex = "0x0007";
        view.screen.returnCodeDecimal = "7";
        view.screen.returnCodeHex = "0x0007";
        Send(c.label, c.parameter);
        EXPECT_EQ(shell.log, std::vector<std::string>{c.line});
        EXPECT_TRUE(view.questions.empty());
        EXPECT_EQ(KernelWindowState, kKernelWindowReady);
        EXPECT_EQ(KernelRequestState, kKernelRequestIdle);
        EXPECT_EQ(view.screen.parameterText, c.parameter);
        EXPECT_EQ(view.screen.returnCodeDecimal, "");
        EXPECT_EQ(view.screen.returnCodeHex, "");
    }
    clock.advance(1000);
    EXPECT_TRUE(frames.empty());
}

TEST_F(KernelApiTest, TheEdgesOfEachWidthAndAnyValueOfACommandWithoutParameterGoOut) {
    const struct {
        const char* label;
        const char* parameter;
        Bytes data;
    } cases[] = {
        {"ErrorModNum", "0", {0xDB, 0x00}},
        {"ErrorModNum", "255", {0xDB, 0xFF}},
        {"EepromRead", "65535", {0xCC, 0x00, 0xFF, 0xFF}},
        {"Reset", "70000", {0xFF, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.label) + " " + c.parameter);
        frames.clear();
        shell.log.clear();
        Send(c.label, c.parameter);
        ASSERT_TRUE(RunToEnd());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].data, c.data);
        EXPECT_EQ(shell.log, std::vector<std::string>{"I> API Command OK"});
    }
}

TEST_F(KernelApiTest, ARefusedNumberClearsTheReturnCode) {
    api.fields().returnCodeDecimal = "7";
    api.fields().returnCodeHex = "0x0007";
    view.screen.returnCodeDecimal = "7";
    view.screen.returnCodeHex = "0x0007";
    Send("EepromRead", "12a");
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> Parameter not a number"});
    EXPECT_EQ(view.screen.returnCodeDecimal, "");
    EXPECT_EQ(view.screen.returnCodeHex, "");
}

// ---- replies ----

TEST_F(KernelApiTest, CommandRepliesFillTheReturnCodeOrReportWrongFormat) {
    const struct {
        const char* label;
        Bytes reply;
        const char* line;
        const char* decimal;
        const char* hex;
    } cases[] = {
        {"Reset", {0x34, 0x12}, "I> API Command OK", "4660", "0x1234"},
        {"Reset", {}, "I> API Command OK", "0", "0x0000"},
        {"BootNumber", {0xFF, 0xFF}, "I> API Command OK", "65535", "0xFFFF"},
        {"Reset", {1, 2, 3, 4}, "E> Wrong Format Response at ID: 0080", "", ""},
        {"Null", {}, "I> Communication OK", "", ""},
        {"Null", {0x05, 0x06}, "I> Communication OK", "", ""},
        {"Null", {1, 2, 3, 4}, "E> Wrong Format Response at ID: 0080", "", ""},
    };
    for (const auto& c : cases) {
        shell.log.clear();
        AnswerWith(c.reply);
        api.fields().returnCodeDecimal = "7";
        api.fields().returnCodeHex = "0x0007";
        Send(c.label, "0");
        ASSERT_TRUE(RunToEnd()) << c.label;
        EXPECT_EQ(shell.log, std::vector<std::string>{c.line}) << c.label;
        EXPECT_EQ(view.screen.returnCodeDecimal, c.decimal) << c.label;
        EXPECT_EQ(view.screen.returnCodeHex, c.hex) << c.label;
        EXPECT_EQ(KernelWindowState, kKernelWindowReady) << c.label;
    }
}

TEST_F(KernelApiTest, CommandsThatChangeTheUnitAreJournalledWithTheirOutcome) {
    const struct {
        const char* label;
        const char* parameter;
        MessageAnswer answer;
        const char* journalled;  // the operation, or nullptr for none
    } cases[] = {
        {"Reset", "0", MessageAnswer::Ok, "kernel Reset"},
        {"Reboot", "", MessageAnswer::Ok, "kernel Reboot"},
        {"EepromClear", "1", MessageAnswer::Ok, "kernel EepromClear 1"},
        {"EepromClear", "1", MessageAnswer::Cancel, nullptr},
        {"ErrorSet", "0x1F4", MessageAnswer::Ok, "kernel ErrorSet 500"},
        {"ErrorClear", "0", MessageAnswer::Ok, "kernel ErrorClear 0"},
        {"ProductionDate", "0", MessageAnswer::Ok, "kernel ProductionDate 0"},
        {"BootNumber", "0", MessageAnswer::Ok, nullptr},
        {"TuvOpen", "1", MessageAnswer::Ok, nullptr},
        {"Null", "0", MessageAnswer::Ok, nullptr},
    };
    std::vector<std::string> want;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.label) + " " + c.parameter);
        view.answers = {c.answer};
        Send(c.label, c.parameter);
        ASSERT_TRUE(RunToEnd());
        if (c.journalled) want.push_back(c.journalled);
    }
    // A command without an answer is journalled with the failure.
    reply = nullptr;
    Send("Reset", "0");
    ASSERT_TRUE(
        clock.advanceUntil([&] { return KernelWindowState == kKernelWindowReady; }, 10000, 10));
    want.push_back("kernel Reset");

    const JournalContents journal =
        ParseJournal(test::ReadText(startDirectory.dir().file(kJournalFileName)));
    EXPECT_TRUE(journal.warnings.empty());
    std::vector<std::string> operations;
    for (const JournalRecord& r : journal.records) operations.push_back(r.operation);
    EXPECT_EQ(operations, want);
    ASSERT_FALSE(journal.records.empty());
    EXPECT_EQ(journal.records.front().outcome, "I> API Command OK");
    EXPECT_EQ(journal.records.back().outcome, "E> No Reply from Kernel");
}

// A journal that cannot be written leaves the command its outcome: one warning after the first
// outcome line of the run, none after the next.
TEST_F(KernelApiTest, AJournalThatCannotBeWrittenIsOneWarningAfterTheOutcome) {
    std::filesystem::create_directory(startDirectory.dir().file(kJournalFileName));
    ResetJournalWarning();
    for (int i = 0; i < 2; ++i) {
        view.answers = {MessageAnswer::Ok};
        Send("Reset", "0");
        ASSERT_TRUE(RunToEnd());
    }
    ASSERT_EQ(shell.log.size(), 3u) << testing::PrintToString(shell.log);
    EXPECT_EQ(shell.log[0], "I> API Command OK");
    EXPECT_EQ(shell.log[1].rfind(" > Warning: service journal not written: ", 0), 0u)
        << shell.log[1];
    EXPECT_EQ(shell.log[2], "I> API Command OK");
    ResetJournalWarning();
}

TEST_F(KernelApiTest, VersionRepliesFillTheirOwnFieldOnly) {
    const struct {
        uint32_t selector;
        Bytes reply;
        const char* shown;
        const char* line;  // nullptr: nothing logged
    } cases[] = {
        {kKernelVersionHardware, {3, 7, 0x21, 0x05}, "P 3, V 7, H 0x05/21", nullptr},
        {kKernelVersionHardware, {255, 0, 0xAB, 0xCD}, "P 255, V 0, H 0xCD/AB", nullptr},
        {kKernelVersionNorvix, {4, 2, 7, 0}, "V 2.4, App#  7", nullptr},
        {kKernelVersionNorvix, {0, 1, 123, 9}, "V 1.0, App# 123", nullptr},
        {kKernelVersionApplication, {3, 1, 15, 9}, "V 1.3, Build 09-15", nullptr},
        {kKernelVersionApplication, {200, 255, 0, 0}, "V 255.200, Build 00-00", nullptr},
        {kKernelVersionHardware, {1, 2}, "unknown", "E> Wrong Format Response at ID: 0081"},
        {kKernelVersionApplication, {}, "unknown", "E> Wrong Format Response at ID: 0081"},
    };
    std::string* fields[] = {&api.fields().hardwareVersion, &api.fields().norvixVersion,
                             &api.fields().applicationVersion};
    for (const auto& c : cases) {
        frames.clear();
        shell.log.clear();
        AnswerWith(c.reply);
        for (std::string* f : fields) *f = "before";
        api.OnVersionButton(c.selector);
        ASSERT_TRUE(RunToEnd()) << c.shown;
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].id, 0x0081);
        EXPECT_EQ(frames[0].data, (Bytes{static_cast<uint8_t>(c.selector), 0}));
        const std::string shown[] = {view.screen.hardwareVersion, view.screen.norvixVersion,
                                     view.screen.applicationVersion};
        for (uint32_t s = 0; s < 3; ++s)
            EXPECT_EQ(shown[s], s == c.selector ? c.shown : "before") << c.shown << " field " << s;
        if (c.line)
            EXPECT_EQ(shell.log, std::vector<std::string>{c.line});
        else
            EXPECT_TRUE(shell.log.empty()) << c.shown;
    }
}

TEST_F(KernelApiTest, DebugQueriesSendTheirBytesAndShowTheirResult) {
    const struct {
        const char* name;
        std::function<void()> press;
        Bytes sent;
        Bytes reply;
        std::string KernelApiFields::*field;
        const char* shown;
        const char* line;
    } cases[] = {
        {"slot 300", [&] { view.screen.slotNumber = 300; api.OnSlotButton(); }, {0x00, 0x2C},
         {0x39, 0x30}, &KernelApiFields::slotResult, "Slot 300: 12345", nullptr},
        {"slot -1", [&] { view.screen.slotNumber = -1; api.OnSlotButton(); }, {0x00, 0xFF},
         {0x01, 0x00}, &KernelApiFields::slotResult, "Slot -1: 1", nullptr},
        {"timer 3", [&] { view.screen.timerNumber = 3; api.OnTimerButton(); }, {0x00, 252},
         {0x07, 0x00}, &KernelApiFields::timerResult, "Timer 3: 7", nullptr},
        {"timer 0", [&] { view.screen.timerNumber = 0; api.OnTimerButton(); }, {0x00, 255},
         {0xFF, 0xFF}, &KernelApiFields::timerResult, "Timer 0: 65535", nullptr},
        {"timer 256", [&] { view.screen.timerNumber = 256; api.OnTimerButton(); }, {0x00, 255},
         {}, &KernelApiFields::timerResult, "", "E> Wrong Format Response at ID: 008F"},
        {"bytes", [&] { api.OnBytesButton(); }, {0x01, 0x00}, {0x01, 0x02, 0xAB, 0x04},
         &KernelApiFields::bytesResult, "Hex: 01 02 AB 04", nullptr},
        {"bytes short", [&] { api.OnBytesButton(); }, {0x01, 0x00}, {0x01, 0x02},
         &KernelApiFields::bytesResult, "", "E> Wrong Format Response at ID: 008F"},
        {"slot long", [&] { view.screen.slotNumber = 1; api.OnSlotButton(); }, {0x00, 0x01},
         {1, 2, 3, 4}, &KernelApiFields::slotResult, "", "E> Wrong Format Response at ID: 008F"},
    };
    for (const auto& c : cases) {
        frames.clear();
        shell.log.clear();
        AnswerWith(c.reply);
        c.press();
        ASSERT_TRUE(RunToEnd()) << c.name;
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0].id, 0x008F) << c.name;
        EXPECT_EQ(frames[0].data, c.sent) << c.name;
        EXPECT_EQ(view.screen.*c.field, c.shown) << c.name;
        if (c.line)
            EXPECT_EQ(shell.log, std::vector<std::string>{c.line}) << c.name;
        else
            EXPECT_TRUE(shell.log.empty()) << c.name;
    }
}

TEST_F(KernelApiTest, ANumberFieldWithoutAnIntegerRefusesOnlyTheQueryThatReadsIt) {
    api.fields().slotNumber = 5;
    api.fields().timerNumber = 6;
    const struct {
        const char* name;
        bool slotBad;  // else the timer field holds no integer
        std::function<void()> press;
        uint16_t sentId;  // 0: refused
    } cases[] = {
        {"Slot, its own field bad", true, [&] { api.OnSlotButton(); }, 0},
        {"Timer, its own field bad", false, [&] { api.OnTimerButton(); }, 0},
        {"Slot, the timer field bad", false, [&] { api.OnSlotButton(); }, 0x008F},
        {"Timer, the slot field bad", true, [&] { api.OnTimerButton(); }, 0x008F},
        {"Send Command, the slot field bad", true, [&] { Send("Reset", "0"); }, 0x0080},
        {"Send Command, the timer field bad", false, [&] { Send("Reset", "0"); }, 0x0080},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        frames.clear();
        shell.log.clear();
        view.rejectSlot = c.slotBad;
        view.rejectTimer = !c.slotBad;
        view.screen.slotNumber = c.slotBad ? 99 : 5;  // 99, 98: stand for text that is no number
        view.screen.timerNumber = c.slotBad ? 6 : 98;
        c.press();
        // The kept number is shown again in the rejected field.
        EXPECT_EQ(c.slotBad ? view.screen.slotNumber : view.screen.timerNumber, c.slotBad ? 5 : 6);
        ASSERT_TRUE(RunToEnd());
        clock.advance(1000);
        if (c.sentId == 0) {
            EXPECT_TRUE(frames.empty());
        } else {
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0].id, c.sentId);
        }
        EXPECT_EQ(KernelWindowState, kKernelWindowReady);
        EXPECT_EQ(KernelRequestState, kKernelRequestIdle);
    }
}

// ---- failures and timing ----

TEST_F(KernelApiTest, NoReplyReportsOnceAndKeepsThePresetFields) {
    reply = nullptr;
    api.fields().applicationVersion = "V 1.0, Build 01-01";
    api.OnVersionButton(kKernelVersionApplication);
    EXPECT_EQ(view.screen.applicationVersion, "unknown");  // preset shown at once
    // Four sends, then the failure; the window stays Busy until the slot is Idle again.
    ASSERT_TRUE(clock.advanceUntil([&] { return !shell.log.empty(); }, 10000, 1));
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> No Reply from Kernel"});
    EXPECT_EQ(frames.size(), 4u);
    EXPECT_EQ(KernelRequestState, kKernelRequestSettling);
    EXPECT_EQ(KernelWindowState, kKernelWindowBusy);
    clock.advance(10);  // one more window tick
    EXPECT_EQ(KernelRequestState, kKernelRequestIdle);
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);
    EXPECT_EQ(view.screen.applicationVersion, "unknown");
    EXPECT_GE(clock.nowMs(), 4 * 750u);
    EXPECT_LT(clock.nowMs(), 4 * 750u + 600);
}

TEST_F(KernelApiTest, ErrorClearWaitsFifteenSecondsForEachReply) {
    reply = nullptr;
    Send("ErrorClear", "0");
    ASSERT_TRUE(RunToEnd(80000));
    ASSERT_EQ(frames.size(), 4u);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        const uint64_t gap = frames[i].atMs - frames[i - 1].atMs;
        EXPECT_GE(gap, 15000u) << i;
        EXPECT_LT(gap, 15200u) << i;
    }
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> No Reply from Kernel"});

    // The long wait was that request's own: the next one waits 750 ms again.
    frames.clear();
    Send("Reset", "0");
    ASSERT_TRUE(RunToEnd());
    ASSERT_EQ(frames.size(), 4u);
    const uint64_t gap = frames[1].atMs - frames[0].atMs;
    EXPECT_GE(gap, 750u);
    EXPECT_LT(gap, 950u);
}

TEST_F(KernelApiTest, ASecondRequestWhileOneIsUnderWayIsRefused) {
    AnswerWith({0x01, 0x00});
    Send("Reset", "0");
    api.fields().hardwareVersion = "kept";
    api.OnVersionButton(kKernelVersionHardware);
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> Command in Progress"});
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(shell.log,
              (std::vector<std::string>{"E> Command in Progress", "I> API Command OK"}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, (Bytes{0xFF, 0x00}));
    EXPECT_EQ(view.screen.hardwareVersion, "kept");
}

TEST_F(KernelApiTest, ARequestInTheSettlingTickCannotBeInitiated) {
    AnswerWith({9, 9, 9, 9});
    api.OnBytesButton();
    ASSERT_TRUE(clock.advanceUntil([] { return KernelRequestState == kKernelRequestSettling; },
                                   5000, 1));
    ASSERT_EQ(KernelWindowState, kKernelWindowReady);  // the reply made it Ready already
    api.fields().hardwareVersion = "V?";
    api.OnVersionButton(kKernelVersionHardware);
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> Error Initiating Transfer"});
    EXPECT_EQ(view.screen.hardwareVersion, "unknown");  // phase 1 preset its field anyway
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);
    ASSERT_TRUE(RunToEnd());
    clock.advance(1000);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(view.screen.bytesResult, "Hex: 09 09 09 09");
}

TEST_F(KernelApiLateTimerTest, AResultTakenByAnotherClientEndsTheRequestSilently) {
    AnswerWith({1, 0});
    Send("Reset", "0");
    ASSERT_TRUE(clock.advanceUntil([] { return ApiRequest::State() == kRequestDone; }, 5000, 1));
    BusMessage stolen{};
    EXPECT_EQ(OtherClientCollects(stolen), 2);
    ASSERT_TRUE(RunToEnd());
    EXPECT_TRUE(shell.log.empty());
    EXPECT_EQ(view.screen.returnCodeDecimal, "");
    EXPECT_EQ(KernelWindowState, kKernelWindowReady);
}

// ---- sharing the engine ----

TEST_F(KernelApiTest, ARequestStaysPendingWhileAnotherClientHoldsTheEngine) {
    reply = [](const SeenFrame& f) -> std::optional<Bytes> {
        return f.id == 0x0411 ? Bytes{0x41, 0x42} : Bytes{0x02, 0x00};
    };
    OtherClientStarts();
    Send("Reboot", "0");
    EXPECT_EQ(KernelWindowState, kKernelWindowBusy);
    clock.advance(1500);  // the other reply is in, but not collected yet
    EXPECT_EQ(KernelRequestState, kKernelRequestPending);
    EXPECT_TRUE(FramesWithId(0x0080).empty());
    EXPECT_EQ(FramesWithId(0x0411).size(), 1u);
    EXPECT_TRUE(shell.log.empty());

    BusMessage other{};
    ASSERT_EQ(OtherClientCollects(other), 2);
    EXPECT_EQ(other.data[0], 0x41);  // the kernel API did not take it
    ASSERT_TRUE(RunToEnd());
    const auto kernel = FramesWithId(0x0080);
    ASSERT_EQ(kernel.size(), 1u);
    EXPECT_EQ(kernel[0].data, (Bytes{0xFE, 0x00}));
    EXPECT_EQ(shell.log, std::vector<std::string>{"I> API Command OK"});
    EXPECT_EQ(view.screen.returnCodeDecimal, "2");
}

TEST_F(KernelApiTest, APendingErrorClearKeepsItsLongWait) {
    reply = [](const SeenFrame& f) -> std::optional<Bytes> {
        if (f.id == 0x0411) return Bytes{0, 0};
        return std::nullopt;
    };
    OtherClientStarts();
    Send("ErrorClear", "0");
    clock.advance(500);
    ASSERT_EQ(KernelRequestState, kKernelRequestPending);
    BusMessage other{};
    ASSERT_EQ(OtherClientCollects(other), 2);
    ASSERT_TRUE(RunToEnd(80000));
    const auto kernel = FramesWithId(0x0080);
    ASSERT_EQ(kernel.size(), 4u);
    EXPECT_GE(kernel[1].atMs - kernel[0].atMs, 15000u);
}

TEST_F(KernelApiTest, ARefusedErrorClearDoesNotLendItsWaitToThePendingRequest) {
    reply = [](const SeenFrame& f) -> std::optional<Bytes> {
        if (f.id == 0x0411) return Bytes{0, 0};
        return std::nullopt;
    };
    OtherClientStarts();
    Send("Reset", "0");
    Send("ErrorClear", "0");
    EXPECT_EQ(shell.log, std::vector<std::string>{"E> Command in Progress"});
    clock.advance(500);
    BusMessage other{};
    ASSERT_EQ(OtherClientCollects(other), 2);
    ASSERT_TRUE(RunToEnd(80000));
    const auto kernel = FramesWithId(0x0080);
    ASSERT_EQ(kernel.size(), 4u);
    EXPECT_EQ(kernel[0].data, (Bytes{0xFF, 0x00}));
    EXPECT_LT(kernel[1].atMs - kernel[0].atMs, 950u);
}

}  // namespace
}  // namespace nvx
