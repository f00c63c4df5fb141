#pragma once
// "TUV Inside": the driver's and the converter's inner state, channel 0 in the first column.

#include <QDialog>
#include <vector>

#include "tuv/tuv_inside.h"

class QLineEdit;

namespace nvx {

class CTuvInsideDlg : public QDialog, public TuvInsideView {
    Q_OBJECT
public:
    // Created hidden; Initialize() starts timer 13, which runs whether the window is shown or not.
    explicit CTuvInsideDlg(TimerService& timers, QWidget* parent = nullptr);
    ~CTuvInsideDlg() override;

    void Initialize() { logic_.Initialize(); }
    TuvInsideLogic& logic() { return logic_; }

    // TuvInsideView. A hidden window keeps the values and shows them when it is shown.
    void writeControls(const TuvInsideFields& fields) override;

signals:
    // Escape or the title bar's close box hid the window.
    void closedByUser();

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Row {
        QLineEdit* field[2];
    };
    void apply();

    std::vector<Row> rows_;  // Treiber rows, then Konverter rows
    TuvInsideFields shown_;
    bool stale_ = true;
    TuvInsideLogic logic_;
};

}  // namespace nvx
