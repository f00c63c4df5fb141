// The window on the offscreen platform: its controls and texts, and clicks reaching the logic.
#ifdef NVX_TEXTS_GUI

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "comm/api_request.h"
#include "comm/tick.h"
#include "platform/timer_service.h"
#include "support/qt_test_app.h"
#include "support/window_input.h"
#include "texts/gui/start_texts_dlg.h"
#include "texts_doubles.h"

namespace nvx {
namespace {

class StartTextsDlgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::EnsureTestApp(); }

    void SetUp() override {
        ApiRequest::Reset();
        g_tickPeriodMs = 10;
        g_textsTransfer = TextsTransfer{};
        dlg = std::make_unique<CStartTextsDlg>(clock, shell);
    }
    void TearDown() override {
        dlg.reset();
        ApiRequest::Reset();
    }

    template <typename T>
    T* child(const char* name) {
        T* w = dlg->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    VirtualClock clock;
    test::RecordingShell shell;
    std::unique_ptr<CStartTextsDlg> dlg;
};

TEST_F(StartTextsDlgTest, ControlsAndTexts) {
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Solvane Starting Texts"));
    EXPECT_FALSE(dlg->isVisible());  // created hidden

    EXPECT_EQ(child<QGroupBox>("readingGroup")->title(), QStringLiteral("Reading"));
    EXPECT_EQ(child<QGroupBox>("writingGroup")->title(), QStringLiteral("Writing"));
    const struct {
        const char* name;
        const char* text;
    } buttons[] = {{"readButton", "Read"},
                   {"writeButton", "Write"},
                   {"testButton", "Test Com."},
                   {"closeButton", "Close"}};
    for (const auto& b : buttons) EXPECT_EQ(child<QPushButton>(b.name)->text(), QString::fromLatin1(b.text));

    // The read fields sit in the Reading group and cannot be typed into; the write fields can.
    auto* reading = child<QGroupBox>("readingGroup");
    auto* writing = child<QGroupBox>("writingGroup");
    for (const char* name : {"readLine1", "readLine2"}) {
        auto* edit = child<QLineEdit>(name);
        EXPECT_TRUE(edit->isReadOnly()) << name;
        EXPECT_TRUE(reading->isAncestorOf(edit)) << name;
    }
    for (const char* name : {"writeLine1", "writeLine2"}) {
        auto* edit = child<QLineEdit>(name);
        EXPECT_FALSE(edit->isReadOnly()) << name;
        EXPECT_TRUE(writing->isAncestorOf(edit)) << name;
    }
    EXPECT_TRUE(reading->isAncestorOf(child<QPushButton>("readButton")));
    EXPECT_TRUE(writing->isAncestorOf(child<QPushButton>("writeButton")));
    for (const char* name : {"readingProgress", "writingProgress"}) {
        auto* bar = child<QProgressBar>(name);
        EXPECT_EQ(bar->minimum(), 0) << name;
        EXPECT_EQ(bar->maximum(), 30) << name;
    }
    EXPECT_TRUE(reading->isAncestorOf(child<QProgressBar>("readingProgress")));
    EXPECT_TRUE(writing->isAncestorOf(child<QProgressBar>("writingProgress")));

    EXPECT_EQ(dlg->font().families().value(0), QStringLiteral("Courier New"));
    EXPECT_TRUE(QFontInfo(child<QLineEdit>("writeLine1")->font()).fixedPitch());
    EXPECT_TRUE(QFontInfo(child<QLineEdit>("readLine2")->font()).fixedPitch());
}

TEST_F(StartTextsDlgTest, ClicksReachTheirCommands) {
    dlg->show();
    QTest::mouseClick(child<QPushButton>("readButton"), Qt::LeftButton);
    EXPECT_EQ(TextsWindowState, kTextsReading);
    QTest::mouseClick(child<QPushButton>("writeButton"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>("testButton"), Qt::LeftButton);
    EXPECT_EQ(shell.log, (std::vector<std::string>{"E> Command in progress", "E> Command in progress"}));

    QTest::mouseClick(child<QPushButton>("closeButton"), Qt::LeftButton);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(TextsWindowState, kTextsNotOpen);
    EXPECT_EQ(shell.markOpenCalls, 1);
}

TEST_F(StartTextsDlgTest, EnterInAWritingFieldWrites) {
    for (const char* field : {"writeLine1", "writeLine2"}) {
        SCOPED_TRACE(field);
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        ASSERT_EQ(TextsWindowState, kTextsReady);
        child<QLineEdit>("readLine1")->setFocus();
        test::KeyThroughWindow(dlg.get(), Qt::Key_Return);  // a Reading field: nothing starts
        EXPECT_EQ(TextsWindowState, kTextsReady);
        child<QLineEdit>(field)->setFocus();
        test::KeyThroughWindow(dlg.get(), Qt::Key_Return);
        EXPECT_EQ(TextsWindowState, kTextsWriting);
        EXPECT_TRUE(dlg->isVisible());
        dlg.reset();
        ApiRequest::Reset();
        g_textsTransfer = TextsTransfer{};
        dlg = std::make_unique<CStartTextsDlg>(clock, shell);
    }
}

TEST_F(StartTextsDlgTest, ShowingAfterCloseMakesTheButtonsWorkAgain) {
    dlg->show();
    QTest::mouseClick(child<QPushButton>("closeButton"), Qt::LeftButton);
    ASSERT_EQ(TextsWindowState, kTextsNotOpen);
    dlg->show();
    EXPECT_EQ(TextsWindowState, kTextsReady);
    QTest::mouseClick(child<QPushButton>("testButton"), Qt::LeftButton);
    EXPECT_EQ(TextsWindowState, kTextsTesting);
    EXPECT_TRUE(shell.log.empty());
}

TEST_F(StartTextsDlgTest, EscapeOnlyHides) {
    dlg->show();
    QTest::mouseClick(child<QPushButton>("readButton"), Qt::LeftButton);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(TextsWindowState, kTextsReading);
    EXPECT_EQ(shell.markOpenCalls, 0);
    dlg->show();
    dlg->close();  // the title bar's close box
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(TextsWindowState, kTextsReading);
}

TEST_F(StartTextsDlgTest, FieldsCrossTheBoundaryAsLatin1) {
    child<QLineEdit>("writeLine1")->setText(QString::fromUtf8("Gr\xC3\xBC\xC3\x9F Gott"));
    child<QLineEdit>("writeLine2")->setText(QStringLiteral("Line 2"));
    StartTextsFields fields;
    dlg->readControls(fields);
    EXPECT_EQ(fields.writeLine1, "Gr\xFC\xDF Gott");
    EXPECT_EQ(fields.writeLine2, "Line 2");

    // Refreshing the read fields leaves what the user typed for writing alone.
    fields.readLine1 = "Temperatur \xB0" "C  ";
    fields.readLine2 = "SOLVANE        ";
    fields.writeLine1 = "overwritten?";
    dlg->writeReadControls(fields);
    EXPECT_EQ(child<QLineEdit>("readLine1")->text(), QString::fromUtf8("Temperatur \xC2\xB0" "C  "));
    EXPECT_EQ(child<QLineEdit>("readLine2")->text(), QStringLiteral("SOLVANE        "));
    EXPECT_EQ(child<QLineEdit>("writeLine1")->text(), QString::fromUtf8("Gr\xC3\xBC\xC3\x9F Gott"));
}

TEST_F(StartTextsDlgTest, TimerDrivesTheProgressBars) {
    auto* reading = child<QProgressBar>("readingProgress");
    auto* writing = child<QProgressBar>("writingProgress");
    clock.advance(10);
    EXPECT_EQ(reading->value(), 0);
    EXPECT_EQ(writing->value(), 0);
    dlg->setReadingProgress(17);
    dlg->setWritingProgress(29);
    EXPECT_EQ(reading->value(), 17);
    EXPECT_EQ(writing->value(), 29);
}

}  // namespace
}  // namespace nvx

#endif  // NVX_TEXTS_GUI
