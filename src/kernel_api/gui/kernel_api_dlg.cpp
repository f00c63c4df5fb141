#include "kernel_api/gui/kernel_api_dlg.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace nvx {

namespace {

QString FromLatin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToLatin1(const QString& text) { return text.toLatin1().toStdString(); }

QLineEdit* Field(const char* name, QWidget* parent, bool rightAligned = false) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    if (rightAligned) edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return edit;
}

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    // Enter must not press whichever button has the focus.
    button->setAutoDefault(false);
    return button;
}

QGroupBox* Group(const char* title, const char* name, QWidget* parent) {
    auto* group = new QGroupBox(QString::fromLatin1(title), parent);
    group->setObjectName(QString::fromLatin1(name));
    return group;
}

// The field keeps its last good number when the text is not one.
bool ReadNumber(const QLineEdit* edit, int32_t& number) {
    const std::optional<int32_t> value = ParseFieldInteger(ToLatin1(edit->text()));
    if (!value) return false;
    number = *value;
    return true;
}

}  // namespace

CKernelApiDlg::CKernelApiDlg(TimerService& timers, MonitorShell& shell, QWidget* parent)
    : QDialog(parent), logic_(timers, shell, *this) {
    setWindowTitle(QString::fromLatin1(kKernelWindowTitle));
    setAttribute(Qt::WA_ShowWithoutActivating);

    // "API Command": the command list, its parameter and the return code of the last command.
    auto* command = Group("API Command", "apiCommandGroup", this);
    commandList_ = new QComboBox(command);
    commandList_->setObjectName(QStringLiteral("commandList"));
    for (const KernelCommand& row : KernelCommandTable) commandList_->addItem(FromLatin1(row.label));
    // A separator issues nothing, so it cannot be chosen: the arrow keys and the list skip it.
    auto* rows = qobject_cast<QStandardItemModel*>(commandList_->model());
    for (int row = 0; row < static_cast<int>(KernelCommandTable.size()); ++row) {
        if (KernelCommandTable[static_cast<std::size_t>(row)].separator)
            rows->item(row)->setFlags(rows->item(row)->flags() & ~Qt::ItemIsEnabled);
    }
    commandList_->setMaxVisibleItems(static_cast<int>(KernelCommandTable.size()));
    commandList_->setCurrentIndex(-1);
    parameter_ = Field("parameterField", command, true);
    auto* sendCommand = Button("Send Command", "sendCommandButton", command);
    returnCodeDecimal_ = Field("returnCodeDecimalField", command, true);
    returnCodeHex_ = Field("returnCodeHexField", command, true);
    auto* commandLayout = new QGridLayout(command);
    commandLayout->addWidget(commandList_, 0, 0, 1, 2);
    commandLayout->addWidget(new QLabel(QStringLiteral("Parameter"), command), 1, 0);
    commandLayout->addWidget(parameter_, 1, 1);
    commandLayout->addWidget(sendCommand, 2, 0, 1, 2);
    commandLayout->addWidget(new QLabel(QStringLiteral("Returncode"), command), 3, 0, 1, 2);
    commandLayout->addWidget(returnCodeDecimal_, 4, 0);
    commandLayout->addWidget(returnCodeHex_, 4, 1);

    // "Version": one button per selector, its result on the right.
    auto* version = Group("Version", "versionGroup", this);
    auto* hardwareButton = Button("Hardware", "hardwareButton", version);
    auto* norvixButton = Button("Norvix", "norvixButton", version);
    auto* applicationButton = Button("Application", "applicationButton", version);
    hardware_ = Field("hardwareField", version);
    norvix_ = Field("norvixField", version);
    application_ = Field("applicationField", version);
    auto* versionLayout = new QGridLayout(version);
    versionLayout->addWidget(hardwareButton, 0, 0);
    versionLayout->addWidget(hardware_, 0, 1);
    versionLayout->addWidget(norvixButton, 1, 0);
    versionLayout->addWidget(norvix_, 1, 1);
    versionLayout->addWidget(applicationButton, 2, 0);
    versionLayout->addWidget(application_, 2, 1);
    versionLayout->setColumnStretch(1, 1);

    // "Debug": number | button | result.
    auto* debug = Group("Debug", "debugGroup", this);
    slotNumber_ = Field("slotNumberField", debug);
    slotResult_ = Field("slotResultField", debug);
    timerNumber_ = Field("timerNumberField", debug);
    timerResult_ = Field("timerResultField", debug);
    bytesResult_ = Field("bytesResultField", debug);
    auto* slotButton = Button("Slot", "slotButton", debug);
    auto* timerButton = Button("Timer", "timerButton", debug);
    auto* bytesButton = Button("Bytes", "bytesButton", debug);
    auto* debugLayout = new QGridLayout(debug);
    debugLayout->addWidget(slotNumber_, 0, 0);
    debugLayout->addWidget(slotButton, 0, 1);
    debugLayout->addWidget(slotResult_, 0, 2);
    debugLayout->addWidget(timerNumber_, 1, 0);
    debugLayout->addWidget(timerButton, 1, 1);
    debugLayout->addWidget(timerResult_, 1, 2);
    debugLayout->addWidget(bytesButton, 2, 1);
    debugLayout->addWidget(bytesResult_, 2, 2);
    debugLayout->setColumnStretch(2, 1);

    auto* tuv = Group("TUV Commands", "tuvCommandsGroup", this);
    auto* tunnelOn = Button("Tunnel ON", "tunnelOnButton", tuv);
    auto* tunnelOff = Button("Tunnel OFF", "tunnelOffButton", tuv);
    auto* tuvLayout = new QHBoxLayout(tuv);
    tuvLayout->addWidget(tunnelOn);
    tuvLayout->addWidget(tunnelOff);

    auto* testCommunication = Button("Test Communication", "testCommunicationButton", this);
    auto* close = Button("Close", "closeButton", this);

    auto* left = new QVBoxLayout;
    left->addWidget(command);
    left->addWidget(tuv);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(version);
    right->addWidget(debug);
    auto* groups = new QHBoxLayout;
    groups->addLayout(left);
    groups->addLayout(right, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(testCommunication);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(groups);
    layout->addLayout(buttons);

    deviceButtons_ = {sendCommand, hardwareButton, norvixButton, applicationButton, slotButton,
                      timerButton, bytesButton,  tunnelOn,     tunnelOff,         testCommunication};

    // Tab follows the layout: the command and the TUV buttons below it, then the versions and
    // the debug queries row by row, then the buttons at the bottom.
    QWidget* const tabOrder[] = {commandList_,     parameter_,     sendCommand,  returnCodeDecimal_,
                                 returnCodeHex_,   tunnelOn,       tunnelOff,    hardwareButton,
                                 hardware_,        norvixButton,   norvix_,      applicationButton,
                                 application_,     slotNumber_,    slotButton,   slotResult_,
                                 timerNumber_,     timerButton,    timerResult_, bytesButton,
                                 bytesResult_,     testCommunication, close};
    for (std::size_t i = 0; i + 1 < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i], tabOrder[i + 1]);

    // Only the user's choice counts: writeControls sets the index with signals blocked.
    connect(commandList_, &QComboBox::currentIndexChanged, this,
            [this] { logic_.OnCommandSelected(); });
    connect(sendCommand, &QPushButton::clicked, this, [this] { logic_.OnSendCommand(); });
    connect(parameter_, &QLineEdit::returnPressed, this, [this] { logic_.OnSendCommand(); });
    connect(hardwareButton, &QPushButton::clicked, this,
            [this] { logic_.OnVersionButton(kKernelVersionHardware); });
    connect(norvixButton, &QPushButton::clicked, this,
            [this] { logic_.OnVersionButton(kKernelVersionNorvix); });
    connect(applicationButton, &QPushButton::clicked, this,
            [this] { logic_.OnVersionButton(kKernelVersionApplication); });
    connect(slotButton, &QPushButton::clicked, this, [this] { logic_.OnSlotButton(); });
    connect(timerButton, &QPushButton::clicked, this, [this] { logic_.OnTimerButton(); });
    connect(bytesButton, &QPushButton::clicked, this, [this] { logic_.OnBytesButton(); });
    connect(tunnelOn, &QPushButton::clicked, this, [this] { logic_.OnTunnelOn(); });
    connect(tunnelOff, &QPushButton::clicked, this, [this] { logic_.OnTunnelOff(); });
    connect(testCommunication, &QPushButton::clicked, this,
            [this] { logic_.OnTestCommunication(); });
    connect(close, &QPushButton::clicked, this, &CKernelApiDlg::reject);

    logic_.OnInitDialog();
}

CKernelApiDlg::~CKernelApiDlg() = default;

void CKernelApiDlg::AllowDeviceActions(bool allowed) {
    for (QPushButton* button : deviceButtons_) button->setEnabled(allowed);
}

RejectedNumbers CKernelApiDlg::readControls(KernelApiFields& fields) {
    fields.commandRow = commandList_->currentIndex();
    fields.parameterText = ToLatin1(parameter_->text());
    fields.returnCodeDecimal = ToLatin1(returnCodeDecimal_->text());
    fields.returnCodeHex = ToLatin1(returnCodeHex_->text());
    fields.hardwareVersion = ToLatin1(hardware_->text());
    fields.norvixVersion = ToLatin1(norvix_->text());
    fields.applicationVersion = ToLatin1(application_->text());
    fields.slotResult = ToLatin1(slotResult_->text());
    fields.timerResult = ToLatin1(timerResult_->text());
    fields.bytesResult = ToLatin1(bytesResult_->text());
    RejectedNumbers rejected;
    rejected.slotNumber = !ReadNumber(slotNumber_, fields.slotNumber);
    rejected.timerNumber = !ReadNumber(timerNumber_, fields.timerNumber);
    return rejected;
}

void CKernelApiDlg::writeControls(const KernelApiFields& fields) {
    {
        const QSignalBlocker block(commandList_);
        commandList_->setCurrentIndex(fields.commandRow);
    }
    parameter_->setText(FromLatin1(fields.parameterText));
    returnCodeDecimal_->setText(FromLatin1(fields.returnCodeDecimal));
    returnCodeHex_->setText(FromLatin1(fields.returnCodeHex));
    hardware_->setText(FromLatin1(fields.hardwareVersion));
    norvix_->setText(FromLatin1(fields.norvixVersion));
    application_->setText(FromLatin1(fields.applicationVersion));
    slotNumber_->setText(QString::number(fields.slotNumber));
    slotResult_->setText(FromLatin1(fields.slotResult));
    timerNumber_->setText(QString::number(fields.timerNumber));
    timerResult_->setText(FromLatin1(fields.timerResult));
    bytesResult_->setText(FromLatin1(fields.bytesResult));
}

MessageAnswer CKernelApiDlg::ask(const std::string& text, MessageIcon icon,
                                 MessageButtons buttons) {
    return MessageBox().show(text, kKernelWindowTitle, icon, buttons);
}

void CKernelApiDlg::keyPressEvent(QKeyEvent* event) {
    // The list leaves Enter to its window; there it means Send Command (the Parameter field
    // says so itself). Elsewhere Enter presses nothing, so no other request goes out by mistake.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && focusWidget() == commandList_) {
        logic_.OnSendCommand();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CKernelApiDlg::reject() {
    logic_.OnCancel();
    QDialog::reject();  // hides; the object, its fields and its timer live on
}

}  // namespace nvx
