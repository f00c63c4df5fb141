#include "tuv/gui/tuv_inside_dlg.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QShowEvent>

#include "platform/gui/qt_dialogs.h"

namespace nvx {

namespace {

constexpr const char* kDriverRows[] = {"Zustand", "Control", "Rx Z\xE4hler", "Tx Index", "Ck Index", "Rx Index"};
constexpr const char* kConverterRows[] = {"Zustand",     "Timeout",  "Tf belegt",
                                          "Rf belegt",   "Tf Overflow", "Tx Error",
                                          "Rx Overflow", "Rf Error", "Rx Error"};

void SetText(QLineEdit* field, const QString& text) {
    if (field->text() != text) field->setText(text);
}

}  // namespace

CTuvInsideDlg::CTuvInsideDlg(TimerService& timers, QWidget* parent)
    : QDialog(parent), logic_(timers, *this) {
    setWindowTitle(QString::fromLatin1(kTuvInsideTitle));
    setAttribute(Qt::WA_ShowWithoutActivating);

    auto group = [this](const char* title, const char* name, const auto& labels, int firstRow) {
        auto* box = new QGroupBox(QString::fromLatin1(title), this);
        box->setObjectName(QString::fromLatin1(name));
        auto* grid = new QGridLayout(box);
        grid->addWidget(new QLabel(QStringLiteral("Ch 0"), box), 0, 1, Qt::AlignCenter);
        grid->addWidget(new QLabel(QStringLiteral("Ch 1"), box), 0, 2, Qt::AlignCenter);
        int r = 1;
        for (const char* label : labels) {
            grid->addWidget(new QLabel(QString::fromLatin1(label), box), r, 0);
            Row row{};
            for (int col = 0; col < 2; ++col) {
                auto* field = new QLineEdit(box);
                field->setObjectName(QStringLiteral("insideField%1_%2").arg(firstRow + r - 1).arg(col));
                field->setReadOnly(true);
                field->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
                field->setFixedWidth(56);
                field->setFocusPolicy(Qt::NoFocus);
                grid->addWidget(field, r, 1 + col);
                row.field[col] = field;
            }
            rows_.push_back(row);
            ++r;
        }
        return box;
    };
    auto* driver = group("Treiber", "driverGroup", kDriverRows, 0);
    auto* converter = group("Konverter", "converterGroup", kConverterRows, 6);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(driver, 0, Qt::AlignTop);
    layout->addWidget(converter, 0, Qt::AlignTop);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    apply();
}

CTuvInsideDlg::~CTuvInsideDlg() = default;

void CTuvInsideDlg::writeControls(const TuvInsideFields& fields) {
    shown_ = fields;
    stale_ = true;
    // Every pump tick brings new values: a hidden window does not repaint for them.
    if (isVisible()) apply();
}

void CTuvInsideDlg::showEvent(QShowEvent* event) {
    if (stale_) apply();
    QDialog::showEvent(event);
}

void CTuvInsideDlg::apply() {
    stale_ = false;
    const TuvInsideFields& f = shown_;
    const int32_t* numbers[] = {f.driverState,  nullptr,          f.driverRxCounter, f.driverTxIndex,
                                f.driverCkIndex, f.driverRxIndex,  f.converterState,  f.converterTimeout,
                                f.txQueued,      f.rxSlotsUsed,    f.txOverflow,      f.txError,
                                f.rxOverflow,    f.rfError,        f.rxError};
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        for (int col = 0; col < 2; ++col) {
            SetText(rows_[i].field[col], numbers[i] ? QString::number(numbers[i][col])
                                                    : FromLatin1(f.driverControl[col]));
        }
    }
}

void CTuvInsideDlg::reject() {
    hide();
    emit closedByUser();
}

}  // namespace nvx
