#include "eeprom/gui/error_memory_dlg.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/gui/file_dialogs.h"

namespace nvx {

CErrorMemoryDlg::CErrorMemoryDlg(const std::string& fileName, int32_t deviceRow, QWidget* parent)
    : QDialog(parent), logic_(fileName, deviceRow, *this) {
    setWindowTitle(QString::fromLatin1(kErrorMemoryTitle));

    // The report's columns only line up in a fixed-pitch font.
    QFont font;
    font.setFamilies({QStringLiteral("Lucida Console"), QStringLiteral("DejaVu Sans Mono"),
                      QStringLiteral("Liberation Mono"), QStringLiteral("Nimbus Mono PS")});
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSize(8);
    setFont(font);

    auto* label = new QLabel(QStringLiteral("Content"), this);
    content_ = new QPlainTextEdit(this);
    content_->setObjectName(QStringLiteral("content"));
    content_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    content_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    content_->setFrameShape(QFrame::StyledPanel);
    label->setBuddy(content_);

    saveButton_ = new QPushButton(QStringLiteral("Save to File"), this);
    saveButton_->setObjectName(QStringLiteral("saveButton"));
    saveButton_->setAutoDefault(false);
    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setObjectName(QStringLiteral("okButton"));
    okButton_->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(saveButton_);
    buttons->addStretch();
    buttons->addWidget(okButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(content_, 1);
    layout->addLayout(buttons);
    resize(720, 560);

    connect(saveButton_, &QPushButton::clicked, this, [this] { logic_.OnSaveToFile(); });
    connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);

    logic_.OnInitDialog();
}

CErrorMemoryDlg::~CErrorMemoryDlg() = default;

std::string CErrorMemoryDlg::readContent() {
    // The field keeps bare line feeds; the content's lines end in CR LF.
    std::string text = content_->toPlainText().toLatin1().toStdString();
    return WithCrLfLineEnds(text);
}

void CErrorMemoryDlg::writeContent(const std::string& content) {
    QString text = QString::fromLatin1(content.data(), static_cast<qsizetype>(content.size()));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    content_->setPlainText(text);
}

bool CErrorMemoryDlg::askSaveFileName(const std::string& filter, std::string& chosen) {
    return AppFileDialogs().save(this, filter, chosen);
}

}  // namespace nvx
