// The main window and the About box on the offscreen platform: controls and texts, enable rules,
// the menu entries reaching their windows, clicks and typing reaching the logic.

#if NVX_APP_GUI

#include <cstdlib>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>

#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "comm/tick.h"
#include "monitor_doubles.h"
#include "progtool/gui/prog_tool_dlg.h"
#include "progtool/prog_tool.h"
#include "support/qt_test_app.h"
#include "support/recording_dialogs.h"
#include "support/scratch_files.h"
#include "support/window_input.h"
#include "tuv/gui/tuv_comm_dlg.h"

namespace nvx::test {
namespace {

template <class T>
T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

class MonitorGuiTest : public StartDirectoryFixture {
protected:
    void SetUp() override {
        EnsureTestApp();
        StartDirectoryFixture::SetUp();
        InitCommStack();
        g_startTickPeriodMs = g_tickPeriodMs = 10;
    }
    void TearDown() override {
        dlg_.reset();
        tuv_.reset();
        StartDirectoryFixture::TearDown();
    }
    // The main window as the program builds it: the TUV Communication window and every plug.
    void build(bool withWindows = true) {
        if (withWindows) tuv_ = std::make_unique<CTuvCommDlg>(clock_);
        dlg_ = std::make_unique<CMonitorDlg>(clock_, ports_, tones_, starter_, tuv_.get(),
                                             withWindows ? PluggedWindows() : std::vector<WindowPlug>{});
        dlg_->show();
    }
    QString log() { return Child<QPlainTextEdit>(dlg_.get(), "logBox")->toPlainText(); }

    VirtualClock clock_;
    RecordingPorts ports_;
    RecordingToneSink tones_;
    RecordingStarter starter_;
    std::unique_ptr<CTuvCommDlg> tuv_;
    std::unique_ptr<CMonitorDlg> dlg_;
};

TEST_F(MonitorGuiTest, MainWindowShowsItsControls) {
    ComPortNumber = 5;
    build();
    EXPECT_EQ(dlg_->windowTitle(), "Norvix Monitor");
    auto* logBox = Child<QPlainTextEdit>(dlg_.get(), "logBox");
    EXPECT_TRUE(logBox->isReadOnly());
    EXPECT_EQ(logBox->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(Child<QGroupBox>(dlg_.get(), "comPortGroup")->title(), "COM Port");
    auto* port = Child<QLineEdit>(dlg_.get(), "portNumberField");
    EXPECT_EQ(port->text(), "5");
    EXPECT_TRUE(port->alignment() & Qt::AlignRight);
    EXPECT_TRUE(port->isEnabled());
    EXPECT_EQ(Child<QLabel>(dlg_.get(), "statusLine")->text(), "TUV Port Closed");
    EXPECT_TRUE(Child<QLabel>(dlg_.get(), "statusLine")->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(Child<QPushButton>(dlg_.get(), "openComButton")->text(), "Open COM");
    EXPECT_EQ(Child<QPushButton>(dlg_.get(), "closeMonitorButton")->text(), "Close Monitor");
    bool portLabel = false;
    for (QLabel* label : dlg_->findChildren<QLabel*>()) portLabel |= label->text() == "Port No.:";
    EXPECT_TRUE(portLabel);
}

TEST_F(MonitorGuiTest, MenuHasItsEntriesInOrder) {
    build();
    auto* bar = Child<QMenuBar>(dlg_.get(), "menuBar");
    QStringList seen;
    // The words without the mnemonic marker; each menu's markers differ, and so do the bar's.
    auto shown = [](const QAction* a) { return QString(a->text()).remove(QLatin1Char('&')); };
    auto mnemonic = [](const QAction* a) {
        const qsizetype at = a->text().indexOf(QLatin1Char('&'));
        return at < 0 ? QChar() : a->text().at(at + 1).toLower();
    };
    QSet<QChar> barKeys;
    for (QAction* menu : bar->actions()) {
        seen << shown(menu);
        EXPECT_FALSE(mnemonic(menu).isNull()) << menu->text().toStdString();
        barKeys.insert(mnemonic(menu));
        QSet<QChar> keys;
        qsizetype entries = 0;
        for (QAction* entry : menu->menu()->actions()) {
            seen << (entry->isSeparator() ? "-" : shown(entry));
            if (entry->isSeparator()) continue;
            ++entries;
            EXPECT_FALSE(mnemonic(entry).isNull()) << entry->text().toStdString();
            keys.insert(mnemonic(entry));
        }
        EXPECT_EQ(keys.size(), entries);
    }
    EXPECT_EQ(barKeys.size(), bar->actions().size());
    const QStringList expected = {"Communication", "Test Communication", "Show Protocol Window", "-",
                                  "Exit", "Applications", "Solvane Text Progr.", "Tools",
                                  "Software Update", "Norvix Kernel API", "-", "EEPROM Tools",
                                  "Help", "Show ReadMe", "About ..."};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(Child<QAction>(dlg_.get(), "testCommunicationAction")->isEnabled());
}

TEST_F(MonitorGuiTest, TheKeyboardReachesEveryMenu) {
    build();
    dlg_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg_.get()));
    QWidget* kernel = dlg_->subWindow(MenuWindow::KernelApi);
    ASSERT_NE(kernel, nullptr);
    // Alt and the menu's letter open it; the entry's letter chooses the entry.
    QTest::keyClick(WindowOf(dlg_.get()), Qt::Key_T, Qt::AltModifier);
    QApplication::processEvents();
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->title(), QStringLiteral("&Tools"));
    KeyThroughWindow(dlg_.get(), Qt::Key_K);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_TRUE(kernel->isVisible());

    // This platform activates a window shown without activation; the desktop would not.
    kernel->hide();
    dlg_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg_.get()));

    // F10 opens the first menu, Escape closes it again.
    KeyThroughWindow(dlg_.get(), Qt::Key_F10);
    popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->title(), QStringLiteral("&Communication"));
    KeyThroughWindow(dlg_.get(), Qt::Key_Escape);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);

    // F1 shows the ReadMe.
    KeyThroughWindow(dlg_.get(), Qt::Key_F1);
    EXPECT_EQ(starter_.started.size(), 1u);
}

TEST_F(MonitorGuiTest, F6HandsTheKeyboardToTheNextShownWindow) {
    build();
    QWidget* kernel = dlg_->subWindow(MenuWindow::KernelApi);
    QWidget* texts = dlg_->subWindow(MenuWindow::StartTexts);
    dlg_->menuAction(MenuWindow::KernelApi)->trigger();
    dlg_->menuAction(MenuWindow::StartTexts)->trigger();
    ASSERT_TRUE(kernel->isVisible() && texts->isVisible());
    dlg_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg_.get()));
    // The main window, then the shown windows in the order they were made, then round again.
    for (QWidget* expected : {texts, kernel, static_cast<QWidget*>(dlg_.get())}) {
        KeyThroughWindow(QApplication::activeWindow(), Qt::Key_F6);
        EXPECT_TRUE(QTest::qWaitForWindowActive(expected)) << expected->windowTitle().toStdString();
    }
}

TEST_F(MonitorGuiTest, CtrlQQuitsThroughTheQuestionOfCloseMonitor) {
    bool busy = true;
    std::vector<WindowPlug> plugs = {
        {{MenuWindow::SoftwareUpdate}, [&busy](const ProgramContext&) {
             return PluggedWindow{std::make_unique<QWidget>(), {}, [&busy] { return busy; }, {}, {}};
         }}};
    dlg_ =
        std::make_unique<CMonitorDlg>(clock_, ports_, tones_, starter_, nullptr, std::move(plugs));
    dlg_->show();
    dlg_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg_.get()));
    QString question;
    WhenModalShows(dlg_.get(), [&](QWidget* box) {
        question = qobject_cast<QMessageBox*>(box)->text();
        KeyThroughWindow(box, Qt::Key_Return);  // the default answer: No
    });
    QTest::keyClick(WindowOf(dlg_.get()), Qt::Key_Q, Qt::ControlModifier);
    QApplication::processEvents();
    EXPECT_EQ(question, "A device update is running. Quit anyway?");
    EXPECT_TRUE(dlg_->isVisible());

    busy = false;
    dlg_->activateWindow();  // as the desktop gives it back when the question closes
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg_.get()));
    QTest::keyClick(WindowOf(dlg_.get()), Qt::Key_Q, Qt::ControlModifier);
    QApplication::processEvents();
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), 1);
}

TEST_F(MonitorGuiTest, MenuEntriesReachTheirWindows) {
    build();
    const struct {
        MenuWindow entry;
        const char* title;
    } cases[] = {
        {MenuWindow::Protocol, "TUV Communication"},
        {MenuWindow::StartTexts, "Solvane Starting Texts"},
        {MenuWindow::KernelApi, "Norvix Kernel"},
        {MenuWindow::SoftwareUpdate, "Programming Tool"},
        {MenuWindow::EepromTools, "Programming Tool"},
    };
    for (const auto& c : cases) {
        QWidget* window = dlg_->subWindow(c.entry);
        ASSERT_NE(window, nullptr) << c.title;
        window->hide();
        QAction* action = dlg_->menuAction(c.entry);
        EXPECT_TRUE(action->isEnabled()) << c.title;
        action->trigger();
        EXPECT_TRUE(window->isVisible()) << c.title;
        EXPECT_EQ(window->windowTitle(), c.title);
    }
    auto* tool = dynamic_cast<CProgToolDlg*>(dlg_->subWindow(MenuWindow::SoftwareUpdate));
    ASSERT_NE(tool, nullptr);
    dlg_->menuAction(MenuWindow::SoftwareUpdate)->trigger();
    EXPECT_EQ(tool->logic().layout(), ProgToolLayout::SoftwareUpdate);
    dlg_->menuAction(MenuWindow::EepromTools)->trigger();
    EXPECT_EQ(tool->logic().layout(), ProgToolLayout::EepromTools);
}

TEST_F(MonitorGuiTest, SubWindowsStartHidden) {
    build();
    for (MenuWindow entry : {MenuWindow::Protocol, MenuWindow::StartTexts, MenuWindow::KernelApi,
                             MenuWindow::SoftwareUpdate}) {
        ASSERT_NE(dlg_->subWindow(entry), nullptr);
        EXPECT_FALSE(dlg_->subWindow(entry)->isVisible());
    }
}

TEST_F(MonitorGuiTest, EntriesWithoutAWindowAreDisabled) {
    build(false);
    for (MenuWindow entry : {MenuWindow::Protocol, MenuWindow::StartTexts, MenuWindow::KernelApi,
                             MenuWindow::SoftwareUpdate, MenuWindow::EepromTools}) {
        EXPECT_FALSE(dlg_->menuAction(entry)->isEnabled());
        EXPECT_EQ(dlg_->subWindow(entry), nullptr);
    }
    for (const char* name : {"exitAction", "showReadMeAction", "aboutAction"})
        EXPECT_TRUE(Child<QAction>(dlg_.get(), name)->isEnabled()) << name;
}

TEST_F(MonitorGuiTest, TypedPortNumberIsTakenDigitByDigit) {
    ComPortNumber = 3;
    build(false);
    auto* port = Child<QLineEdit>(dlg_.get(), "portNumberField");
    port->selectAll();
    QTest::keyClicks(port, "12");
    EXPECT_EQ(ComPortNumber, 12);
    EXPECT_EQ(port->text(), "12");
    EXPECT_NE(readIni().find("COM_PORT 12\r\n"), std::string::npos);

    QTest::keyClicks(port, "0");  // 120
    EXPECT_EQ(ComPortNumber, 120);
    QTest::keyClick(port, Qt::Key_Backspace);
    QTest::keyClick(port, Qt::Key_Backspace);
    EXPECT_EQ(ComPortNumber, 1);
    QTest::keyClick(port, Qt::Key_Home);
    QTest::keyClicks(port, "9");  // 91
    EXPECT_EQ(ComPortNumber, 91);
    QTest::keyClicks(port, "9");  // 991: out of range, the last good number comes back
    EXPECT_EQ(ComPortNumber, 91);
    EXPECT_EQ(port->text(), "91");
    QTest::keyClicks(port, "x");  // not a digit: the field does not take it
    EXPECT_EQ(port->text(), "91");
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(MonitorGuiTest, OpenAndCloseButtonFollowThePort) {
    ComPortNumber = 2;
    build(false);
    auto* button = Child<QPushButton>(dlg_.get(), "openComButton");
    auto* port = Child<QLineEdit>(dlg_.get(), "portNumberField");
    auto* status = Child<QLabel>(dlg_.get(), "statusLine");

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(ports_.calls.back(), (RecordingPorts::Call{"open", 0, 2, 19200}));
    EXPECT_EQ(button->text(), "Close COM");
    EXPECT_FALSE(port->isEnabled());
    EXPECT_EQ(status->text(), "TUV Port Open");
    EXPECT_EQ(log(), "I> COM Port Opened\n");

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), "Open COM");
    EXPECT_TRUE(port->isEnabled());
    EXPECT_EQ(status->text(), "TUV Port Closed");
    EXPECT_EQ(log(), "I> COM Port Closed\nI> COM Port Opened\n");

    ports_.openSucceeds = false;
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), "Open COM");
    EXPECT_TRUE(port->isEnabled());
}

TEST_F(MonitorGuiTest, LogShowsLatin1TextNewestFirst) {
    build(false);
    dlg_->logic().AppendMonitorLog("E> Can\xB4t find notepad.exe");
    dlg_->logic().AppendMonitorLog(" > Z\xE4hler");
    EXPECT_EQ(log(), QString::fromUtf8(" > Z\u00E4hler\nE> Can\u00B4t find notepad.exe\n"));
}

TEST_F(MonitorGuiTest, ALongLineWrapsInsteadOfRunningOutOfTheLog) {
    build(false);
    const std::string line =
        "E> norvixosp: avrdude ended with status 1: expected signature for ATmega644P is 1E 96 0A, "
        "double check chip or use -F to override this check";
    dlg_->logic().AppendMonitorLog(line);
    QApplication::processEvents();
    auto* box = Child<QPlainTextEdit>(dlg_.get(), "logBox");
    // All of it is there and none of it lies beyond the box's right edge.
    EXPECT_EQ(log(), QString::fromLatin1(line.c_str()) + QLatin1Char('\n'));
    EXPECT_EQ(box->horizontalScrollBar()->maximum(), 0);
    const QTextBlock block = box->document()->firstBlock();
    ASSERT_NE(block.layout(), nullptr);
    EXPECT_GT(block.layout()->lineCount(), 1);
    for (int i = 0; i < block.layout()->lineCount(); ++i)
        EXPECT_LE(block.layout()->lineAt(i).naturalTextWidth(), box->viewport()->width()) << i;
}

TEST_F(MonitorGuiTest, CloseMonitorEndsWithResultOne) {
    build(false);
    QTest::mouseClick(Child<QPushButton>(dlg_.get(), "closeMonitorButton"), Qt::LeftButton);
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), 1);
    EXPECT_EQ(Child<QLabel>(dlg_.get(), "statusLine")->text(), "COM Port Closed");
    EXPECT_TRUE(log().startsWith("I> COM Port Closed\n"));
}

TEST_F(MonitorGuiTest, ExitEntryEndsLikeCloseMonitor) {
    build(false);
    Child<QAction>(dlg_.get(), "exitAction")->trigger();
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), 1);
}

TEST_F(MonitorGuiTest, EscapeEndsWithoutClosingThePort) {
    build(false);
    ports_.calls.clear();
    QTest::keyClick(dlg_.get(), Qt::Key_Escape);
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), 0);
    EXPECT_TRUE(ports_.calls.empty());
    EXPECT_EQ(log(), "");
}

TEST_F(MonitorGuiTest, ClosingDuringDeviceWorkAsksAndNoIsTheDefault) {
    bool busy = true;
    std::vector<WindowPlug> plugs = {
        {{MenuWindow::SoftwareUpdate}, [&busy](const ProgramContext&) {
             return PluggedWindow{std::make_unique<QWidget>(), {}, [&busy] { return busy; }, {}, {}};
         }}};
    dlg_ =
        std::make_unique<CMonitorDlg>(clock_, ports_, tones_, starter_, nullptr, std::move(plugs));
    dlg_->show();

    QString question;
    WhenModalShows(dlg_.get(), [&](QWidget* box) {
        question = qobject_cast<QMessageBox*>(box)->text();
        KeyThroughWindow(box, Qt::Key_Return);  // the default answer
    });
    KeyThroughWindow(dlg_.get(), Qt::Key_Escape);
    EXPECT_EQ(question, "A device update is running. Quit anyway?");
    EXPECT_TRUE(dlg_->isVisible());

    question.clear();
    WhenModalShows(dlg_.get(), [&](QWidget* box) {
        question = qobject_cast<QMessageBox*>(box)->text();
        ClickThroughWindow(qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes));
    });
    ClickThroughWindow(Child<QPushButton>(dlg_.get(), "closeMonitorButton"));
    EXPECT_FALSE(question.isEmpty());
    // The work is stopped first; the window ends once it has.
    EXPECT_TRUE(dlg_->isVisible());
    busy = false;
    clock_.advance(kMonitorTimerPeriodMs);
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), 1);
}

TEST_F(MonitorGuiTest, EnterDoesNotEndTheProgram) {
    build(false);
    QTest::keyClick(Child<QLineEdit>(dlg_.get(), "portNumberField"), Qt::Key_Return);
    EXPECT_TRUE(dlg_->isVisible());
}

TEST_F(MonitorGuiTest, ShowReadMeUsesTheStarter) {
    build(false);
    const char* editor = std::getenv("EDITOR");
    const char* visual = std::getenv("VISUAL");
    const std::string keptEditor = editor ? editor : "", keptVisual = visual ? visual : "";
    ::unsetenv("EDITOR");
    ::unsetenv("VISUAL");
    starter_.succeeds = false;
    Child<QAction>(dlg_.get(), "showReadMeAction")->trigger();
    ASSERT_EQ(starter_.started.size(), 1u);
    EXPECT_TRUE(log().endsWith(QString::fromUtf8("E> Can\u00B4t find notepad.exe\n"))) << log().toStdString();
    if (editor) ::setenv("EDITOR", keptEditor.c_str(), 1);
    if (visual) ::setenv("VISUAL", keptVisual.c_str(), 1);
}

TEST_F(MonitorGuiTest, WithoutAViewerTheReadMeShowsInAReadOnlyWindow) {
    build(false);
    WriteText(StartDirectory + "ReadMe.txt", "Norvix PC Monitor\r\nF\xFChler\r\n");
    starter_.succeeds = false;
    dlg_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg_.get()));
    KeyThroughWindow(dlg_.get(), Qt::Key_F1);
    // Guarded: the viewer deletes itself when closed.
    const QPointer<QWidget> viewer = dlg_->findChild<QDialog*>(QStringLiteral("textViewer"));
    ASSERT_FALSE(viewer.isNull());
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("ReadMe.txt"));
    auto* view = Child<QPlainTextEdit>(viewer, "textView");
    EXPECT_TRUE(view->isReadOnly());
    EXPECT_EQ(view->toPlainText(), QString::fromUtf8("Norvix PC Monitor\nF\u00FChler\n"));
    ClickThroughWindow(Child<QPushButton>(viewer, "closeButton"));
    EXPECT_TRUE(viewer.isNull() || !viewer->isVisible());
}

TEST_F(MonitorGuiTest, AboutBoxShowsVersionNoticeAndOk) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "Info");
    EXPECT_EQ(Child<QLabel>(&about, "versionLine")->text(), "Norvix PC Monitor V 1.7.2 (Build 2015-01-28)");
    EXPECT_FALSE(Child<QLabel>(&about, "noticeLine")->text().isEmpty());
    EXPECT_FALSE(Child<QLabel>(&about, "aboutIcon")->pixmap().isNull());
    about.show();
    QTest::mouseClick(Child<QPushButton>(&about, "okButton"), Qt::LeftButton);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST_F(MonitorGuiTest, AboutEntryOpensTheAboutBoxModally) {
    build(false);
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        seen = about && about->windowTitle() == "Info";
        if (about) about->accept();
    });
    Child<QAction>(dlg_.get(), "aboutAction")->trigger();
    EXPECT_TRUE(seen);
}

TEST_F(MonitorGuiTest, FinishedAutomaticUpdateEndsTheWindowOnTimer1) {
    build(false);
    AutoStartState = kAutoStartFinished;
    clock_.advance(100);
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), 1);
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_APP_GUI
