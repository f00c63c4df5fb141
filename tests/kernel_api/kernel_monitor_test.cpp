// The kernel window as the monitor program makes it (its plug in the main window), against the
// virtual device: shown from the menu, the three versions queried, Reset logged with its tones.
#if defined(NVX_KERNEL_API_GUI) && defined(NVX_KERNEL_IN_MONITOR)

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "app/gui/monitor_dlg.h"
#include "app/gui/monitor_program.h"
#include "kernel_api/gui/kernel_api_dlg.h"
#include "platform/format.h"
#include "support/device_harness.h"
#include "support/qt_test_app.h"
#include "support/recording_dialogs.h"

namespace nvx {
namespace {

class NoStarter : public DetachedStarter {
public:
    bool StartDetached(const std::string&, const std::vector<std::string>&) override { return false; }
};

class KernelInMonitorTest : public test::DeviceHarnessTest {
protected:
    static void SetUpTestSuite() { test::EnsureTestApp(); }

    void SetUp() override {
        DeviceHarnessTest::SetUp();
        ResetKernelApiState();
        SwitchComPort = 1;  // the virtual device's link
        ports = std::make_unique<TuvChannelPorts>(h().pump());
        main = std::make_unique<CMonitorDlg>(h().clock(), *ports, tones, starter, nullptr,
                                             PluggedWindows());
    }
    void TearDown() override {
        main.reset();
        ports.reset();
        DeviceHarnessTest::TearDown();
    }

    template <typename T>
    T* child(QWidget* w, const char* name) {
        T* c = w->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(c, nullptr) << name;
        return c;
    }
    bool RunToEnd() {
        return h().advanceUntil(
            [] {
                return KernelWindowState != kKernelWindowBusy &&
                       KernelRequestState == kKernelRequestIdle;
            },
            20000);
    }

    RecordingToneSink tones;
    NoStarter starter;
    std::unique_ptr<TuvChannelPorts> ports;
    std::unique_ptr<CMonitorDlg> main;
};

TEST_F(KernelInMonitorTest, VersionsAndResetFromTheMenusWindow) {
    auto* kernel = qobject_cast<CKernelApiDlg*>(main->subWindow(MenuWindow::KernelApi));
    ASSERT_NE(kernel, nullptr);
    EXPECT_FALSE(kernel->isVisible());  // created hidden with the main window
    EXPECT_TRUE(main->menuAction(MenuWindow::KernelApi)->isEnabled());

    main->logic().OnOpenCloseCom();
    ASSERT_EQ(ComPortState, kComPortOpen) << h().deviceLogText();
    main->menuAction(MenuWindow::KernelApi)->trigger();
    EXPECT_TRUE(kernel->isVisible());

    for (const char* button : {"hardwareButton", "norvixButton", "applicationButton"}) {
        QTest::mouseClick(child<QPushButton>(kernel, button), Qt::LeftButton);
        ASSERT_TRUE(RunToEnd()) << button;
    }
    const sim::VersionInfo& v = h().device().deviceType().versions;
    EXPECT_EQ(child<QLineEdit>(kernel, "hardwareField")->text().toStdString(),
              Format("P %u, V %u, H 0x%02X/%02X", v.platform, v.variant, v.hardwareCode >> 8,
                     v.hardwareCode & 0xFF));
    EXPECT_EQ(child<QLineEdit>(kernel, "norvixField")->text().toStdString(),
              Format("V %u.%u, App# %2u", v.kernelMajor, v.kernelMinor, v.appNumber));
    EXPECT_EQ(child<QLineEdit>(kernel, "applicationField")->text().toStdString(),
              Format("V %u.%u, Build %02u-%02u", v.appMajor, v.appMinor, v.buildYear, v.buildWeek));

    tones.tones.clear();
    const uint32_t restarts = h().device().restartCount();
    child<QComboBox>(kernel, "commandList")->setCurrentIndex(FindKernelCommand("Reset"));
    QTest::mouseClick(child<QPushButton>(kernel, "sendCommandButton"), Qt::LeftButton);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(main->logic().fields().logText.rfind("I> API Command OK\r\n", 0), 0u)
        << main->logic().fields().logText;
    EXPECT_EQ(tones.tones, (std::vector<std::pair<uint32_t, uint32_t>>{{700, 120}, {1000, 80}}));
    EXPECT_EQ(h().device().restartCount(), restarts + 1) << h().deviceLogText();

    // Closing the window leaves the main window's port state as it is.
    main->logic().OnOpenCloseCom();
    ASSERT_EQ(ComPortState, kComPortClosed);
    kernel->reject();
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_FALSE(kernel->isVisible());
}

}  // namespace
}  // namespace nvx

#endif
