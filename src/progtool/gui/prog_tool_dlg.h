#pragma once
// "Programming Tool": the modeless window over ProgTool, in its Software Update or EEPROM Tools
// layout.

#include <QComboBox>
#include <QDialog>
#include <map>

#include "progtool/prog_tool.h"

class QCheckBox;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace nvx {

// A drop-down list that reports when its list closes, whether or not the row changed. The
// report comes after the list has taken the chosen row.
// The device list: a row counts once the list has closed on it, or once the wheel or a key has
// moved the closed list to it.
class DeviceListBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void hidePopup() override;

signals:
    void closedUp();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    template <typename Move>
    void ChangeClosed(Move move);
};

class CProgToolDlg : public QDialog, public ProgToolView {
    Q_OBJECT
public:
    // Created hidden; timer 4 starts at once and runs while the window is hidden.
    CProgToolDlg(TimerService& timers, MonitorShell& shell, QWidget* parent = nullptr);
    ~CProgToolDlg() override;

    ProgTool& logic() { return logic_; }
    // The main window's Tools menu.
    void ShowSoftwareUpdate() { logic_.ShowSoftwareUpdate(); }
    void ShowEepromTools() { logic_.ShowEepromTools(); }

    QWidget* control(ProgToolControl c) const { return controls_.at(c); }

    // ProgToolView
    void readControls(ProgToolFields& fields) override;
    void writeControls(const ProgToolFields& fields) override;
    void setControlVisible(ProgToolControl control, bool visible) override;
    void setControlEnabled(ProgToolControl control, bool enabled) override;
    void showWithoutActivating() override;
    void hideWindow() override;
    bool askOpenFileName(const std::string& title, const std::string& initialPath,
                         const std::string& filter, FileChoice choice,
                         std::string& chosen) override;
    void runErrorMemory(const std::string& path, int32_t deviceRow) override;
    void setProgrammerProgress(int percent) override;
    void setProgrammerStep(const std::string& step) override;

public slots:
    // Close button, Escape and the title bar's close box: hide only.
    void reject() override;

private:
    DeviceListBox* deviceList_;
    QCheckBox* manualStart_;
    QCheckBox* backupFirst_;
    QCheckBox* checkVersions_;
    QLineEdit* programPath_;
    QLineEdit* eepromPath_;
    QProgressBar* progress_;
    std::map<ProgToolControl, QWidget*> controls_;
    ProgTool logic_;
};

}  // namespace nvx
