// A technician's session with the monitor program, end to end, through real X input events:
// runs under Xvfb (ctest starts it through xvfb-run), the monitor in this process on Qt's xcb
// platform, norvix-sim as the device on a pseudo-terminal linked as COM 1, the real programmer
// adapter with avrdude. A walker thread moves the pointer, clicks and types with xdotool, then does
// the main jobs again with keys only; it only
// reads the windows (positions, texts) through calls queued to the GUI thread, which runs the
// program exactly as norvix-monitor runs it, modal dialogs and all.
//
// With NVX_SESSION_PICTURES set to a directory, the walk saves a PNG of each window there as it
// stands after the clicks (scripts/screenshots.sh).

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QScreen>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "app/gui/monitor_program.h"
#include "progtool/adapter_e2e_support.h"
#include "progtool/device_catalogue.h"

namespace nvx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPollStep = 50ms;
constexpr int kClickMs = 5000;         // a click's direct effect
constexpr int kDeviceMs = 30000;       // a request or a text transfer with its retries
constexpr int kProgrammerMs = 120000;  // a firmware update or EEPROM read with avrdude

// Drives the windows from another thread as a person would.
class Walker {
public:
    // Runs f on the GUI thread and returns what it returns.
    template <class F>
    auto onGui(F f) -> decltype(f()) {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            QMetaObject::invokeMethod(qApp, f, Qt::BlockingQueuedConnection);
        } else {
            R result{};
            QMetaObject::invokeMethod(
                qApp, [&] { result = f(); }, Qt::BlockingQueuedConnection);
            return result;
        }
    }

    // The visible top-level window with this title (GUI thread only).
    static QWidget* Window(const QString& title) {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == title && !qobject_cast<QMessageBox*>(w))
                return w;
        return nullptr;
    }
    static QWidget* Control(const QString& title, const char* name) {
        QWidget* window = Window(title);
        return window ? window->findChild<QWidget*>(QString::fromLatin1(name)) : nullptr;
    }

    // Where a point of a widget is on the X screen: in device pixels, which differ from Qt's
    // coordinates when the windows are scaled (QT_SCALE_FACTOR).
    static QPoint OnScreen(const QWidget* widget, QPoint at) {
        return widget->mapToGlobal(at) * widget->devicePixelRatioF();
    }

    // Polls `pred` on the GUI thread until it holds; false after `ms`.
    bool waitFor(const std::function<bool()>& pred, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (onGui([&] { return pred(); })) return true;
            std::this_thread::sleep_for(kPollStep);
        }
        return false;
    }

    bool xdotool(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProgramRun run = RunProgram("xdotool", argv, "");
        if (run.status != 0) ADD_FAILURE() << "xdotool " << args[0] << ": " << run.err;
        return run.status == 0;
    }

    bool clickAt(QPoint global) {
        return xdotool(
            {"mousemove", std::to_string(global.x()), std::to_string(global.y()), "click", "1"});
    }
    // A click at the centre of a control of the window with this title.
    bool click(const QString& title, const char* name) {
        const QPoint at = onGui([&] {
            QWidget* c = Control(title, name);
            return c && c->isVisible() ? OnScreen(c, c->rect().center()) : QPoint(-1, -1);
        });
        if (at.x() < 0) {
            ADD_FAILURE() << "no " << name << " in a visible " << title.toStdString();
            return false;
        }
        return clickAt(at);
    }
    // A menu text as it reads, without its mnemonic marker.
    static QString Shown(const QAction* a) { return QString(a->text()).remove(QLatin1Char('&')); }
    // Menu title, then entry, in the main window's menu bar. A click that only brings the main
    // window to the front opens nothing; a person clicks again.
    bool chooseMenu(const char* menuTitle, const char* entryText) {
        const QPoint title = onGui([&] {
            auto* bar = Window(QStringLiteral("Norvix Monitor"))->findChild<QMenuBar*>();
            for (QAction* a : bar->actions())
                if (Shown(a) == QLatin1String(menuTitle))
                    return OnScreen(bar, bar->actionGeometry(a).center());
            return QPoint(-1, -1);
        });
        QPoint entry(-1, -1);
        for (int attempt = 0; attempt < 3 && entry.x() < 0; ++attempt) {
            if (title.x() < 0 || !clickAt(title)) return false;
            waitFor(
                [&] {
                    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                    if (!menu) return false;
                    for (QAction* a : menu->actions())
                        if (Shown(a) == QLatin1String(entryText))
                            entry = OnScreen(menu, menu->actionGeometry(a).center());
                    return entry.x() >= 0;
                },
                kClickMs / 3);
        }
        if (entry.x() < 0) {
            ADD_FAILURE() << "menu entry " << entryText << " did not show";
            return false;
        }
        return clickAt(entry);
    }
    // Clicks into the field, selects its text and types over it.
    bool type(const QString& title, const char* field, const std::string& text) {
        if (!click(title, field)) return false;
        if (!waitFor([&] { return QApplication::focusWidget() == Control(title, field); },
                     kClickMs)) {
            ADD_FAILURE() << field << " took no keyboard focus";
            return false;
        }
        return xdotool({"key", "ctrl+a"}) && xdotool({"type", "--delay", "5", text});
    }
    std::string text(const QString& title, const char* name) {
        return onGui([&] {
            QWidget* c = Control(title, name);
            if (auto* e = qobject_cast<QLineEdit*>(c)) return e->text().toStdString();
            if (auto* p = qobject_cast<QPlainTextEdit*>(c)) return p->toPlainText().toStdString();
            if (auto* l = qobject_cast<QLabel*>(c)) return l->text().toStdString();
            return std::string();
        });
    }
    std::string log() { return text(QStringLiteral("Norvix Monitor"), "logBox"); }
    bool key(const std::string& keys) { return xdotool({"key", "--delay", "40", keys}); }
    // Alt and the menu's letter, then the entry's letter once the menu is up.
    bool menuKeys(const std::string& menu, const std::string& entry) {
        if (!key("alt+" + menu)) return false;
        if (!waitFor([] { return QApplication::activePopupWidget() != nullptr; }, kClickMs)) {
            ADD_FAILURE() << "alt+" << menu << " opened no menu";
            return false;
        }
        return key(entry);
    }
    // Presses F6 until the window with this title has the keyboard; after each press it waits
    // for the keyboard to move, so a slow machine does not make it skip the window.
    bool keyboardTo(const QString& title) {
        const auto activeTitle = [] {
            QWidget* active = QApplication::activeWindow();
            return active ? active->windowTitle() : QString();
        };
        for (int i = 0; i < 8; ++i) {
            const QString before = onGui(activeTitle);
            if (before == title) return true;
            if (!key("F6")) return false;
            waitFor([&] { return activeTitle() != before; }, kClickMs);
        }
        if (onGui(activeTitle) == title) return true;
        ADD_FAILURE() << "F6 never gave " << title.toStdString() << " the keyboard; "
                      << (onGui(activeTitle).isEmpty() ? std::string("no window")
                                                       : onGui(activeTitle).toStdString())
                      << " has it";
        return false;
    }
    // Presses Tab until the control has the focus, waiting for each press to move it.
    bool tabTo(const QString& title, const char* name) {
        for (int i = 0; i < 40; ++i) {
            QWidget* before = onGui([] { return QApplication::focusWidget(); });
            if (onGui([&] { return before == Control(title, name); })) return true;
            if (!key("Tab")) return false;
            waitFor([&] { return QApplication::focusWidget() != before; }, kClickMs);
        }
        ADD_FAILURE() << "Tab never reached " << name << " in " << title.toStdString();
        return false;
    }
    // Presses keys and waits until the newest log line is `line`; an error line ends the wait.
    bool keysForLogLine(const std::string& keys, const std::string& line, int ms) {
        const std::string before = log();
        if (!key(keys)) return false;
        std::string now;
        const bool seen = waitFor(
            [&] {
                QWidget* box = Control(QStringLiteral("Norvix Monitor"), "logBox");
                now = qobject_cast<QPlainTextEdit*>(box)->toPlainText().toStdString();
                return now != before && (now.rfind(line + "\n", 0) == 0 || now.rfind("E>", 0) == 0);
            },
            ms);
        if (!seen || now.rfind(line + "\n", 0) != 0) {
            ADD_FAILURE() << keys << ": no \"" << line << "\"; log:\n" << now;
            return false;
        }
        return true;
    }
    // Saves the window's picture when pictures are asked for.
    void picture(const QString& title, const char* name) {
        const QString dir = qEnvironmentVariable("NVX_SESSION_PICTURES");
        if (dir.isEmpty()) return;
        const bool saved = onGui([&] {
            QWidget* window = Window(title);
            return window && window->grab().save(dir + QLatin1Char('/') + QLatin1String(name) +
                                                 QStringLiteral(".png"));
        });
        EXPECT_TRUE(saved) << name;
    }
    // Clicks and waits until the newest log line is `line`; an error line ends the wait early.
    bool clickForLogLine(const QString& title, const char* button, const std::string& line,
                         int ms) {
        const std::string before = log();
        if (!click(title, button)) return false;
        std::string now;
        const bool seen = waitFor(
            [&] {
                QWidget* box = Control(QStringLiteral("Norvix Monitor"), "logBox");
                now = qobject_cast<QPlainTextEdit*>(box)->toPlainText().toStdString();
                return now != before && (now.rfind(line + "\n", 0) == 0 || now.rfind("E>", 0) == 0);
            },
            ms);
        if (!seen || now.rfind(line + "\n", 0) != 0) {
            ADD_FAILURE() << button << ": no \"" << line << "\"; log:\n" << now;
            return false;
        }
        return true;
    }
};

// The row of the device list for a chip (its first device row).
int RowOfChip(const char* chip) {
    const auto& catalogue = DeviceCatalogue();
    for (std::size_t row = 0; row < catalogue.size(); ++row)
        if (catalogue[row].chip && std::string(catalogue[row].chip) == chip)
            return static_cast<int>(row);
    return -1;
}

TEST(TechnicianSession, ThroughRealInputEvents) {
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "run under xvfb-run";
    for (const char* program : {"/usr/bin/xdotool", "/usr/bin/avrdude"})
        if (const std::string why = MissingProgram(program); !why.empty()) GTEST_SKIP() << why;

    // The start directory as the install step makes it, with the settings naming COM 1.
    ScratchDir dir{"session"};
    fs::create_symlink(NVX_ADAPTER_EXE, dir.file("norvixosp.exe"));
    for (const auto& entry : fs::directory_iterator(std::string(NVX_SOURCE_DIR) + "/devices"))
        if (entry.path().extension() == ".xml")
            fs::copy_file(entry.path(), dir.file(entry.path().filename().string()));
    WriteText(dir.file("monitor.ini"),
              "# Norvix-PC-Monitor INI-File\r\n# Version 1.00\r\n# test\r\n#\r\n"
              "# !!! DO NOT EDIT THIS FILE !!!\r\n#\r\n\r\n\r\n[COM]\r\nCOM_PORT 1\r\n");
    // A controller with the 4 KB EEPROM and a firmware file for it.
    const int row = RowOfChip("atmega1284p");
    ASSERT_GT(row, 0);
    const std::vector<uint8_t> firmware = RandomBytes(3000, 12);
    WriteText(dir.file("SolGrb_service.hex"), HexImage(firmware));

    // On a real wire's time (the device's default): the walk is what a technician sees on a bench,
    // time limits and progress included.
    Child sim(NVX_SIM_EXE,
              {"norvix-sim", "--row", std::to_string(row), "--link", dir.file("com1"), "--devices",
               std::string(NVX_SOURCE_DIR) + "/devices", "--flash-out", dir.file("flash.out")},
              dir.path());
    ASSERT_TRUE(sim.started());
    ASSERT_EQ(sim.ReadLine(20000).rfind("/dev/", 0), 0u);

    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    // Short waits between the update's steps ("/W 1").
    static int argc = 3;
    static char name[] = "norvix-monitor";
    static char wait[] = "/W";
    static char one[] = "1";
    static char* argv[] = {name, wait, one, nullptr};
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);

    const QString main = QStringLiteral("Norvix Monitor");
    const QString kernel = QStringLiteral("Norvix Kernel");
    const QString texts = QStringLiteral("Solvane Starting Texts");
    const QString traffic = QStringLiteral("TUV Communication");
    const QString tool = QStringLiteral("Programming Tool");
    const QString report = QStringLiteral("Error Memory");
    std::atomic<bool> walked = false;

    std::thread walk([&] {
        Walker w;
        auto steps = [&] {
            if (!w.waitFor([&] { return Walker::Window(main) != nullptr; }, kDeviceMs)) return;
            // Open COM.
            if (!w.clickForLogLine(main, "openComButton", "I> COM Port Opened", kClickMs)) return;
            EXPECT_EQ(w.text(main, "statusLine"), "TUV Port Open");
            w.picture(main, "main-window");

            // Kernel window: the communication test and the three versions.
            if (!w.chooseMenu("Tools", "Norvix Kernel API")) return;
            if (!w.clickForLogLine(kernel, "testCommunicationButton", "I> Communication OK",
                                   kDeviceMs))
                return;
            // A query asked while the window still settles the last one is refused ("E> Command
            // in Progress"); a person asks again.
            for (const char* version : {"hardware", "norvix", "application"}) {
                const std::string button = std::string(version) + "Button";
                const std::string field = std::string(version) + "Field";
                bool answered = false;
                for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
                    const std::string logBefore = w.log();
                    if (!w.click(kernel, button.c_str())) return;
                    bool refused = false;
                    answered =
                        w.waitFor(
                            [&] {
                                const QString log =
                                    qobject_cast<QPlainTextEdit*>(Walker::Control(main, "logBox"))
                                        ->toPlainText();
                                refused = log.toStdString() != logBefore &&
                                          log.startsWith(QStringLiteral("E> Command in Progress"));
                                auto* f = qobject_cast<QLineEdit*>(
                                    Walker::Control(kernel, field.c_str()));
                                return refused || (f && !f->text().isEmpty());
                            },
                            kDeviceMs) &&
                        !refused;
                    if (refused) std::this_thread::sleep_for(500ms);
                }
                EXPECT_TRUE(answered) << field;
            }
            EXPECT_EQ(w.log().find("E> No Reply"), std::string::npos) << w.log();
            w.picture(kernel, "kernel-api");

            // The traffic window shows the frames of the test (kept while it was hidden).
            if (!w.chooseMenu("Communication", "Show Protocol Window")) return;
            EXPECT_TRUE(w.waitFor(
                [&] {
                    auto* tx = qobject_cast<QPlainTextEdit*>(Walker::Control(traffic, "txView"));
                    return tx && tx->toPlainText().contains(QStringLiteral("55 02 02 00 00"));
                },
                kClickMs))
                << w.text(traffic, "txView");
            w.picture(traffic, "tuv-communication");
            // Its Frames box shows the same traffic decoded, one row per frame with its checks.
            if (!w.click(traffic, "framesBox")) return;
            EXPECT_TRUE(w.waitFor([&] {
                auto* table = qobject_cast<QTableWidget*>(Walker::Control(traffic, "framesView"));
                return table && table->rowCount() >= 2 && table->item(0, 7) &&
                       table->item(0, 7)->text() == QStringLiteral("OK");
            }, kClickMs));
            w.picture(traffic, "tuv-frames");
            if (!w.click(traffic, "framesBox")) return;
            // Its View box shows the statistics window.
            if (!w.click(traffic, "viewBox")) return;
            if (!w.waitFor([&] { return Walker::Window(QStringLiteral("TUV Inside")) != nullptr; },
                           kClickMs)) {
                ADD_FAILURE() << "no TUV Inside window";
                return;
            }
            w.picture(QStringLiteral("TUV Inside"), "tuv-inside");
            if (!w.click(traffic, "viewBox")) return;

            // Starting texts written and read back.
            if (!w.chooseMenu("Applications", "Solvane Text Progr.")) return;
            if (!w.type(texts, "writeLine1", "Heizung Nord") ||
                !w.type(texts, "writeLine2", "Kessel 2"))
                return;
            if (!w.clickForLogLine(texts, "writeButton", "I> Writing text finished", kDeviceMs * 2))
                return;
            if (!w.clickForLogLine(texts, "readButton", "I> Reading text finished", kDeviceMs * 2))
                return;
            EXPECT_EQ(QString::fromStdString(w.text(texts, "readLine1")).trimmed(), "Heizung Nord");
            EXPECT_EQ(QString::fromStdString(w.text(texts, "readLine2")).trimmed(), "Kessel 2");
            w.picture(texts, "starting-texts");

            // Firmware update from the Programming Tool: the device row from the list's popup.
            if (!w.chooseMenu("Tools", "Software Update")) return;
            if (!w.click(tool, "deviceList")) return;
            QPoint rowAt(-1, -1);
            w.waitFor(
                [&] {
                    auto* list = qobject_cast<QComboBox*>(Walker::Control(tool, "deviceList"));
                    if (!list || !list->view()->isVisible()) return false;
                    const QModelIndex index = list->model()->index(row, 0);
                    list->view()->scrollTo(index);
                    rowAt = Walker::OnScreen(list->view()->viewport(),
                                             list->view()->visualRect(index).center());
                    return true;
                },
                kClickMs);
            if (rowAt.x() < 0 || !w.clickAt(rowAt)) return;
            EXPECT_TRUE(w.waitFor(
                [&] {
                    return qobject_cast<QComboBox*>(Walker::Control(tool, "deviceList"))
                               ->currentIndex() == row;
                },
                kClickMs));
            if (!w.type(tool, "programPath", dir.file("SolGrb_service.hex"))) return;
            if (!w.clickForLogLine(tool, "programButton", "I> Update finished", kProgrammerMs))
                return;
            // The tool and its progress were beside the main window all along, not under it.
            EXPECT_TRUE(w.onGui([&] {
                return !Walker::Window(main)->frameGeometry().intersects(
                    Walker::Window(tool)->frameGeometry());
            }));
            w.picture(tool, "software-update");
            w.picture(main, "main-window-after-update");

            // EEPROM read, Analyse Error Memory, Save to File.
            if (!w.chooseMenu("Tools", "EEPROM Tools")) return;
            if (!w.type(tool, "eepromPath", dir.file("service.hex"))) return;
            if (!w.clickForLogLine(tool, "readEepromButton", "I> Read Process finished",
                                   kProgrammerMs))
                return;
            w.picture(tool, "eeprom-tools");
            if (!w.click(tool, "analyseButton")) return;
            if (!w.waitFor([&] { return Walker::Window(report) != nullptr; }, kClickMs)) {
                ADD_FAILURE() << "no Error Memory window";
                return;
            }
            EXPECT_TRUE(QString::fromStdString(w.text(report, "content"))
                            .contains(QStringLiteral("EEPROM")));
            w.picture(report, "error-memory");
            if (!w.click(report, "saveButton")) return;
            // Typing goes where the keyboard focus is: the dialog's file name field, once the
            // dialog has given it the focus.
            const std::string reportFile = dir.file("service.txt");
            auto nameField = [] {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
                return dialog && field && dialog->isAncestorOf(field) ? field : nullptr;
            };
            if (!w.waitFor([&] { return nameField() != nullptr; }, kClickMs)) {
                ADD_FAILURE() << "no file dialog with its name field";
                return;
            }
            if (!w.xdotool({"type", "--delay", "5", reportFile})) return;
            EXPECT_TRUE(w.waitFor(
                [&] { return nameField() && nameField()->text().toStdString() == reportFile; },
                kClickMs));
            if (!w.xdotool({"key", "Return"})) return;
            EXPECT_TRUE(w.waitFor(
                [&] {
                    QWidget* modal = QApplication::activeModalWidget();
                    return modal && modal->windowTitle() == report;
                },
                kClickMs));
            if (!w.click(report, "okButton")) return;
            if (!w.waitFor([&] { return Walker::Window(report) == nullptr; }, kClickMs)) return;

            // The same jobs once more with keys only: F6 hands the keyboard from window to window.
            // Xvfb has no window manager to give the keyboard back when the last window closed;
            // it is given to the main window once, as a desktop would.
            const std::string mainId = w.onGui([&] { return std::to_string(Walker::Window(main)->winId()); });
            if (!w.xdotool({"windowfocus", "--sync", mainId})) return;
            if (!w.keyboardTo(main) || !w.tabTo(main, "openComButton")) return;
            if (!w.keysForLogLine("space", "I> COM Port Closed", kDeviceMs)) return;
            if (!w.keysForLogLine("space", "I> COM Port Opened", kClickMs)) return;
            // The kernel window from the menu by its letters; BootNumber, the seventh command
            // above the last, sent with Enter and answered by the device.
            if (!w.menuKeys("t", "k")) return;
            if (!w.waitFor([&] { return Walker::Window(kernel) != nullptr; }, kClickMs)) return;
            if (!w.keyboardTo(kernel) || !w.tabTo(kernel, "commandList")) return;
            if (!w.key("End")) return;
            for (int i = 0; i < 7; ++i)
                if (!w.key("Up")) return;
            EXPECT_TRUE(w.waitFor(
                [&] {
                    auto* list = qobject_cast<QComboBox*>(Walker::Control(kernel, "commandList"));
                    return list->currentText() == QStringLiteral("BootNumber");
                },
                kClickMs));
            if (!w.keysForLogLine("Return", "I> API Command OK", kDeviceMs)) return;
            EXPECT_FALSE(w.text(kernel, "returnCodeDecimalField").empty());
            // The texts the mouse wrote, read back from the device by keys.
            if (!w.keyboardTo(main) || !w.menuKeys("a", "s")) return;
            if (!w.keyboardTo(texts) || !w.tabTo(texts, "readButton")) return;
            if (!w.keysForLogLine("space", "I> Reading text finished", kDeviceMs * 2)) return;
            EXPECT_EQ(QString::fromStdString(w.text(texts, "readLine1")).trimmed(), "Heizung Nord");
            // An EEPROM read into a new file from the EEPROM Tools.
            if (!w.keyboardTo(main) || !w.menuKeys("t", "e")) return;
            if (!w.keyboardTo(tool) || !w.tabTo(tool, "eepromPath")) return;
            if (!w.key("ctrl+a") || !w.xdotool({"type", "--delay", "5", dir.file("keys.hex")}))
                return;
            if (!w.tabTo(tool, "readEepromButton")) return;
            if (!w.keysForLogLine("space", "I> Read Process finished", kProgrammerMs)) return;

            // The About box, closed with its OK button.
            if (!w.chooseMenu("Help", "About ...")) return;
            if (!w.waitFor([&] { return Walker::Window(QStringLiteral("Info")) != nullptr; },
                           kClickMs)) {
                ADD_FAILURE() << "no About box";
                return;
            }
            w.picture(QStringLiteral("Info"), "about");
            if (!w.click(QStringLiteral("Info"), "okButton")) return;
            if (!w.waitFor([&] { return Walker::Window(QStringLiteral("Info")) == nullptr; },
                           kClickMs))
                return;

            if (!w.click(main, "closeMonitorButton")) return;
            walked = true;
        };
        steps();
        // Whatever happened, the program ends; a failed walk leaves a picture of the screen.
        if (!walked) {
            w.onGui([] {
                const QString picture =
                    QStringLiteral(NVX_BINARY_DIR "/technician_session_failure.png");
                QGuiApplication::primaryScreen()->grabWindow(0).save(picture);
                std::fprintf(stderr, "screen at the failure: %s\n", qPrintable(picture));
                QCoreApplication::exit(1);
            });
        }
    });

    const int status = RunMonitorProgram(argc, argv);
    walk.join();
    fs::current_path(previous);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(walked);

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.FinishWithin(20000).status, 0);
    std::map<uint32_t, uint8_t> flash;
    ASSERT_TRUE(ParseHex(ReadText(dir.file("flash.out")), flash));
    for (std::size_t i = 0; i < firmware.size(); ++i) {
        ASSERT_EQ(flash[static_cast<uint32_t>(i)], firmware[i]) << "flash address " << i;
    }
    const std::string saved = ReadText(dir.file("service.txt"));
    EXPECT_GT(saved.size(), 200u);
    std::map<uint32_t, uint8_t> eeprom;
    EXPECT_TRUE(ParseHex(ReadText(dir.file("service.hex")), eeprom));
    EXPECT_EQ(eeprom.size(), 4096u);
    // The read by keys got the whole device memory, the texts written by the mouse in it.
    std::map<uint32_t, uint8_t> byKeys;
    EXPECT_TRUE(ParseHex(ReadText(dir.file("keys.hex")), byKeys));
    EXPECT_EQ(byKeys.size(), 4096u);
    std::string memory;
    for (const auto& [address, value] : byKeys) memory += static_cast<char>(value);
    EXPECT_NE(memory.find("Heizung Nord"), std::string::npos);
}

}  // namespace
}  // namespace nvx::test
