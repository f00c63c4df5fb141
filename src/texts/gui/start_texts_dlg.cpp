#include "texts/gui/start_texts_dlg.h"

#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace nvx {

namespace {

QString FromLatin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToLatin1(const QString& text) { return text.toLatin1().toStdString(); }

QLineEdit* LineEdit(const char* name, bool readOnly, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setReadOnly(readOnly);
    return edit;
}

QProgressBar* ProgressBar(const char* name, QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setTextVisible(false);
    return bar;
}

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

}  // namespace

CStartTextsDlg::CStartTextsDlg(TimerService& timers, MonitorShell& shell, QWidget* parent)
    : QDialog(parent), logic_(timers, shell, *this) {
    setWindowTitle(QStringLiteral("Solvane Starting Texts"));
    setAttribute(Qt::WA_ShowWithoutActivating);

    // The panel shows its characters in a fixed grid; the fields should line up the same way.
    // Fallbacks by name: some monospaced families do not report a fixed pitch to Qt.
    QFont font;
    font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                      QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Nimbus Mono PS")});
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    setFont(font);

    auto* reading = new QGroupBox(QStringLiteral("Reading"), this);
    reading->setObjectName(QStringLiteral("readingGroup"));
    readLine1_ = LineEdit("readLine1", true, reading);
    readLine2_ = LineEdit("readLine2", true, reading);
    readButton_ = Button("Read", "readButton", reading);
    readingProgress_ = ProgressBar("readingProgress", reading);
    auto* readingLayout = new QVBoxLayout(reading);
    readingLayout->addWidget(readLine1_);
    readingLayout->addWidget(readLine2_);
    readingLayout->addWidget(readButton_);
    readingLayout->addWidget(readingProgress_);

    auto* writing = new QGroupBox(QStringLiteral("Writing"), this);
    writing->setObjectName(QStringLiteral("writingGroup"));
    writeLine1_ = LineEdit("writeLine1", false, writing);
    writeLine2_ = LineEdit("writeLine2", false, writing);
    writeButton_ = Button("Write", "writeButton", writing);
    writingProgress_ = ProgressBar("writingProgress", writing);
    auto* writingLayout = new QVBoxLayout(writing);
    writingLayout->addWidget(writeLine1_);
    writingLayout->addWidget(writeLine2_);
    writingLayout->addWidget(writeButton_);
    writingLayout->addWidget(writingProgress_);

    testButton_ = Button("Test Com.", "testButton", this);
    closeButton_ = Button("Close", "closeButton", this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(testButton_);
    buttons->addStretch();
    buttons->addWidget(closeButton_);

    auto* groups = new QHBoxLayout;
    groups->addWidget(reading);
    groups->addWidget(writing);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(groups);
    layout->addLayout(buttons);

    connect(readButton_, &QPushButton::clicked, this, [this] { logic_.OnRead(); });
    connect(writeButton_, &QPushButton::clicked, this, [this] { logic_.OnWrite(); });
    // Enter in a Writing field writes, as the button beside them does.
    for (QLineEdit* line : {writeLine1_, writeLine2_})
        connect(line, &QLineEdit::returnPressed, this, [this] { logic_.OnWrite(); });
    connect(testButton_, &QPushButton::clicked, this, [this] { logic_.OnTestCom(); });
    connect(closeButton_, &QPushButton::clicked, this, [this] { logic_.OnClose(); });

    logic_.InitDialog();
}

CStartTextsDlg::~CStartTextsDlg() = default;

void CStartTextsDlg::AllowDeviceActions(bool allowed) {
    for (QPushButton* button : {readButton_, writeButton_, testButton_}) button->setEnabled(allowed);
}

void CStartTextsDlg::readControls(StartTextsFields& fields) {
    fields.readLine1 = ToLatin1(readLine1_->text());
    fields.readLine2 = ToLatin1(readLine2_->text());
    fields.writeLine1 = ToLatin1(writeLine1_->text());
    fields.writeLine2 = ToLatin1(writeLine2_->text());
}

void CStartTextsDlg::writeReadControls(const StartTextsFields& fields) {
    readLine1_->setText(FromLatin1(fields.readLine1));
    readLine2_->setText(FromLatin1(fields.readLine2));
}

void CStartTextsDlg::setProgressRange(int minimum, int maximum) {
    readingProgress_->setRange(minimum, maximum);
    writingProgress_->setRange(minimum, maximum);
}

void CStartTextsDlg::setReadingProgress(int value) { readingProgress_->setValue(value); }

void CStartTextsDlg::setWritingProgress(int value) { writingProgress_->setValue(value); }

void CStartTextsDlg::hideWindow() { hide(); }

void CStartTextsDlg::reject() { logic_.OnCancel(); }

void CStartTextsDlg::showEvent(QShowEvent* event) {
    logic_.OnShow();
    QDialog::showEvent(event);
}

}  // namespace nvx
