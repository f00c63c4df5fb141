// Every window of the monitor on a small real screen: run under Xvfb on a 1366x768 screen, once
// at QT_SCALE_FACTOR 1 and once at 1.5 (ctest starts both). The windows are opened one after the
// other as a technician opens them, all left open; after each, every shown window must lie inside
// the screen's available area, each of its controls inside the window, and no window may cover
// the main window's menu, COM port controls or Close Monitor.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "comm/tick.h"
#include "monitor_doubles.h"
#include "support/qt_test_app.h"
#include "support/window_input.h"
#include "tuv/gui/tuv_comm_dlg.h"

namespace nvx::test {
namespace {

QRect GlobalRect(const QWidget* w) { return QRect(w->mapToGlobal(QPoint(0, 0)), w->size()); }

class WindowLayoutTest : public StartDirectoryFixture {
protected:
    void SetUp() override {
        EnsureTestApp();
        StartDirectoryFixture::SetUp();
        InitCommStack();
        tuv_ = std::make_unique<CTuvCommDlg>(clock_);
        main_ = std::make_unique<CMonitorDlg>(clock_, ports_, tones_, starter_, tuv_.get(),
                                              PluggedWindows());
        // Where the program puts it.
        main_->move(main_->screen()->availableGeometry().topLeft());
        main_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
    }
    void TearDown() override {
        main_.reset();
        tuv_.reset();
        StartDirectoryFixture::TearDown();
    }

    // Lets the window system map, move and resize what was just shown.
    static void Settle() {
        for (int i = 0; i < 5; ++i) {
            QApplication::processEvents();
            QTest::qWait(20);
        }
    }

    std::vector<QRect> mainControls() const {
        std::vector<QRect> rects;
        for (const char* name : {"menuBar", "comPortGroup", "closeMonitorButton"}) {
            auto* control = main_->findChild<QWidget*>(QString::fromLatin1(name));
            EXPECT_NE(control, nullptr) << name;
            if (control) rects.push_back(GlobalRect(control));
        }
        return rects;
    }

    // Every shown top-level window other than the main window and message boxes.
    void expectEveryWindowFits(const std::string& step) {
        const QRect screen = main_->screen()->availableGeometry();
        const std::vector<QRect> controls = mainControls();
        int checked = 0;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->isVisible() || window->windowType() == Qt::Popup ||
                window->windowType() == Qt::ToolTip || qobject_cast<QMessageBox*>(window))
                continue;
            const std::string title = step + " / " + window->windowTitle().toStdString();
            const QRect frame = window->frameGeometry();
            EXPECT_TRUE(screen.contains(frame)) << title << ": " << frame.x() << "," << frame.y()
                                                << " " << frame.width() << "x" << frame.height();
            const QRect inside = GlobalRect(window);
            for (QWidget* control : window->findChildren<QWidget*>()) {
                // A dialog is its parent window's child too: its controls are checked with it.
                if (!control->isVisible() || control->window() != window) continue;
                // Parts of a scrolled view (its viewport's rows) may lie outside it by design.
                if (!control->parentWidget()->rect().intersects(control->geometry())) continue;
                const QRect at = GlobalRect(control);
                EXPECT_TRUE(inside.contains(at) && screen.contains(at))
                    << title << ": " << control->metaObject()->className() << " "
                    << control->objectName().toStdString() << " at " << at.x() << "," << at.y()
                    << " " << at.width() << "x" << at.height();
            }
            if (window != main_.get()) {
                for (const QRect& control : controls)
                    EXPECT_FALSE(frame.intersects(control))
                        << title << " at " << frame.x() << "," << frame.y() << " " << frame.width()
                        << "x" << frame.height() << " covers the main window's control at "
                        << control.x() << "," << control.y() << " " << control.width() << "x"
                        << control.height();
            }
            ++checked;
        }
        EXPECT_GE(checked, 1) << step;
    }

    void openFromMenu(MenuWindow entry) {
        main_->menuAction(entry)->trigger();
        Settle();
    }
    template <class T>
    T* control(MenuWindow entry, const char* name) {
        auto* c = main_->subWindow(entry)->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(c, nullptr) << name;
        return c;
    }

    VirtualClock clock_;
    RecordingPorts ports_;
    RecordingToneSink tones_;
    RecordingStarter starter_;
    std::unique_ptr<CTuvCommDlg> tuv_;
    std::unique_ptr<CMonitorDlg> main_;
};

TEST_F(WindowLayoutTest, EveryWindowFitsTheScreenBesideTheMainWindow) {
    expectEveryWindowFits("main window");

    openFromMenu(MenuWindow::Protocol);
    expectEveryWindowFits("TUV Communication");
    // Ticked, the frames table makes the window grow.
    ClickThroughWindow(control<QCheckBox>(MenuWindow::Protocol, "framesBox"));
    Settle();
    expectEveryWindowFits("TUV Communication with Frames");
    ClickThroughWindow(control<QCheckBox>(MenuWindow::Protocol, "viewBox"));
    Settle();
    expectEveryWindowFits("TUV Inside");

    for (MenuWindow entry : {MenuWindow::StartTexts, MenuWindow::KernelApi,
                             MenuWindow::SoftwareUpdate, MenuWindow::EepromTools}) {
        openFromMenu(entry);
        expectEveryWindowFits(main_->subWindow(entry)->windowTitle().toStdString());
    }

    // The Error Memory report of an EEPROM image, over all the others.
    const auto image = std::filesystem::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image.hex";
    control<QLineEdit>(MenuWindow::EepromTools, "eepromPath")
        ->setText(QString::fromStdString(image.string()));
    bool shown = false;
    WhenModalShows(main_.get(), [&](QWidget* report) {
        shown = report->windowTitle() == QStringLiteral("Error Memory");
        Settle();
        expectEveryWindowFits("Error Memory");
        static_cast<QDialog*>(report)->accept();
    });
    ClickThroughWindow(control<QAbstractButton>(MenuWindow::EepromTools, "analyseButton"));
    EXPECT_TRUE(shown);
}

}  // namespace
}  // namespace nvx::test
