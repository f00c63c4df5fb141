#pragma once
// "Norvix Monitor": the main window over Monitor. It owns the windows of the menu.

#include <QDialog>
#include <QIcon>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/gui/window_plug.h"
#include "app/monitor.h"

class QAction;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace nvx {

class CMonitorDlg : public QDialog, public MonitorView, public MonitorWindows {
    Q_OBJECT
public:
    // `protocolWindow` is the TUV Communication window (made before this one; may be null); the
    // plugs are created hidden, in their order, at the start. The start runs here: settings,
    // timer 1, the port closed, the sub-windows, an automatic update.
    CMonitorDlg(TimerService& timers, ChannelPorts& ports, ToneSink& tones, DetachedStarter& starter,
                QWidget* protocolWindow, std::vector<WindowPlug> plugs, QWidget* parent = nullptr);
    ~CMonitorDlg() override;

    Monitor& logic() { return logic_; }
    QAction* menuAction(MenuWindow entry) const { return entryActions_.at(entry); }
    // The window a plug made for an entry; null when no plug names it.
    QWidget* subWindow(MenuWindow entry) const;

    // MonitorView
    void writeControls(const MonitorFields& fields) override;
    bool readControls(MonitorFields& fields) override;
    void setPortFieldEnabled(bool enabled) override;
    void setOpenButtonText(const std::string& text) override;
    void setOpenButtonEnabled(bool enabled) override;
    void setTestCommunicationEnabled(bool enabled) override;
    void endDialog(int result) override;
    bool askYesDefaultNo(const std::string& question) override;
    void showText(const std::string& title, const std::string& text) override;
    void sayPortRange(const std::string& range) override;

    // MonitorWindows
    void CreateSubWindows() override;
    void ShowWindow(MenuWindow entry) override;
    bool HasWindow(MenuWindow entry) const override;
    bool DeviceWorkRunning() const override;
    void StopDeviceWork() override;
    void AllowDeviceActions(bool allowed) override;
    void TestCommunication() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    // Escape, the title bar's close box and the window manager's close: the same question as
    // Close Monitor while device work runs.
    void reject() override;

private:
    void buildMenu();
    // Gives the keyboard to the next of the monitor's shown windows, the main window first.
    void activateNextWindow();
    void updateMenu();
    void placeBeside(QWidget* window);
    // Moves, and shrinks if it must, one of the program's other windows so that it lies inside
    // the screen's free area and leaves this window's controls uncovered.
    void keepClear(QWidget* window);
    std::vector<QRect> controlsOnScreen() const;

    struct Created {
        PluggedWindow plugged;
        std::vector<MenuWindow> entries;
    };

    QWidget* protocolWindow_;
    std::vector<WindowPlug> plugs_;
    std::vector<Created> created_;
    std::map<MenuWindow, QAction*> entryActions_;
    std::set<QWidget*> placed_;  // windows shown once already: they stay where the user put them
    QPlainTextEdit* logBox_;
    QLineEdit* portNumber_;
    QLabel* statusLine_;
    QPushButton* openButton_;
    QPushButton* closeMonitorButton_;
    QWidget* comGroup_;
    bool keepingClear_ = false;
    QAction* testCommunication_ = nullptr;
    std::string shownLog_;
    Monitor logic_;
};

// "Info": the program's version and the maker's notice.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// The application icon (also the window icon of every window of the program).
QIcon MonitorIcon();

}  // namespace nvx
