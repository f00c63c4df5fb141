// The starting texts against the virtual device: host stack, byte pump and a real pty under
// virtual time; the device keeps the 30 characters in its EEPROM's Text section.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/api_request.h"
#include "support/device_harness.h"
#include "texts/start_texts.h"
#include "texts_doubles.h"

#ifdef NVX_TEXTS_GUI
#include <QApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "support/qt_test_app.h"
#include "texts/gui/start_texts_dlg.h"
#endif

namespace nvx {
namespace {

std::vector<sim::ReceivedFrame> TextFrames(const sim::VirtualDevice& device) {
    std::vector<sim::ReceivedFrame> frames;
    for (const auto& f : device.receivedFrames()) {
        if (f.id == kTextsCommandId) frames.push_back(f);
    }
    return frames;
}

bool Idle() {
    return TextsWindowState == kTextsReady && TextsRequestState == kTextsRequestIdle &&
           g_textsTransfer.readState == kTextsProcIdle &&
           g_textsTransfer.writeState == kTextsProcIdle && ApiRequest::State() == kRequestIdle;
}

class StartTextsDeviceTest : public test::DeviceHarnessTest {
protected:
    void SetUp() override {
        test::DeviceHarnessTest::SetUp();
        g_textsTransfer = TextsTransfer{};
        ASSERT_TRUE(h().openPort());
        h().shell().log.clear();
        logic = std::make_unique<StartTexts>(h().clock(), h().shell(), view);
        logic->InitDialog();
    }
    void TearDown() override {
        logic.reset();
        test::DeviceHarnessTest::TearDown();
    }
    // A silent read takes about 95 s of virtual time.
    bool RunToIdle(uint64_t maxMs = 200'000) { return h().advanceUntil(Idle, maxMs); }
    const std::vector<std::string>& log() { return h().shell().log; }

    test::RecordingTextsView view;
    std::unique_ptr<StartTexts> logic;
};

TEST_F(StartTextsDeviceTest, WritingAbcAndAnEmptyLineSendsThirtyCharacters) {
    view.controls.writeLine1 = "ABC";
    view.controls.writeLine2 = "";
    logic->OnWrite();
    ASSERT_TRUE(RunToIdle()) << h().deviceLogText();

    const std::string expected = std::string(12, ' ') + "ABC" + std::string(15, ' ');
    const auto frames = TextFrames(h().device());
    ASSERT_EQ(frames.size(), 30u);
    for (int address = 0; address < 30; ++address) {
        EXPECT_EQ(frames[address].length, 2) << address;
        EXPECT_EQ(frames[address].data[0], 0x80 | address) << address;
        EXPECT_EQ(frames[address].data[1], static_cast<uint8_t>(expected[address])) << address;
    }
    EXPECT_EQ(h().device().texts(), expected);
    EXPECT_EQ(log(), std::vector<std::string>{"I> Writing text finished"});
}

TEST_F(StartTextsDeviceTest, LongTextsAreCut) {
    view.controls.writeLine1 = "0123456789ABCDEFGHIJ";
    view.controls.writeLine2 = "Temperatur zu hoch";
    logic->OnWrite();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(h().device().texts(), "0123456789ABCDETemperatur zu h");
}

TEST_F(StartTextsDeviceTest, ReadShowsWhatTheDeviceHolds) {
    const std::string held = h().device().texts();
    ASSERT_EQ(held.size(), 30u);
    logic->OnRead();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(logic->fields().readLine1, held.substr(0, 15));
    EXPECT_EQ(logic->fields().readLine2, held.substr(15));
    EXPECT_EQ(log(), std::vector<std::string>{"I> Reading text finished"});
    const auto frames = TextFrames(h().device());
    ASSERT_EQ(frames.size(), 30u);
    for (int address = 0; address < 30; ++address) {
        EXPECT_EQ(frames[address].data[0], address) << address;
        EXPECT_EQ(frames[address].data[1], 0) << address;
    }
}

TEST_F(StartTextsDeviceTest, WrittenLinesReadBackWithBothBarsMovingButNeverFull) {
    view.controls.writeLine1 = "Norvix";
    view.controls.writeLine2 = "Gr\xFC\xDF" "e";
    logic->OnWrite();
    ASSERT_TRUE(RunToIdle());
    logic->OnRead();
    ASSERT_TRUE(RunToIdle());
    h().advance(20);
    EXPECT_EQ(logic->fields().readLine1, "         Norvix");
    EXPECT_EQ(logic->fields().readLine2, "          Gr\xFC\xDF" "e");
    EXPECT_EQ(view.controls.readLine1, "         Norvix");
    for (const auto* values : {&view.readingValues, &view.writingValues}) {
        std::vector<int> expected{0};
        for (int i = 1; i < 30; ++i) expected.push_back(i);
        expected.push_back(0);
        EXPECT_EQ(*values, expected);
    }
}

TEST_F(StartTextsDeviceTest, ZeroCharactersShowAsSpaces) {
    h().device().unit().eeprom().setTextChar(2, 0);
    h().device().unit().eeprom().setTextChar(29, 0);
    const std::string held = h().device().texts();
    logic->OnRead();
    ASSERT_TRUE(RunToIdle());
    std::string line1 = held.substr(0, 15), line2 = held.substr(15);
    line1[2] = ' ';
    line2[14] = ' ';
    EXPECT_EQ(logic->fields().readLine1, line1);
    EXPECT_EQ(logic->fields().readLine2, line2);
}

TEST_F(StartTextsDeviceTest, CommunicationTest) {
    logic->OnTestCom();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(log(), std::vector<std::string>{"I> Communication OK"});
    const auto frames = TextFrames(h().device());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data[0], 0);
    EXPECT_EQ(frames[0].data[1], 0);
}

TEST_F(StartTextsDeviceTest, WrongLengthRepliesAreWrongFormat) {
    h().device().faults().wrongLength = sim::FaultRate::Times(1);
    logic->OnTestCom();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(log(), std::vector<std::string>{"E> Wrong format response at ID: 0411"});
    // The window is Ready again, so the next test goes through.
    h().shell().log.clear();
    logic->OnTestCom();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(log(), std::vector<std::string>{"I> Communication OK"});
}

TEST_F(StartTextsDeviceTest, DroppedRepliesAreResentWithoutALine) {
    h().device().faults().dropReply = sim::FaultRate::Times(3);
    const std::string held = h().device().texts();
    logic->OnRead();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(log(), std::vector<std::string>{"I> Reading text finished"});
    EXPECT_EQ(logic->fields().readLine1 + logic->fields().readLine2, held);
    EXPECT_EQ(TextFrames(h().device()).size(), 33u);
}

TEST_F(StartTextsDeviceTest, WriteDuringAReadIsRefused) {
    logic->OnRead();
    h().advance(300);
    view.controls.writeLine1 = "XYZ";
    logic->OnWrite();
    EXPECT_EQ(log(), std::vector<std::string>{"E> Command in progress"});
    EXPECT_EQ(TextsWindowState, kTextsReading);
    ASSERT_TRUE(RunToIdle());
    for (const auto& f : TextFrames(h().device())) EXPECT_EQ(f.data[0] & 0x80, 0);
    EXPECT_EQ(view.controls.writeLine1, "XYZ");  // what the user typed stays
}

class SilentDeviceTest : public StartTextsDeviceTest {
protected:
    sim::DeviceOptions deviceOptions() override {
        sim::DeviceOptions o;
        o.faults.dropReply = sim::FaultRate::Always();
        return o;
    }
};

TEST_F(SilentDeviceTest, ReadGivesThirtyNoReplyLinesAndQuestionMarks) {
    logic->OnRead();
    ASSERT_TRUE(RunToIdle());
    std::vector<std::string> expected(30, "E> No reply from Solvane");
    expected.push_back("I> Reading text finished");
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(logic->fields().readLine1, std::string(15, '?'));
    EXPECT_EQ(logic->fields().readLine2, std::string(15, '?'));
}

TEST_F(SilentDeviceTest, FailedTestReturnsTheWindowToReady) {
    logic->OnTestCom();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(log(), std::vector<std::string>{"E> No reply from Solvane"});
    logic->OnRead();
    EXPECT_EQ(TextsWindowState, kTextsReading);
    EXPECT_EQ(log().size(), 1u);
}

#ifdef NVX_TEXTS_GUI

// The window itself: typed lines are written to the device and read back into its fields.
TEST_F(StartTextsDeviceTest, WindowWritesAndReadsBack) {
    test::EnsureTestApp();

    logic.reset();
    CStartTextsDlg dlg(h().clock(), h().shell());
    dlg.show();
    auto* writing = dlg.findChild<QProgressBar*>("writingProgress");
    auto* reading = dlg.findChild<QProgressBar*>("readingProgress");
    QSignalSpy writeMoves(writing, &QProgressBar::valueChanged);
    QSignalSpy readMoves(reading, &QProgressBar::valueChanged);

    dlg.findChild<QLineEdit*>("writeLine1")->setText(QStringLiteral("Guten Tag"));
    dlg.findChild<QLineEdit*>("writeLine2")->setText(QString::fromUtf8("Sch\xC3\xB6n warm"));
    QTest::mouseClick(dlg.findChild<QPushButton*>("writeButton"), Qt::LeftButton);
    ASSERT_TRUE(RunToIdle());
    QTest::mouseClick(dlg.findChild<QPushButton*>("readButton"), Qt::LeftButton);
    ASSERT_TRUE(RunToIdle());

    EXPECT_EQ(dlg.findChild<QLineEdit*>("readLine1")->text(), QStringLiteral("      Guten Tag"));
    EXPECT_EQ(dlg.findChild<QLineEdit*>("readLine2")->text(),
              QString::fromUtf8("     Sch\xC3\xB6n warm"));
    EXPECT_EQ(h().device().texts(), "      Guten Tag     Sch\xF6n warm");
    EXPECT_GE(writeMoves.count(), 29);
    EXPECT_GE(readMoves.count(), 29);
    for (const auto& args : writeMoves) EXPECT_LT(args.at(0).toInt(), 30);
    for (const auto& args : readMoves) EXPECT_LT(args.at(0).toInt(), 30);
    EXPECT_EQ(log(), (std::vector<std::string>{"I> Writing text finished", "I> Reading text finished"}));
}

#endif

}  // namespace
}  // namespace nvx
