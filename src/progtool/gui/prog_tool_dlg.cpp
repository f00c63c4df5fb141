#include "progtool/gui/prog_tool_dlg.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "eeprom/gui/error_memory_dlg.h"
#include "platform/gui/file_dialogs.h"
#include "progtool/device_catalogue.h"

namespace nvx {

namespace {

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

QLineEdit* PathField(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMinimumWidth(360);
    return edit;
}

}  // namespace

void DeviceListBox::hidePopup() {
    QComboBox::hidePopup();
    // The list takes a clicked row only after it has closed.
    QTimer::singleShot(0, this, [this] { emit closedUp(); });
}

template <typename Move>
void DeviceListBox::ChangeClosed(Move move) {
    const int before = currentIndex();
    move();
    // A key that opens the list changes no row; the row chosen in it comes through hidePopup.
    if (currentIndex() != before && !view()->isVisible()) emit closedUp();
}

void DeviceListBox::keyPressEvent(QKeyEvent* event) {
    ChangeClosed([&] { QComboBox::keyPressEvent(event); });
}

void DeviceListBox::wheelEvent(QWheelEvent* event) {
    ChangeClosed([&] { QComboBox::wheelEvent(event); });
}

CProgToolDlg::CProgToolDlg(TimerService& timers, MonitorShell& shell, QWidget* parent)
    : QDialog(parent), logic_(timers, shell, *this) {
    setWindowTitle(QString::fromLatin1(kProgToolTitle));
    setAttribute(Qt::WA_ShowWithoutActivating);

    auto* settings = new QGroupBox(QStringLiteral("Device Settings"), this);
    settings->setObjectName(QStringLiteral("deviceSettingsGroup"));
    auto* deviceLabel = new QLabel(QStringLiteral("Device"), settings);
    deviceList_ = new DeviceListBox(settings);
    deviceList_->setObjectName(QStringLiteral("deviceList"));
    deviceList_->setEditable(false);
    for (const DeviceEntry& e : DeviceCatalogue()) deviceList_->addItem(QString::fromLatin1(e.label));
    deviceList_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    manualStart_ = new QCheckBox(QStringLiteral("Manual Update Start Mode"), settings);
    manualStart_->setObjectName(QStringLiteral("manualStart"));
    auto* settingsLayout = new QGridLayout(settings);
    settingsLayout->addWidget(deviceLabel, 0, 0);
    settingsLayout->addWidget(deviceList_, 0, 1);
    settingsLayout->addWidget(manualStart_, 1, 1);

    auto* program = new QGroupBox(QStringLiteral("Program"), this);
    program->setObjectName(QStringLiteral("programGroup"));
    auto* programFile = Button("Program File", "programFileButton", program);
    programPath_ = PathField("programPath", program);
    auto* convert = Button("Convert HEX to NPF", "convertButton", program);
    convert->setFlat(true);
    auto* programButton = Button("Program", "programButton", program);
    programButton->setDefault(true);
    backupFirst_ = new QCheckBox(QString::fromLatin1(kBackupFirstText), program);
    backupFirst_->setObjectName(QStringLiteral("backupFirst"));
    checkVersions_ = new QCheckBox(QString::fromLatin1(kCheckVersionsText), program);
    checkVersions_->setObjectName(QStringLiteral("checkVersions"));
    auto* programLayout = new QGridLayout(program);
    programLayout->addWidget(programFile, 0, 0);
    programLayout->addWidget(programPath_, 0, 1, 1, 2);
    programLayout->addWidget(convert, 1, 1);
    programLayout->addWidget(programButton, 1, 2);
    programLayout->addWidget(backupFirst_, 2, 1);
    programLayout->addWidget(checkVersions_, 2, 2);

    auto* eeprom = new QGroupBox(QStringLiteral("EEPROM"), this);
    eeprom->setObjectName(QStringLiteral("eepromGroup"));
    auto* eepromFile = Button("EEPROM File", "eepromFileButton", eeprom);
    eepromPath_ = PathField("eepromPath", eeprom);
    auto* readEeprom = Button("Read EEPROM", "readEepromButton", eeprom);
    auto* writeEeprom = Button("Write EEPROM", "writeEepromButton", eeprom);
    writeEeprom->setToolTip(QStringLiteral(
        "Writes the EEPROM file into the device. Enabled when the monitor is started with the /E "
        "switch (or /T)."));
    auto* analyse = Button("Analyse Error Memory", "analyseButton", eeprom);
    auto* eepromLayout = new QGridLayout(eeprom);
    eepromLayout->addWidget(eepromFile, 0, 0);
    eepromLayout->addWidget(eepromPath_, 0, 1, 1, 3);
    eepromLayout->addWidget(readEeprom, 1, 1);
    eepromLayout->addWidget(writeEeprom, 1, 2);
    eepromLayout->addWidget(analyse, 1, 3);

    // The programmer's progress while it runs.
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("programmerProgress"));
    progress_->setRange(0, 100);
    progress_->setValue(0);

    auto* close = Button("Close", "closeButton", this);

    // The two groups share one place; only one is ever visible.
    auto* layout = new QGridLayout(this);
    layout->addWidget(settings, 0, 0, 1, 2);
    layout->addWidget(program, 1, 0, 1, 2);
    layout->addWidget(eeprom, 1, 0, 1, 2);
    layout->addWidget(progress_, 2, 0);
    layout->addWidget(close, 2, 1);

    controls_ = {
        {ProgToolControl::DeviceSettingsGroup, settings},
        {ProgToolControl::DeviceList, deviceList_},
        {ProgToolControl::ManualStart, manualStart_},
        {ProgToolControl::BackupFirst, backupFirst_},
        {ProgToolControl::CheckVersions, checkVersions_},
        {ProgToolControl::ProgramGroup, program},
        {ProgToolControl::ProgramFileButton, programFile},
        {ProgToolControl::ProgramPathField, programPath_},
        {ProgToolControl::ConvertButton, convert},
        {ProgToolControl::ProgramButton, programButton},
        {ProgToolControl::EepromGroup, eeprom},
        {ProgToolControl::EepromFileButton, eepromFile},
        {ProgToolControl::EepromPathField, eepromPath_},
        {ProgToolControl::ReadEepromButton, readEeprom},
        {ProgToolControl::WriteEepromButton, writeEeprom},
        {ProgToolControl::AnalyseButton, analyse},
        {ProgToolControl::CloseButton, close},
    };
    eeprom->hide();

    connect(deviceList_, &DeviceListBox::closedUp, this, [this] { logic_.SelectDeviceRow(); });
    connect(programFile, &QPushButton::clicked, this, [this] { logic_.OnProgramFile(); });
    connect(convert, &QPushButton::clicked, this, [this] { logic_.OnConvertHexToNpf(); });
    connect(programButton, &QPushButton::clicked, this, [this] { logic_.OnProgram(); });
    connect(backupFirst_, &QCheckBox::clicked, this, [this] { logic_.OnBackupFirst(); });
    connect(checkVersions_, &QCheckBox::clicked, this, [this] { logic_.OnCheckVersions(); });
    connect(eepromFile, &QPushButton::clicked, this, [this] { logic_.OnEepromFile(); });
    connect(readEeprom, &QPushButton::clicked, this, [this] { logic_.OnReadEeprom(); });
    connect(writeEeprom, &QPushButton::clicked, this, [this] { logic_.OnWriteEeprom(); });
    connect(analyse, &QPushButton::clicked, this, [this] { logic_.OnAnalyseErrorMemory(); });
    connect(close, &QPushButton::clicked, this, [this] { logic_.OnClose(); });

    logic_.OnInitDialog();
}

CProgToolDlg::~CProgToolDlg() = default;

void CProgToolDlg::readControls(ProgToolFields& fields) {
    fields.manualStart = manualStart_->isChecked() ? 1 : 0;
    fields.programFilePath = PathFromQt(programPath_->text());
    fields.deviceRow = deviceList_->currentIndex();
    fields.eepromFilePath = PathFromQt(eepromPath_->text());
    fields.backupFirst = backupFirst_->isChecked() ? 1 : 0;
    fields.checkVersions = checkVersions_->isChecked() ? 1 : 0;
}

void CProgToolDlg::writeControls(const ProgToolFields& fields) {
    manualStart_->setChecked(fields.manualStart != 0);
    programPath_->setText(PathToQt(fields.programFilePath));
    deviceList_->setCurrentIndex(fields.deviceRow);
    eepromPath_->setText(PathToQt(fields.eepromFilePath));
    backupFirst_->setChecked(fields.backupFirst != 0);
    checkVersions_->setChecked(fields.checkVersions != 0);
}

void CProgToolDlg::setControlVisible(ProgToolControl control, bool visible) {
    controls_.at(control)->setVisible(visible);
}

void CProgToolDlg::setControlEnabled(ProgToolControl control, bool enabled) {
    controls_.at(control)->setEnabled(enabled);
}

void CProgToolDlg::showWithoutActivating() {
    adjustSize();
    show();
}

void CProgToolDlg::hideWindow() { hide(); }

bool CProgToolDlg::askOpenFileName(const std::string& title, const std::string& initialPath,
                                   const std::string& filter, FileChoice choice,
                                   std::string& chosen) {
    if (choice == FileChoice::ExistingOrNew)
        return AppFileDialogs().openOrNew(this, title, initialPath, filter, chosen);
    return AppFileDialogs().open(this, title, initialPath, filter, chosen);
}

void CProgToolDlg::runErrorMemory(const std::string& path, int32_t deviceRow) {
    CErrorMemoryDlg dialog(path, deviceRow, this);
    dialog.exec();
}

void CProgToolDlg::setProgrammerProgress(int percent) { progress_->setValue(percent); }

void CProgToolDlg::reject() { logic_.OnClose(); }

}  // namespace nvx
