#pragma once
// "Norvix Kernel": the modeless window over KernelApi.

#include <QDialog>
#include <vector>

#include "kernel_api/kernel_api.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace nvx {

class CKernelApiDlg : public QDialog, public KernelApiView {
    Q_OBJECT
public:
    // Created hidden; the request timer starts at once and runs while the window is hidden.
    CKernelApiDlg(TimerService& timers, MonitorShell& shell, QWidget* parent = nullptr);
    ~CKernelApiDlg() override;

    KernelApi& logic() { return logic_; }
    // Every button that sends to the device; withheld while a procedure has the port.
    void AllowDeviceActions(bool allowed);

    // KernelApiView
    RejectedNumbers readControls(KernelApiFields& fields) override;
    void writeControls(const KernelApiFields& fields) override;
    MessageAnswer ask(const std::string& text, MessageIcon icon, MessageButtons buttons) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

public slots:
    // Close button, Escape and the title bar's close box.
    void reject() override;

private:
    QComboBox* commandList_;
    QLineEdit* parameter_;
    QLineEdit* returnCodeDecimal_;
    QLineEdit* returnCodeHex_;
    QLineEdit* hardware_;
    QLineEdit* norvix_;
    QLineEdit* application_;
    QLineEdit* slotNumber_;
    QLineEdit* slotResult_;
    QLineEdit* timerNumber_;
    QLineEdit* timerResult_;
    QLineEdit* bytesResult_;
    std::vector<QPushButton*> deviceButtons_;
    KernelApi logic_;
};

}  // namespace nvx
