#pragma once
// "TUV Communication": the trace views and pipe controls over the byte pump. Its timer is the
// pump, so the window exists from the program's start to its end; closing it only hides it.

#include <QDialog>
#include <memory>
#include <string>

#include "tuv/gui/tuv_inside_dlg.h"
#include "tuv/tuv_comm.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace nvx {

class CTuvCommDlg : public QDialog, public TuvCommView {
    Q_OBJECT
public:
    // Created hidden; the pump (timer 2) and the TUV Inside window's timer 13 start here.
    explicit CTuvCommDlg(TimerService& timers, QWidget* parent = nullptr);
    ~CTuvCommDlg() override;

    TuvCommLogic& logic() { return logic_; }
    CTuvInsideDlg& insideWindow() { return *inside_; }

    // TuvCommView. The trace texts belong to the logic: reading the controls reads the boxes and
    // name fields only, and only when one of them changed since they were last read into the
    // same fields (the pump reads them on every tick). A hidden window keeps the texts and shows
    // them when it is shown.
    void readControls(TuvCommFields& fields) override;
    void writeControls(const TuvCommFields& fields) override;
    void enableControls(const TuvCommEnables& enables) override;
    void scrollToLastLines() override;
    void showInside(bool shown) override;
    void showFramesView(bool shown) override;
    void updateFrames(const FrameLog& log) override;
    bool askFramesFileName(std::string& path) override;

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Channel {
        QCheckBox* pipeTx;
        QCheckBox* pipeRx;
        QLineEdit* txName;
        QLineEdit* rxName;
        QCheckBox* com;
        QLineEdit* port;
    };
    Channel makeChannel(int ch);
    void apply();
    void setView(QPlainTextEdit* view, std::string& shown, const std::string& text);
    QWidget* makeFramesPanel();
    bool framesVisible() const;
    void renderFrames();

    std::unique_ptr<CTuvInsideDlg> inside_;
    QPlainTextEdit* txView_;
    QPlainTextEdit* rxView_;
    Channel channels_[kTuvChannelCount];
    QCheckBox* scroll_;
    QCheckBox* hex_;
    QCheckBox* view_;
    QCheckBox* frames_;
    QWidget* framesPanel_;
    QTableWidget* framesTable_;
    const FrameLog* framesLog_ = nullptr;  // the rows to show once the view is visible
    uint64_t framesShownTotal_ = 0;        // the log's total when the table was last filled
    TuvCommFields pending_;
    bool stale_ = true;
    bool controlsChanged_ = true;
    const TuvCommFields* lastReadInto_ = nullptr;
    bool scrollPending_ = false;
    std::string shownTx_;
    std::string shownRx_;
    TuvCommLogic logic_;
};

}  // namespace nvx
