// The TUV Communication and TUV Inside windows on the offscreen platform: controls and texts, the
// disabled controls, the trace views fed by the pump, the check boxes and buttons reaching the
// logic.

#if NVX_APP_GUI

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <filesystem>
#include <initializer_list>

#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "monitor_doubles.h"
#include "support/qt_test_app.h"
#include "support/window_input.h"
#include "tuv/gui/tuv_comm_dlg.h"
#include "tuv/gui/tuv_inside_dlg.h"

namespace nvx::test {
namespace {

template <class T>
T* Child(QWidget* parent, const QString& name) {
    T* child = parent->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name.toStdString();
    return child;
}

void PutTrace(TraceRing& ring, std::initializer_list<int32_t> entries) {
    for (int32_t e : entries) {
        ring.entries[ring.writeIndex] = e;
        ring.writeIndex = static_cast<uint8_t>((ring.writeIndex + 1) % kTraceRingSize);
    }
}

class TuvWindowsTest : public StartDirectoryFixture {
protected:
    void SetUp() override {
        EnsureTestApp();
        StartDirectoryFixture::SetUp();
        InitCommStack();
        g_startTickPeriodMs = g_tickPeriodMs = 10;
        dlg_ = std::make_unique<CTuvCommDlg>(clock_);
    }
    void TearDown() override {
        dlg_.reset();
        StartDirectoryFixture::TearDown();
    }
    QCheckBox* box(const QString& name) { return Child<QCheckBox>(dlg_.get(), name); }
    QString tx() { return Child<QPlainTextEdit>(dlg_.get(), "txView")->toPlainText(); }
    QString rx() { return Child<QPlainTextEdit>(dlg_.get(), "rxView")->toPlainText(); }

    VirtualClock clock_;
    std::unique_ptr<CTuvCommDlg> dlg_;
};

TEST_F(TuvWindowsTest, CommWindowShowsItsControlsWithTheirStartStates) {
    EXPECT_EQ(dlg_->windowTitle(), "TUV Communication");
    EXPECT_FALSE(dlg_->isVisible());
    for (const char* name : {"txView", "rxView"}) {
        auto* view = Child<QPlainTextEdit>(dlg_.get(), name);
        EXPECT_TRUE(view->isReadOnly());
        EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    }
    EXPECT_EQ(Child<QPushButton>(dlg_.get(), "clearTxButton")->text(), "Clear");
    EXPECT_EQ(Child<QPushButton>(dlg_.get(), "clearRxButton")->text(), "Clear");
    EXPECT_EQ(Child<QGroupBox>(dlg_.get(), "channel0Group")->title(), "Ch 0");
    EXPECT_EQ(Child<QGroupBox>(dlg_.get(), "channel1Group")->title(), "Ch 1");
    const struct {
        const char* name;
        const char* text;
        bool enabled;
        bool checked;
    } boxes[] = {
        {"pipeTx0", "P-t", true, false}, {"pipeRx0", "P-r", true, false},
        {"com0", "COM:", false, false},  {"pipeTx1", "P-t", false, false},
        {"pipeRx1", "P-r", false, false}, {"com1", "COM:", false, false},
        {"scrollBox", "Scroll", true, true}, {"hexBox", "Hex", true, true},
        {"viewBox", "View", true, false},
    };
    for (const auto& b : boxes) {
        QCheckBox* c = box(b.name);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->text(), b.text) << b.name;
        EXPECT_EQ(c->isEnabled(), b.enabled) << b.name;
        EXPECT_EQ(c->isChecked(), b.checked) << b.name;
    }
    const struct {
        const char* name;
        bool enabled;
    } fields[] = {{"txPipeName0", true}, {"rxPipeName0", true}, {"comPort0", false},
                  {"txPipeName1", false}, {"rxPipeName1", false}, {"comPort1", false}};
    for (const auto& f : fields) {
        auto* edit = Child<QLineEdit>(dlg_.get(), f.name);
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->isEnabled(), f.enabled) << f.name;
        EXPECT_EQ(edit->text(), "") << f.name;
    }
}

TEST_F(TuvWindowsTest, TabFollowsTheLayout) {
    dlg_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    ClickThroughWindow(box("framesBox"));
    // At the start only channel 0's pipes take input; disabled controls are passed over.
    const QStringList expected = {
        "txView",      "clearTxButton", "rxView",    "clearRxButton", "pipeTx0",
        "txPipeName0", "pipeRx0",       "rxPipeName0", "scrollBox",   "hexBox",
        "viewBox",     "framesBox",     "framesView", "saveFramesButton", "clearFramesButton",
        "txView"};
    EXPECT_EQ(TabThrough(Child<QWidget>(dlg_.get(), "txView"), 15), expected);
}

TEST_F(TuvWindowsTest, TraceReachesTheViewsInHexOrAsCharacters) {
    dlg_->show();
    PutTrace(g_txTrace[0], {-7, 0x01, 0x02, 0x03, 65535});
    clock_.advance(10);
    EXPECT_EQ(tx(), "0007-0[01 02 03 ]");
    EXPECT_EQ(rx(), "");

    QTest::mouseClick(box("hexBox"), Qt::LeftButton);
    EXPECT_FALSE(box("hexBox")->isChecked());
    PutTrace(g_rxTrace[0], {-8, 'O', 'K', 0, 65535});
    clock_.advance(10);
    EXPECT_EQ(rx(), "0008-0[OK.]");
}

TEST_F(TuvWindowsTest, HiddenWindowShowsTheTraceWhenShown) {
    PutTrace(g_txTrace[0], {-1, 0x55, 65535});
    clock_.advance(10);
    EXPECT_EQ(tx(), "");  // not painted while hidden
    dlg_->show();
    EXPECT_EQ(tx(), "0001-0[55 ]");
}

TEST_F(TuvWindowsTest, ClearEmptiesOneView) {
    dlg_->show();
    PutTrace(g_txTrace[0], {-1, 0x11, 65535});
    PutTrace(g_rxTrace[0], {-2, 0x22, 65535});
    clock_.advance(10);
    QTest::mouseClick(Child<QPushButton>(dlg_.get(), "clearTxButton"), Qt::LeftButton);
    EXPECT_EQ(tx(), "");
    EXPECT_EQ(rx(), "0002-0[22 ]");
    QTest::mouseClick(Child<QPushButton>(dlg_.get(), "clearRxButton"), Qt::LeftButton);
    EXPECT_EQ(rx(), "");
}

TEST_F(TuvWindowsTest, ScrollKeepsTheNewestLinesInView) {
    dlg_->show();
    auto* view = Child<QPlainTextEdit>(dlg_.get(), "txView");
    for (int frame = 1; frame <= 60; ++frame) {
        PutTrace(g_txTrace[0], {-frame, 0x41, 65535});
        clock_.advance(10);
    }
    ASSERT_GT(view->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());

    // Without Scroll the user stays where he reads while new lines come.
    QTest::mouseClick(box("scrollBox"), Qt::LeftButton);
    view->verticalScrollBar()->setValue(3);
    PutTrace(g_txTrace[0], {-61, 0x41, 65535});
    clock_.advance(10);
    EXPECT_TRUE(tx().endsWith("0061-0[41 ]"));
    EXPECT_EQ(view->verticalScrollBar()->value(), 3);
}

TEST_F(TuvWindowsTest, PipeThatFailsToOpenIsUntickedAfterItsMessage) {
    dlg_->show();
    auto* name = Child<QLineEdit>(dlg_.get(), "txPipeName0");
    const std::string bad = dir_.string() + "/missing/trace.bin";
    QTest::keyClicks(name, QString::fromStdString(bad));
    QTest::mouseClick(box("pipeTx0"), Qt::LeftButton);
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text, "Fehler \xD6" "ffnen: " + bad);
    EXPECT_FALSE(box("pipeTx0")->isChecked());
}

TEST_F(TuvWindowsTest, TickedTransmitPipeGetsTheBytes) {
    dlg_->show();
    const std::string path = dir_.string() + "/tx.bin";
    QTest::keyClicks(Child<QLineEdit>(dlg_.get(), "txPipeName0"), QString::fromStdString(path));
    QTest::mouseClick(box("pipeTx0"), Qt::LeftButton);
    EXPECT_TRUE(box("pipeTx0")->isChecked());
    EXPECT_TRUE(boxes_.shown.empty());
    EXPECT_EQ(g_pipeFlags[0] & kTxPipeOpen, kTxPipeOpen);
    QTest::mouseClick(box("pipeTx0"), Qt::LeftButton);
    EXPECT_EQ(g_pipeFlags[0] & kTxPipeOpen, 0);
}

TEST_F(TuvWindowsTest, ANameRetypedBetweenPumpTicksIsTheOneOpened) {
    dlg_->show();
    auto* name = Child<QLineEdit>(dlg_.get(), "txPipeName0");
    const std::string first = dir_.string() + "/first.bin";
    const std::string second = dir_.string() + "/second.bin";
    QTest::keyClicks(name, QString::fromStdString(first));
    clock_.advance(50);  // the pump has read the controls on its ticks
    QTest::keyClick(name, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(name, QString::fromStdString(second));
    clock_.advance(50);
    QTest::mouseClick(box("pipeTx0"), Qt::LeftButton);
    EXPECT_TRUE(std::filesystem::exists(second));
    EXPECT_FALSE(std::filesystem::exists(first));
    QTest::mouseClick(box("pipeTx0"), Qt::LeftButton);
}

TEST_F(TuvWindowsTest, APipeNameOpensTheFileOfThatNameWhateverItsLetters) {
    dlg_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    const std::string name = "Tr\xC3\xA4" "ce \xE2\x82\xAC.bin";  // UTF-8 for "Träce €.bin"
    auto* field = Child<QLineEdit>(dlg_.get(), "txPipeName0");
    field->setText(QString::fromUtf8(dir_.string() + "/" + name));
    QCheckBox* pipe = box("pipeTx0");
    QTest::mouseClick(dlg_->windowHandle(), Qt::LeftButton, {},
                      pipe->mapTo(dlg_.get(), pipe->rect().center()));
    ASSERT_TRUE(pipe->isChecked());
    EXPECT_TRUE(boxes_.shown.empty());
    g_linkTxRegister[0] = 0x5A;
    clock_.advance(10);
    std::error_code missing;
    EXPECT_EQ(std::filesystem::file_size(dir_ / name, missing), 1u) << missing.message();
    // The name the window shows back is the one typed.
    EXPECT_EQ(field->text(), QString::fromUtf8(dir_.string() + "/" + name));
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        files += entry.path().extension() == ".bin" ? 1 : 0;
    EXPECT_EQ(files, 1u);
}

TEST_F(TuvWindowsTest, CloseBoxOnlyHides) {
    dlg_->show();
    QTest::keyClick(dlg_.get(), Qt::Key_Escape);
    EXPECT_FALSE(dlg_->isVisible());
    // The pump goes on while hidden.
    PutTrace(g_txTrace[0], {-3, 0x33, 65535});
    clock_.advance(10);
    EXPECT_EQ(g_txTrace[0].readIndex, g_txTrace[0].writeIndex);
}

TEST_F(TuvWindowsTest, ClosingTheInsideWindowUnticksView) {
    dlg_->show();
    CTuvInsideDlg& inside = dlg_->insideWindow();
    for (const char* how : {"Escape", "close box"}) {
        SCOPED_TRACE(how);
        ClickThroughWindow(box("viewBox"));
        ASSERT_TRUE(box("viewBox")->isChecked());
        ASSERT_TRUE(inside.isVisible());
        if (std::string(how) == "Escape")
            KeyThroughWindow(&inside, Qt::Key_Escape);
        else
            inside.close();
        EXPECT_FALSE(inside.isVisible());
        EXPECT_FALSE(box("viewBox")->isChecked());
        // One click shows it again.
        ClickThroughWindow(box("viewBox"));
        EXPECT_TRUE(inside.isVisible());
        ClickThroughWindow(box("viewBox"));
        EXPECT_FALSE(inside.isVisible());
    }
}

TEST_F(TuvWindowsTest, InsideWindowShowsGroupsRowsAndChannelZeroOnly) {
    CTuvInsideDlg& inside = dlg_->insideWindow();
    EXPECT_EQ(inside.windowTitle(), "TUV Inside");
    EXPECT_FALSE(inside.isVisible());
    EXPECT_EQ(Child<QGroupBox>(&inside, "driverGroup")->title(), "Treiber");
    EXPECT_EQ(Child<QGroupBox>(&inside, "converterGroup")->title(), "Konverter");
    QStringList labels;
    for (QLabel* l : inside.findChildren<QLabel*>()) labels << l->text();
    for (const char* label : {"Zustand", "Control", "Rx Z\xE4hler", "Tx Index", "Ck Index", "Rx Index",
                              "Timeout", "Tf belegt", "Rf belegt", "Tf Overflow", "Tx Error",
                              "Rx Overflow", "Rf Error", "Rx Error"})
        EXPECT_TRUE(labels.contains(QString::fromLatin1(label))) << label;

    inside.show();
    g_linkChannels[0].control = 0x2A;
    g_linkChannels[0].txPos = 3;
    g_converterChannels[0].rfErrorCount = 7;
    clock_.advance(10);
    auto field = [&](int row, int col) {
        return Child<QLineEdit>(&inside, QStringLiteral("insideField%1_%2").arg(row).arg(col))->text();
    };
    EXPECT_EQ(field(1, 0), "2A");  // Control
    EXPECT_EQ(field(3, 0), "3");   // Tx Index
    EXPECT_EQ(field(6 + 7, 0), "7");  // Rf Error
    g_linkChannels[0].control = 5;
    clock_.advance(10);
    EXPECT_EQ(field(1, 0), "05");
    for (int row = 0; row < 15; ++row) EXPECT_EQ(field(row, 1), row == 1 ? "" : "0") << row;
    EXPECT_TRUE(Child<QLineEdit>(&inside, "insideField0_0")->isReadOnly());
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_APP_GUI
