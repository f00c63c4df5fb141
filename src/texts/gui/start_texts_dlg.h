#pragma once
// "Solvane Starting Texts": the modeless window over StartTexts.

#include <QDialog>

#include "texts/start_texts.h"

class QLineEdit;
class QProgressBar;
class QPushButton;

namespace nvx {

class CStartTextsDlg : public QDialog, public StartTextsView {
    Q_OBJECT
public:
    // Created hidden; the timer starts at once, so work goes on while the window is hidden.
    CStartTextsDlg(TimerService& timers, MonitorShell& shell, QWidget* parent = nullptr);
    ~CStartTextsDlg() override;

    StartTexts& logic() { return logic_; }
    // Read, Write and Test Com.; withheld while a procedure has the port.
    void AllowDeviceActions(bool allowed);

    void readControls(StartTextsFields& fields) override;
    void writeReadControls(const StartTextsFields& fields) override;
    void setProgressRange(int minimum, int maximum) override;
    void setReadingProgress(int value) override;
    void setWritingProgress(int value) override;
    void hideWindow() override;

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* readLine1_;
    QLineEdit* readLine2_;
    QLineEdit* writeLine1_;
    QLineEdit* writeLine2_;
    QProgressBar* readingProgress_;
    QProgressBar* writingProgress_;
    QPushButton* readButton_;
    QPushButton* writeButton_;
    QPushButton* testButton_;
    QPushButton* closeButton_;
    StartTexts logic_;
};

}  // namespace nvx
