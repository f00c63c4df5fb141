#include "app/gui/monitor_dlg.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include "platform/gui/qt_dialogs.h"

namespace nvx {

namespace {

constexpr int kWindowGap = 8;     // between the main window and the first window shown from it
constexpr int kCascadeStep = 32;  // each further window's offset

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    // Enter must not press whichever button has the focus.
    button->setAutoDefault(false);
    return button;
}

// The log keeps CR LF line ends; a cut may leave a lone CR at the bottom.
QString LogForDisplay(const std::string& logText) {
    QString text = FromLatin1(logText);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.remove(QLatin1Char('\r'));
    return text;
}

}  // namespace

QIcon MonitorIcon() { return QIcon(QStringLiteral(":/norvix/norvix-monitor.png")); }

CMonitorDlg::CMonitorDlg(TimerService& timers, ChannelPorts& ports, ToneSink& tones,
                         DetachedStarter& starter, QWidget* protocolWindow,
                         std::vector<WindowPlug> plugs, QWidget* parent)
    : QDialog(parent),
      protocolWindow_(protocolWindow),
      plugs_(std::move(plugs)),
      logic_(timers, ports, tones, starter, *this, *this) {
    setWindowTitle(QString::fromLatin1(kMonitorWindowTitle));
    setWindowIcon(MonitorIcon());
    // A main window, not a transient dialog: it gets minimise and maximise like any program.
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);

    logBox_ = new QPlainTextEdit(this);
    logBox_->setObjectName(QStringLiteral("logBox"));
    logBox_->setReadOnly(true);
    logBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A failure line is read whole: it wraps, a long path or word included.
    logBox_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logBox_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    logBox_->setFocusPolicy(Qt::NoFocus);
    logBox_->setMinimumSize(380, 180);

    auto* comGroup = new QGroupBox(QStringLiteral("COM Port"), this);
    comGroup->setObjectName(QStringLiteral("comPortGroup"));
    auto* portLabel = new QLabel(QStringLiteral("Port No.:"), comGroup);
    portNumber_ = new QLineEdit(comGroup);
    portNumber_->setObjectName(QStringLiteral("portNumberField"));
    portNumber_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    portNumber_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), portNumber_));
    portNumber_->setMaxLength(10);
    portNumber_->setFixedWidth(60);
    portLabel->setBuddy(portNumber_);
    statusLine_ = new QLabel(QStringLiteral("COM Port Closed"), comGroup);
    statusLine_->setObjectName(QStringLiteral("statusLine"));
    statusLine_->setAlignment(Qt::AlignCenter);
    statusLine_->setMinimumWidth(120);
    openButton_ = Button(kOpenComText, "openComButton", comGroup);
    auto* comLayout = new QGridLayout(comGroup);
    comLayout->addWidget(portLabel, 0, 0);
    comLayout->addWidget(portNumber_, 0, 1);
    comLayout->addWidget(statusLine_, 1, 0, 1, 2);
    comLayout->addWidget(openButton_, 2, 0, 1, 2);

    closeMonitorButton_ = Button("Close Monitor", "closeMonitorButton", this);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(comGroup);
    bottom->addStretch(1);
    bottom->addWidget(closeMonitorButton_, 0, Qt::AlignBottom);

    auto* layout = new QVBoxLayout(this);
    buildMenu();
    layout->addWidget(logBox_, 1);
    layout->addLayout(bottom);

    connect(portNumber_, &QLineEdit::textEdited, this, [this] { logic_.OnPortNumberChanged(); });
    connect(openButton_, &QPushButton::clicked, this, [this] { logic_.OnOpenCloseCom(); });
    connect(closeMonitorButton_, &QPushButton::clicked, this, [this] { logic_.CloseMonitor(); });

    logic_.OnInitDialog();
}

CMonitorDlg::~CMonitorDlg() {
    // The sub-windows talk to the logic; they go first.
    created_.clear();
}

void CMonitorDlg::buildMenu() {
    auto* bar = new QMenuBar(this);
    bar->setObjectName(QStringLiteral("menuBar"));
    layout()->setMenuBar(bar);
    // Texts carry their mnemonic marker; the shown words are the same.
    auto entry = [this](QMenu* menu, const char* text, const char* name, auto slot) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };

    QMenu* communication = bar->addMenu(QStringLiteral("&Communication"));
    // Stays disabled: with the port open there is nothing it could test that the kernel API's
    // communication test does not do better.
    testCommunication_ = entry(communication, "&Test Communication", "testCommunicationAction",
                               [this] { logic_.OnTestCommunication(); });
    testCommunication_->setEnabled(false);
    entryActions_[MenuWindow::Protocol] = entry(communication, "Show &Protocol Window",
                                                "showProtocolAction", [this] { logic_.ShowProtocolWindow(); });
    communication->addSeparator();
    QAction* exit = entry(communication, "E&xit", "exitAction", [this] { logic_.CloseMonitor(); });
    exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* applications = bar->addMenu(QStringLiteral("&Applications"));
    entryActions_[MenuWindow::StartTexts] = entry(applications, "&Solvane Text Progr.",
                                                  "startTextsAction", [this] { logic_.ShowStartTexts(); });

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    entryActions_[MenuWindow::SoftwareUpdate] = entry(
        tools, "Software &Update", "softwareUpdateAction", [this] { logic_.ShowSoftwareUpdate(); });
    entryActions_[MenuWindow::KernelApi] = entry(tools, "Norvix &Kernel API", "kernelApiAction",
                                                 [this] { logic_.ShowKernelApi(); });
    tools->addSeparator();
    entryActions_[MenuWindow::EepromTools] = entry(tools, "&EEPROM Tools", "eepromToolsAction",
                                                   [this] { logic_.ShowEepromTools(); });

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    entry(help, "Show &ReadMe", "showReadMeAction", [this] { logic_.ShowReadMe(); })
        ->setShortcut(QKeySequence(Qt::Key_F1));
    entry(help, "&About ...", "aboutAction", [this] {
        CAboutDlg about(this);
        about.exec();
    });
    // F10 opens the first menu, as on other desktops; the arrow keys go on from there.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(menuKey, &QShortcut::activated, bar, [bar] {
        if (!bar->actions().isEmpty()) bar->setActiveAction(bar->actions().first());
    });
    // The tool windows show without taking the keyboard; F6, in any of the monitor's windows,
    // hands it on to the next one.
    auto* windowKey = new QShortcut(QKeySequence(Qt::Key_F6), this);
    windowKey->setContext(Qt::ApplicationShortcut);
    connect(windowKey, &QShortcut::activated, this, [this] { activateNextWindow(); });
    updateMenu();
}

void CMonitorDlg::activateNextWindow() {
    std::vector<QWidget*> shown = {this};
    if (protocolWindow_ && protocolWindow_->isVisible()) shown.push_back(protocolWindow_);
    for (const Created& c : created_)
        if (c.plugged.window->isVisible()) shown.push_back(c.plugged.window.get());
    const auto active = std::find(shown.begin(), shown.end(), QApplication::activeWindow());
    QWidget* next = active == shown.end() || active + 1 == shown.end() ? shown.front() : *(active + 1);
    next->raise();
    next->activateWindow();
}

void CMonitorDlg::updateMenu() {
    for (auto& [entry, action] : entryActions_) action->setEnabled(HasWindow(entry));
}

QWidget* CMonitorDlg::subWindow(MenuWindow entry) const {
    if (entry == MenuWindow::Protocol) return protocolWindow_;
    for (const Created& c : created_) {
        for (MenuWindow e : c.entries) {
            if (e == entry) return c.plugged.window.get();
        }
    }
    return nullptr;
}

void CMonitorDlg::writeControls(const MonitorFields& fields) {
    if (fields.logText != shownLog_) {
        shownLog_ = fields.logText;
        logBox_->setPlainText(LogForDisplay(fields.logText));
    }
    const QString port = QString::number(fields.portNumber);
    // Writing the same text back would move the cursor of a user who is typing.
    if (portNumber_->text() != port) portNumber_->setText(port);
    statusLine_->setText(FromLatin1(fields.statusText));
}

bool CMonitorDlg::readControls(MonitorFields& fields) {
    const QString text = portNumber_->text();
    if (text.isEmpty()) return false;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok) return false;
    // Only digits can be typed; a number too large for the field counts as out of range.
    fields.portNumber = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
    return true;
}

void CMonitorDlg::setPortFieldEnabled(bool enabled) { portNumber_->setEnabled(enabled); }

void CMonitorDlg::setOpenButtonText(const std::string& text) { openButton_->setText(FromLatin1(text)); }

void CMonitorDlg::setOpenButtonEnabled(bool enabled) { openButton_->setEnabled(enabled); }

void CMonitorDlg::endDialog(int result) { done(result); }

bool CMonitorDlg::askYesDefaultNo(const std::string& question) {
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kMonitorWindowTitle),
                    FromLatin1(question), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void CMonitorDlg::showText(const std::string& title, const std::string& text) {
    auto* viewer = new QDialog(this);
    viewer->setObjectName(QStringLiteral("textViewer"));
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setWindowTitle(FromLatin1(title));
    auto* view = new QPlainTextEdit(viewer);
    view->setObjectName(QStringLiteral("textView"));
    view->setReadOnly(true);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setPlainText(LogForDisplay(text));
    auto* close = Button("Close", "closeButton", viewer);
    connect(close, &QPushButton::clicked, viewer, &QDialog::close);
    auto* layout = new QVBoxLayout(viewer);
    layout->addWidget(view, 1);
    layout->addWidget(close, 0, Qt::AlignRight);
    viewer->resize(640, 480);
    connect(viewer, &QObject::destroyed, this, [this, viewer] { placed_.erase(viewer); });
    placeBeside(viewer);
    viewer->show();
}

void CMonitorDlg::reject() { logic_.Dismiss(); }

bool CMonitorDlg::DeviceWorkRunning() const {
    for (const Created& c : created_)
        if (c.plugged.busy && c.plugged.busy()) return true;
    return false;
}

void CMonitorDlg::StopDeviceWork() {
    for (const Created& c : created_)
        if (c.plugged.stop) c.plugged.stop();
}

void CMonitorDlg::AllowDeviceActions(bool allowed) {
    for (const Created& c : created_)
        if (c.plugged.allowDeviceActions) c.plugged.allowDeviceActions(allowed);
}

void CMonitorDlg::CreateSubWindows() {
    const ProgramContext context{logic_.timers(), logic_};
    for (const WindowPlug& plug : plugs_) {
        PluggedWindow plugged = plug.create(context);
        if (!plugged.window) continue;
        plugged.window->hide();
        created_.push_back({std::move(plugged), plug.entries});
    }
    updateMenu();
}

void CMonitorDlg::placeBeside(QWidget* window) {
    if (placed_.count(window)) return;
    // Each window's first showing goes to the right of this one, cascaded, so that no window
    // covers the main window's menu and COM port controls (or another window's title).
    // The automatic update shows the Programming Tool before this window is laid out and shown.
    const QRect self = isVisible() ? frameGeometry() : QRect(pos(), sizeHint());
    const int step = static_cast<int>(placed_.size()) * kCascadeStep;
    QPoint at = self.topRight() + QPoint(kWindowGap + step, step);
    if (const QScreen* s = screen()) {
        const QRect free = s->availableGeometry();
        const QSize size = window->sizeHint().expandedTo(window->minimumSizeHint());
        at.setX(std::max(free.left(), std::min(at.x(), free.right() - size.width())));
        at.setY(std::max(free.top(), std::min(at.y(), free.bottom() - size.height())));
    }
    window->move(at);
    placed_.insert(window);
}

void CMonitorDlg::ShowWindow(MenuWindow entry) {
    if (entry == MenuWindow::Protocol) {
        if (protocolWindow_) {
            placeBeside(protocolWindow_);
            ShowWithoutActivating(protocolWindow_);
        }
        return;
    }
    for (Created& c : created_) {
        for (MenuWindow e : c.entries) {
            if (e != entry) continue;
            placeBeside(c.plugged.window.get());
            if (c.plugged.show) {
                c.plugged.show(entry);
            } else {
                ShowWithoutActivating(c.plugged.window.get());
            }
            return;
        }
    }
}

bool CMonitorDlg::HasWindow(MenuWindow entry) const { return subWindow(entry) != nullptr; }

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Info"));
    setObjectName(QStringLiteral("aboutDialog"));
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(MonitorIcon().pixmap(48, 48));
    auto* version = new QLabel(QString::fromLatin1(kMonitorVersionLine), this);
    version->setObjectName(QStringLiteral("versionLine"));
    auto* notice = new QLabel(QString::fromLatin1(kMakerNotice), this);
    notice->setObjectName(QStringLiteral("noticeLine"));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->addWidget(version);
    text->addWidget(notice);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(ok, 0, Qt::AlignRight);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace nvx
