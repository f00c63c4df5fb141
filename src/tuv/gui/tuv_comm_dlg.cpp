#include "tuv/gui/tuv_comm_dlg.h"

#include <algorithm>

#include <QCheckBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QHeaderView>
#include <QShowEvent>
#include <QTableWidget>
#include <QVBoxLayout>

#include "platform/gui/file_dialogs.h"
#include "platform/gui/qt_dialogs.h"

namespace nvx {

namespace {

QCheckBox* Box(const char* text, const QString& name, QWidget* parent) {
    auto* box = new QCheckBox(QString::fromLatin1(text), parent);
    box->setObjectName(name);
    return box;
}

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

QPlainTextEdit* TraceView(const char* name, QWidget* parent) {
    auto* view = new QPlainTextEdit(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setReadOnly(true);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setMinimumSize(420, 120);
    return view;
}

void SetChecked(QCheckBox* box, int32_t value) {
    if (box->isChecked() != (value != 0)) box->setChecked(value != 0);
}

void SetText(QLineEdit* field, const QString& text) {
    if (field->text() != text) field->setText(text);
}

// Every frame begins with CR LF, so the text starts with an empty line that the view leaves out;
// a cut at the front may leave a lone LF.
QString TraceForDisplay(const std::string& text) {
    QString t = FromLatin1(text);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.remove(QLatin1Char('\r'));
    if (t.startsWith(QLatin1Char('\n'))) t.remove(0, 1);
    return t;
}

const char kFramesFileFilter[] = "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*||";

// A cell that says something is wrong stands out.
bool CellFlagsFault(const QString& text) {
    return text == QLatin1String("wrong") || text == QLatin1String("truncated");
}

}  // namespace

CTuvCommDlg::CTuvCommDlg(TimerService& timers, QWidget* parent)
    : QDialog(parent), inside_(std::make_unique<CTuvInsideDlg>(timers)), logic_(timers, *this) {
    setWindowTitle(QString::fromLatin1(kTuvCommTitle));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);

    txView_ = TraceView("txView", this);
    rxView_ = TraceView("rxView", this);
    auto* clearTx = Button("Clear", "clearTxButton", this);
    auto* clearRx = Button("Clear", "clearRxButton", this);
    auto* traces = new QGridLayout;
    traces->addWidget(new QLabel(QStringLiteral("Tx"), this), 0, 0, Qt::AlignTop);
    traces->addWidget(txView_, 0, 1);
    traces->addWidget(clearTx, 0, 2, Qt::AlignTop);
    traces->addWidget(new QLabel(QStringLiteral("Rx"), this), 1, 0, Qt::AlignTop);
    traces->addWidget(rxView_, 1, 1);
    traces->addWidget(clearRx, 1, 2, Qt::AlignTop);

    auto* groups = new QHBoxLayout;
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        channels_[ch] = makeChannel(ch);
    }
    groups->addWidget(channels_[0].pipeTx->parentWidget());
    groups->addWidget(channels_[1].pipeTx->parentWidget());

    scroll_ = Box("Scroll", QStringLiteral("scrollBox"), this);
    hex_ = Box("Hex", QStringLiteral("hexBox"), this);
    view_ = Box("View", QStringLiteral("viewBox"), this);
    for (QCheckBox* box : {scroll_, hex_, view_})
        connect(box, &QCheckBox::toggled, this, [this] { controlsChanged_ = true; });
    auto* options = new QVBoxLayout;
    options->addWidget(scroll_);
    options->addWidget(hex_);
    options->addWidget(view_);
    frames_ = Box("Frames", QStringLiteral("framesBox"), this);
    connect(frames_, &QCheckBox::toggled, this, [this] { controlsChanged_ = true; });
    options->addWidget(frames_);
    options->addStretch(1);
    groups->addLayout(options);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(traces, 1);
    layout->addLayout(groups);
    layout->addWidget(makeFramesPanel(), 1);
    connect(frames_, &QCheckBox::clicked, this, [this] { logic_.OnFramesClicked(); });

    connect(clearTx, &QPushButton::clicked, this, [this] { logic_.OnClearTx(); });
    connect(clearRx, &QPushButton::clicked, this, [this] { logic_.OnClearRx(); });
    connect(view_, &QCheckBox::clicked, this, [this] { logic_.OnViewClicked(); });
    // The box says whether the window is up: closing the window unticks it as a click would.
    connect(inside_.get(), &CTuvInsideDlg::closedByUser, this, [this] {
        view_->setChecked(false);
        logic_.OnViewClicked();
    });

    // Timer 2 first, then the statistics window's timer 13.
    logic_.Initialize();
    inside_->Initialize();
}

CTuvCommDlg::~CTuvCommDlg() = default;

QWidget* CTuvCommDlg::makeFramesPanel() {
    framesPanel_ = new QWidget(this);
    framesPanel_->setObjectName(QStringLiteral("framesPanel"));
    framesTable_ = new QTableWidget(0, static_cast<int>(kFrameColumnCount), framesPanel_);
    framesTable_->setObjectName(QStringLiteral("framesView"));
    QStringList titles;
    for (const char* title : kFrameColumnTitles) titles << QString::fromLatin1(title);
    framesTable_->setHorizontalHeaderLabels(titles);
    framesTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    framesTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    framesTable_->verticalHeader()->setVisible(false);
    framesTable_->verticalHeader()->setDefaultSectionSize(framesTable_->fontMetrics().height() + 4);
    framesTable_->horizontalHeader()->setStretchLastSection(true);
    framesTable_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Columns as wide as their widest usual cell, measured once rather than per row; the table
    // is wide enough to show a whole frame.
    const char* const widest[kFrameColumnCount] = {"9999999", "9999999",   "dir",
                                                   "noise",   "word",      "0000",
                                                   "parity",  "truncated", "00 00 00 00"};
    const QFontMetrics metrics(framesTable_->font());
    int tableWidth = framesTable_->verticalScrollBar()->sizeHint().width() + 4;
    for (std::size_t c = 0; c < kFrameColumnCount; ++c) {
        const int width = metrics.horizontalAdvance(QString::fromLatin1(widest[c])) + 10;
        framesTable_->setColumnWidth(static_cast<int>(c), width);
        tableWidth += width;
    }
    framesTable_->setMinimumWidth(tableWidth);
    framesTable_->setMinimumHeight(160);
    auto* save = Button("Save...", "saveFramesButton", framesPanel_);
    auto* clear = Button("Clear", "clearFramesButton", framesPanel_);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(save);
    buttons->addWidget(clear);
    buttons->addStretch(1);
    auto* panel = new QHBoxLayout(framesPanel_);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->addWidget(framesTable_, 1);
    panel->addLayout(buttons);
    framesPanel_->setVisible(false);
    connect(save, &QPushButton::clicked, this, [this] { logic_.OnSaveFrames(); });
    connect(clear, &QPushButton::clicked, this, [this] { logic_.OnClearFrames(); });
    return framesPanel_;
}

CTuvCommDlg::Channel CTuvCommDlg::makeChannel(int ch) {
    auto* group = new QGroupBox(QStringLiteral("Ch %1").arg(ch), this);
    group->setObjectName(QStringLiteral("channel%1Group").arg(ch));
    Channel c{};
    c.pipeTx = Box("P-t", QStringLiteral("pipeTx%1").arg(ch), group);
    c.pipeRx = Box("P-r", QStringLiteral("pipeRx%1").arg(ch), group);
    c.txName = new QLineEdit(group);
    c.txName->setObjectName(QStringLiteral("txPipeName%1").arg(ch));
    c.txName->setPlaceholderText(QStringLiteral("transmit pipe file"));
    c.rxName = new QLineEdit(group);
    c.rxName->setObjectName(QStringLiteral("rxPipeName%1").arg(ch));
    c.rxName->setPlaceholderText(QStringLiteral("receive pipe file"));
    c.com = Box("COM:", QStringLiteral("com%1").arg(ch), group);
    c.port = new QLineEdit(group);
    c.port->setObjectName(QStringLiteral("comPort%1").arg(ch));
    c.port->setFixedWidth(48);
    c.port->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* grid = new QGridLayout(group);
    grid->addWidget(c.pipeTx, 0, 0);
    grid->addWidget(c.txName, 0, 1);
    grid->addWidget(c.pipeRx, 1, 0);
    grid->addWidget(c.rxName, 1, 1);
    grid->addWidget(c.com, 2, 0);
    grid->addWidget(c.port, 2, 1, Qt::AlignLeft);

    for (QCheckBox* box : {c.pipeTx, c.pipeRx, c.com})
        connect(box, &QCheckBox::toggled, this, [this] { controlsChanged_ = true; });
    for (QLineEdit* field : {c.txName, c.rxName, c.port})
        connect(field, &QLineEdit::textChanged, this, [this] { controlsChanged_ = true; });
    connect(c.pipeTx, &QCheckBox::clicked, this, [this, ch] { logic_.OnPipeTxClicked(ch); });
    connect(c.pipeRx, &QCheckBox::clicked, this, [this, ch] { logic_.OnPipeRxClicked(ch); });
    connect(c.com, &QCheckBox::clicked, this, [this, ch] { logic_.OnComClicked(ch); });
    return c;
}

void CTuvCommDlg::readControls(TuvCommFields& fields) {
    if (!controlsChanged_ && lastReadInto_ == &fields) return;
    controlsChanged_ = false;
    lastReadInto_ = &fields;
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        const Channel& c = channels_[ch];
        fields.com[ch] = c.com->isChecked() ? 1 : 0;
        fields.portText[ch] = ToLatin1(c.port->text());
        fields.txPipeName[ch] = PathFromQt(c.txName->text());
        fields.rxPipeName[ch] = PathFromQt(c.rxName->text());
        fields.pipeTx[ch] = c.pipeTx->isChecked() ? 1 : 0;
        fields.pipeRx[ch] = c.pipeRx->isChecked() ? 1 : 0;
    }
    fields.view = view_->isChecked() ? 1 : 0;
    fields.scroll = scroll_->isChecked() ? 1 : 0;
    fields.hex = hex_->isChecked() ? 1 : 0;
    fields.frames = frames_->isChecked() ? 1 : 0;
}

void CTuvCommDlg::writeControls(const TuvCommFields& fields) {
    pending_ = fields;
    stale_ = true;
    // The boxes and names must be right at once (the pump reads them back every tick); the trace
    // texts of a hidden window wait until it is shown.
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        const Channel& c = channels_[ch];
        SetChecked(c.com, fields.com[ch]);
        SetText(c.port, FromLatin1(fields.portText[ch]));
        SetText(c.txName, PathToQt(fields.txPipeName[ch]));
        SetText(c.rxName, PathToQt(fields.rxPipeName[ch]));
        SetChecked(c.pipeTx, fields.pipeTx[ch]);
        SetChecked(c.pipeRx, fields.pipeRx[ch]);
    }
    SetChecked(view_, fields.view);
    SetChecked(scroll_, fields.scroll);
    SetChecked(hex_, fields.hex);
    SetChecked(frames_, fields.frames);
    if (isVisible()) apply();
}

void CTuvCommDlg::enableControls(const TuvCommEnables& enables) {
    for (int ch = 0; ch < kTuvChannelCount; ++ch) {
        const Channel& c = channels_[ch];
        for (QWidget* w : {static_cast<QWidget*>(c.pipeTx), static_cast<QWidget*>(c.pipeRx),
                           static_cast<QWidget*>(c.txName), static_cast<QWidget*>(c.rxName)})
            w->setEnabled(enables.pipes[ch]);
        c.com->setEnabled(enables.com[ch]);
        c.port->setEnabled(enables.com[ch]);
    }
    view_->setEnabled(enables.view);
}

void CTuvCommDlg::setView(QPlainTextEdit* view, std::string& shown, const std::string& text) {
    if (shown == text) return;
    shown = text;
    // Without "Scroll" the user reads where he stands; replacing the text must not move him.
    QScrollBar* bar = view->verticalScrollBar();
    const int position = bar->value();
    view->setPlainText(TraceForDisplay(text));
    bar->setValue(position);
}

void CTuvCommDlg::apply() {
    stale_ = false;
    setView(txView_, shownTx_, pending_.txText);
    setView(rxView_, shownRx_, pending_.rxText);
    if (scrollPending_) {
        scrollPending_ = false;
        scrollToLastLines();
    }
}

void CTuvCommDlg::scrollToLastLines() {
    if (stale_) {
        scrollPending_ = true;
        return;
    }
    for (QPlainTextEdit* view : {txView_, rxView_}) {
        QScrollBar* bar = view->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

void CTuvCommDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (stale_) apply();
    if (framesVisible()) renderFrames();
}

void CTuvCommDlg::showFramesView(bool shown) {
    framesPanel_->setVisible(shown);
    if (framesVisible()) renderFrames();
}

bool CTuvCommDlg::framesVisible() const {
    return framesLog_ && isVisible() && framesPanel_->isVisible();
}

void CTuvCommDlg::updateFrames(const FrameLog& log) {
    framesLog_ = &log;
    if (framesVisible()) renderFrames();
}

// The table's last rows are always the log's newest: new rows go below, and rows the log no
// longer holds (dropped, or cleared) go from the top.
void CTuvCommDlg::renderFrames() {
    const FrameLog& log = *framesLog_;
    const std::size_t added =
        static_cast<std::size_t>(std::min<uint64_t>(log.total() - framesShownTotal_, log.size()));
    framesShownTotal_ = log.total();
    if (added == 0 && static_cast<std::size_t>(framesTable_->rowCount()) <= log.size()) return;
    int row = framesTable_->rowCount();
    framesTable_->setRowCount(row + static_cast<int>(added));
    std::string cell;
    for (std::size_t i = log.size() - added; i < log.size(); ++i, ++row) {
        for (std::size_t c = 0; c < kFrameColumnCount; ++c) {
            cell.clear();
            AppendFrameCell(cell, log.at(i), static_cast<FrameColumn>(c));
            auto* item = new QTableWidgetItem(FromLatin1(cell));
            if (CellFlagsFault(item->text())) item->setForeground(Qt::red);
            framesTable_->setItem(row, static_cast<int>(c), item);
        }
    }
    const int excess = framesTable_->rowCount() - static_cast<int>(log.size());
    if (excess > 0) framesTable_->model()->removeRows(0, excess);
    if (scroll_->isChecked()) framesTable_->scrollToBottom();
}

bool CTuvCommDlg::askFramesFileName(std::string& path) {
    return AppFileDialogs().save(this, kFramesFileFilter, path);
}

void CTuvCommDlg::showInside(bool shown) {
    if (shown) {
        ShowWithoutActivating(inside_.get());
    } else {
        inside_->hide();
    }
}

void CTuvCommDlg::reject() { hide(); }

}  // namespace nvx
