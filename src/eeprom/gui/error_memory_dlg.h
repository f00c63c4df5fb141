#pragma once
// "Error Memory": the modal window with the report of one EEPROM image, editable and saveable.

#include <QDialog>

#include "eeprom/error_memory_window.h"

class QPlainTextEdit;
class QPushButton;

namespace nvx {

class CErrorMemoryDlg : public QDialog, public ErrorMemoryView {
    Q_OBJECT
public:
    // Made for one analysis; the report is built at once.
    CErrorMemoryDlg(const std::string& fileName, int32_t deviceRow, QWidget* parent = nullptr);
    ~CErrorMemoryDlg() override;

    ErrorMemory& logic() { return logic_; }

    // ErrorMemoryView
    std::string readContent() override;
    void writeContent(const std::string& content) override;
    bool askSaveFileName(const std::string& filter, std::string& chosen) override;

private:
    QPlainTextEdit* content_;
    QPushButton* saveButton_;
    QPushButton* okButton_;
    ErrorMemory logic_;
};

}  // namespace nvx
