// The Programming Tool window on the offscreen platform: controls, the two layouts, the enable
// rule, and clicks reaching the logic.
#ifdef NVX_PROGTOOL_GUI

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>
#include <functional>
#include <set>

#include "platform/gui/file_dialogs.h"
#include "platform/gui/qt_dialogs.h"
#include "prog_tool_fixture.h"
#include "progtool/gui/prog_tool_dlg.h"
#include "support/qt_test_app.h"
#include "support/recording_file_dialogs.h"
#include "support/window_input.h"

namespace nvx::test {
namespace {

class ProgToolDlgTest : public ProgToolTest {
  protected:
    static void SetUpTestSuite() { EnsureTestApp(); }
    void SetUp() override {
        ProgToolTest::SetUp();
        SetFileDialogs(&dialogs_);
    }
    void TearDown() override {
        dlg_.reset();
        SetFileDialogs(nullptr);
        ProgToolTest::TearDown();
    }

    CProgToolDlg& Make() {
        dlg_ = std::make_unique<CProgToolDlg>(clock_, shell_);
        return *dlg_;
    }
    template <typename T>
    T* child(const char* name) {
        T* w = dlg_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QPushButton* button(const char* name) { return child<QPushButton>(name); }
    void Click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }
    // The user picks a row in the drop-down list and it closes.
    void Pick(int row) {
        auto* list = child<QComboBox>("deviceList");
        list->setCurrentIndex(row);
        list->hidePopup();
        QCoreApplication::processEvents();
    }

    RecordingFileDialogs dialogs_;
    std::unique_ptr<CProgToolDlg> dlg_;
};

TEST_F(ProgToolDlgTest, CreatedHiddenWithTheDeviceList) {
    CProgToolDlg& dlg = Make();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Programming Tool"));
    auto* list = child<QComboBox>("deviceList");
    ASSERT_EQ(list->count(), 35);
    EXPECT_FALSE(list->isEditable());
    EXPECT_EQ(list->itemText(0), QStringLiteral("< no Device selected >"));
    EXPECT_EQ(list->itemText(1), QString(94, QLatin1Char('-')));
    EXPECT_EQ(list->itemText(13), QStringLiteral("> Emergency Update (direct connection)"));
    EXPECT_EQ(list->itemText(34), QString());
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_EQ(child<QCheckBox>("manualStart")->text(), QStringLiteral("Manual Update Start Mode"));
    EXPECT_TRUE(clock_.isRunning(dlg.logic().timerId()));
    for (const char* name :
         {"programFileButton", "convertButton", "programButton", "eepromFileButton",
          "readEepromButton", "writeEepromButton", "analyseButton", "closeButton"})
        EXPECT_NE(dlg.findChild<QPushButton*>(QString::fromLatin1(name)), nullptr) << name;
    EXPECT_TRUE(button("programButton")->isDefault());
    EXPECT_TRUE(button("convertButton")->isFlat());
}

TEST_F(ProgToolDlgTest, LayoutsWithoutSwitches) {
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(child<QGroupBox>("programGroup")->isVisible());
    EXPECT_FALSE(child<QGroupBox>("eepromGroup")->isVisible());
    EXPECT_FALSE(button("convertButton")->isVisible());
    EXPECT_TRUE(child<QGroupBox>("deviceSettingsGroup")->isVisible());
    EXPECT_TRUE(button("closeButton")->isVisible());

    dlg.ShowEepromTools();
    EXPECT_FALSE(child<QGroupBox>("programGroup")->isVisible());
    EXPECT_TRUE(child<QGroupBox>("eepromGroup")->isVisible());
    EXPECT_TRUE(button("writeEepromButton")->isVisible());
    EXPECT_FALSE(button("writeEepromButton")->isEnabled());
    // A greyed-out button says how it is enabled.
    EXPECT_TRUE(button("writeEepromButton")->toolTip().contains(QStringLiteral("/E")))
        << button("writeEepromButton")->toolTip().toStdString();
    EXPECT_TRUE(button("readEepromButton")->isEnabled());
    EXPECT_TRUE(button("analyseButton")->isEnabled());
}

TEST_F(ProgToolDlgTest, LayoutsInTechnicianMode) {
    ShowHexConversion = 1;
    EepromWriteEnabled = 1;
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    EXPECT_TRUE(button("convertButton")->isVisible());
    dlg.ShowEepromTools();
    EXPECT_TRUE(button("writeEepromButton")->isEnabled());
    EXPECT_FALSE(button("convertButton")->isVisible());
}

TEST_F(ProgToolDlgTest, BackUpEepromFirstIsShownAsKeptAndAClickKeepsTheChange) {
    BackupEepromFirst = 1;
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.windowHandle()));
    auto* box = child<QCheckBox>("backupFirst");
    EXPECT_EQ(box->text(), QStringLiteral("Back up EEPROM first"));
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(box->isChecked());

    // A click on the window where the box is, as a person makes it.
    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, {},
                      box->mapTo(&dlg, QPoint(box->height() / 2, box->height() / 2)));
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(BackupEepromFirst, 0);
    EXPECT_EQ(shell_.saves, 1);

    dlg.ShowEepromTools();
    EXPECT_FALSE(box->isVisible());
}

TEST_F(ProgToolDlgTest, CheckVersionsStandsBesideTheBackupBoxAndAClickKeepsTheChange) {
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.windowHandle()));
    auto* box = child<QCheckBox>("checkVersions");
    EXPECT_EQ(box->text(), QStringLiteral("Check versions before and after"));
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(box->geometry().top(), child<QCheckBox>("backupFirst")->geometry().top());

    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, {},
                      box->mapTo(&dlg, QPoint(box->height() / 2, box->height() / 2)));
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(CheckVersionsAround, 1);
    EXPECT_EQ(shell_.saves, 1);

    dlg.ShowEepromTools();
    EXPECT_FALSE(box->isVisible());
}

TEST_F(ProgToolDlgTest, ClosingTheListAppliesTheRow) {
    Make();
    Pick(13);
    EXPECT_TRUE(child<QCheckBox>("manualStart")->isChecked());
    EXPECT_EQ(g_deviceSelection.deviceCode, 3u);
    Pick(12);
    EXPECT_FALSE(child<QCheckBox>("manualStart")->isChecked());
    Pick(9);
    EXPECT_EQ(child<QComboBox>("deviceList")->currentIndex(), 0);
    EXPECT_EQ(g_deviceSelection.deviceCode, 0u);
}

TEST_F(ProgToolDlgTest, ARowReachedByKeysOrTheWheelIsAppliedLikeAPickedOne) {
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    auto* list = child<QComboBox>("deviceList");
    Pick(10);
    ASSERT_EQ(g_deviceSelection.deviceCode, 259u);
    list->setFocus();
    QWindow* window = dlg.windowHandle();
    const auto wheel = [&](int notches) {
        const QPointF at = list->mapTo(&dlg, list->rect().center());
        QWheelEvent event(at, dlg.mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(window, &event);
    };
    const struct {
        const char* input;
        std::function<void()> move;
        int row;
        uint32_t deviceCode;
        bool manualStart;
    } steps[] = {
        {"arrow down", [&] { QTest::keyClick(window, Qt::Key_Down); }, 11, 515, false},
        {"wheel down", [&] { wheel(-1); }, 12, 3, false},
        {"arrow down", [&] { QTest::keyClick(window, Qt::Key_Down); }, 13, 3, true},
        {"wheel up", [&] { wheel(1); }, 12, 3, false},
        {"arrow up", [&] { QTest::keyClick(window, Qt::Key_Up); }, 11, 515, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.input);
        step.move();
        EXPECT_EQ(list->currentIndex(), step.row);
        EXPECT_EQ(dlg.logic().acceptedRow(), step.row);
        EXPECT_EQ(g_deviceSelection.deviceCode, step.deviceCode);
        EXPECT_EQ(child<QCheckBox>("manualStart")->isChecked(), step.manualStart);
    }
}

TEST_F(ProgToolDlgTest, PresetsShowBeforeTheWindowDoes) {
    PresetProgramFile = "/fw/SolReg_2.npf";
    DeviceStem = "solreg";
    CProgToolDlg& dlg = Make();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(child<QLineEdit>("programPath")->text(), QStringLiteral("/fw/SolReg_2.npf"));
    EXPECT_EQ(child<QComboBox>("deviceList")->currentIndex(), 10);
}

TEST_F(ProgToolDlgTest, BrowseButtonsFillThePathFields) {
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    dialogs_.answers = {std::string("/fw/SolBed_3.npf")};
    Click("programFileButton");
    EXPECT_EQ(child<QLineEdit>("programPath")->text(), QStringLiteral("/fw/SolBed_3.npf"));
    ASSERT_EQ(dialogs_.asked.size(), 1u);
    EXPECT_EQ(dialogs_.asked[0].title, "Select Program File");

    dlg.ShowEepromTools();
    dialogs_.answers = {std::string("/data/image")};
    Click("eepromFileButton");
    EXPECT_EQ(child<QLineEdit>("eepromPath")->text(), QStringLiteral("/data/image.hex"));
    EXPECT_EQ(dialogs_.asked.at(1).title, "Select EEPROM File");
    EXPECT_FALSE(dialogs_.asked.at(0).newNameTaken);
    EXPECT_TRUE(dialogs_.asked.at(1).newNameTaken);
}

TEST_F(ProgToolDlgTest, TheEepromFileDialogTakesTheNameOfAFileStillToBeRead) {
    SetFileDialogs(nullptr);  // the dialog a person sees
    CProgToolDlg& dlg = Make();
    dlg.ShowEepromTools();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    const QString wanted = QString::fromStdString((dir_ / "image-to-read.hex").string());
    ASSERT_FALSE(QFileInfo::exists(wanted));
    // A dialog that turns the name down stays open behind its own message: closing whatever is
    // left open lets the test fail instead of hang.
    QTimer closer;
    closer.setInterval(50);
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget* open = QApplication::activeModalWidget()) open->close();
    });
    bool answered = false;
    QTimer::singleShot(0, &dlg, [&] {
        closer.start();
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        auto* name =
            dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
        if (!name) return;
        name->setText(wanted);
        QTest::keyClick(dialog->windowHandle(), Qt::Key_Return);
        answered = true;
    });
    QPushButton* browse = button("eepromFileButton");
    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, {},
                      browse->mapTo(&dlg, browse->rect().center()));
    closer.stop();
    EXPECT_TRUE(answered);
    EXPECT_EQ(child<QLineEdit>("eepromPath")->text().toStdString(), wanted.toStdString());
}

TEST_F(ProgToolDlgTest, BusyWindowCannotBeClosedByItsButton) {
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    Pick(13);
    WriteFileBytes(dir_ / "SolReg_1.hex", ":03000000010203F7\n:00000001FF\n");
    child<QLineEdit>("programPath")
        ->setText(QString::fromStdString((dir_ / "SolReg_1.hex").string()));
    Click("programButton");
    ASSERT_EQ(UpdateStep, kStepBootPortOpen);
    for (const char* name : {"programButton", "programFileButton", "convertButton", "closeButton"})
        EXPECT_FALSE(button(name)->isEnabled()) << name;
    EXPECT_TRUE(child<QComboBox>("deviceList")->isEnabled());
    EXPECT_TRUE(child<QCheckBox>("manualStart")->isEnabled());
    Click("closeButton");
    EXPECT_TRUE(dlg.isVisible());

    // Escape hides it all the same; the procedure goes on.
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(UpdateStep, kStepBootPortOpen);
    dlg.setProgrammerProgress(42);
    EXPECT_EQ(child<QProgressBar>("programmerProgress")->value(), 42);
}

TEST_F(ProgToolDlgTest, TabFollowsTheLayoutOfEachJob) {
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    EXPECT_EQ(TabThrough(child<QWidget>("deviceList"), 8),
              (QStringList{"deviceList", "manualStart", "programFileButton", "programPath",
                           "programButton", "backupFirst", "checkVersions", "closeButton",
                           "deviceList"}));
    // Write EEPROM is disabled without its switch and passed over.
    dlg.ShowEepromTools();
    EXPECT_EQ(TabThrough(child<QWidget>("deviceList"), 7),
              (QStringList{"deviceList", "manualStart", "eepromFileButton", "eepromPath",
                           "readEepromButton", "analyseButton", "closeButton", "deviceList"}));
}

TEST_F(ProgToolDlgTest, TheProgressBarNamesTheStep) {
    CProgToolDlg& dlg = Make();
    dlg.ShowSoftwareUpdate();
    auto* bar = child<QProgressBar>("programmerProgress");
    EXPECT_TRUE(bar->isTextVisible());
    const struct {
        const char* step;
        int percent;
        const char* shown;
    } cases[] = {{"Reading the EEPROM", 30, "Reading the EEPROM: 30%"},
                 {"Leaving the bootloader", 100, "Leaving the bootloader: 100%"},
                 {"", 100, "100%"}};
    for (const auto& c : cases) {
        dlg.setProgrammerStep(c.step);
        dlg.setProgrammerProgress(c.percent);
        EXPECT_EQ(bar->text(), QString::fromLatin1(c.shown));
    }
}

// The image read goes only where nothing is lost: never over the firmware in the program file
// field or a file the program keeps for itself, and over any other file only after a Yes, with
// No the default of the question a person sees.
TEST_F(ProgToolDlgTest, TheEepromFileDialogOffersBackupsButNoOtherFileOfTheProgram) {
    SetFileDialogs(nullptr);  // Qt's own dialog, as the technician gets it
    CProgToolDlg& dlg = Make();
    dlg.ShowEepromTools();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    for (const char* name : {"service-journal.csv", "monitor.ini", "temp.hex", "temp.ntf",
                             "update.lock", "eeprom.hex", "notes.txt"})
        WriteFileBytes((dir_ / name).string(), "x\r\n");
    fs::create_directories(dir_ / "backup");
    TypeThroughWindow(child<QLineEdit>("eepromPath"),
                      QString::fromStdString((dir_ / "eeprom.hex").string()));

    std::set<std::string> listed;
    WhenModalShows(&dlg, [&](QWidget* dialog) {
        SelectAllFiles(dialog);
        listed = FileDialogListing(dialog, "notes.txt");  // there once all files show
        dialog->close();
    });
    ClickThroughWindow(button("eepromFileButton"));
    for (const char* offered : {"backup", "eeprom.hex", "notes.txt", "atmega64.xml"})
        EXPECT_EQ(listed.count(offered), 1u) << offered;
    for (const char* kept :
         {"service-journal.csv", "monitor.ini", "temp.hex", "temp.ntf", "update.lock"})
        EXPECT_EQ(listed.count(kept), 0u) << kept;
}

TEST_F(ProgToolDlgTest, ReadEepromNeverReplacesTheFirmwareOrTheRecordAndAsksBeforeAnyOther) {
    CProgToolDlg& dlg = Make();
    dlg.ShowEepromTools();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    Pick(3);
    ASSERT_NE(g_deviceSelection.deviceCode, 0);
    const std::string firmware = (dir_ / "SolBed_fw.hex").string();
    WriteFileBytes(firmware, ":03000000010203F7\n:00000001FF\n");
    child<QLineEdit>("programPath")->setText(QString::fromStdString(firmware));
    const std::string journal = (dir_ / "service-journal.csv").string();
    WriteFileBytes(journal, "journal\r\n");
    fs::create_directories(dir_ / "backup");
    fs::create_directories(dir_ / "sub");
    const std::string backup = (dir_ / "backup" / "SolBed-20260101-120000.hex").string();
    WriteFileBytes(backup, "backup\r\n");
    const std::string other = (dir_ / "other.hex").string();
    WriteFileBytes(other, "other\r\n");
    const auto readInto = [&](const std::string& path) {
        TypeThroughWindow(child<QLineEdit>("eepromPath"), QString::fromStdString(path));
        ClickThroughWindow(button("readEepromButton"));
    };

    const struct {
        std::string path;
        const char* kind;
    } refused[] = {
        {firmware, "the program file"},
        {(dir_ / "sub" / ".." / "SolBed_fw.hex").string(), "the program file"},
        {journal, "the service journal"},
        {backup, "an EEPROM backup"},
    };
    for (const auto& r : refused) {
        shell_.log.clear();
        readInto(r.path);
        EXPECT_EQ(shell_.log, (std::vector<std::string>{"E> cannot open EEPROM file: " + r.path +
                                                        ": " + r.kind + ", never replaced"}));
        EXPECT_EQ(ProgOperation, kOperationNone) << r.path;
    }
    EXPECT_TRUE(boxes_.shown.empty()) << "refused without a question";

    // The question as a person sees it: Return takes its default, No.
    QtMessageBoxes onScreen;
    SetMessageBoxes(&onScreen);
    QString asked;
    WhenModalShows(&dlg, [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box) asked = box->text();
        KeyThroughWindow(modal, Qt::Key_Return);
    });
    shell_.log.clear();
    readInto(other);
    EXPECT_EQ(asked.toStdString(), other + " already exists.\r\nDo you want to replace it?");
    EXPECT_EQ(ProgOperation, kOperationNone);
    EXPECT_TRUE(shell_.log.empty()) << testing::PrintToString(shell_.log);
    SetMessageBoxes(&boxes_);

    // After a Yes the read goes ahead (here to the closed port's report).
    boxes_.answers = {MessageAnswer::Yes};
    readInto(other);
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::YesNo);
    EXPECT_FALSE(shell_.log.empty());

    EXPECT_EQ(ReadFileBytes(firmware), ":03000000010203F7\n:00000001FF\n");
    EXPECT_EQ(ReadFileBytes(journal), "journal\r\n");
    EXPECT_EQ(ReadFileBytes(backup), "backup\r\n");
    EXPECT_EQ(ReadFileBytes(other), "other\r\n");
}

TEST_F(ProgToolDlgTest, AnalyseOpensTheErrorMemoryWindow) {
    CProgToolDlg& dlg = Make();
    dlg.ShowEepromTools();
    const auto image = fs::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image.hex";
    child<QLineEdit>("eepromPath")->setText(QString::fromStdString(image.string()));
    QString title, text;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        title = modal->windowTitle();
        text = modal->findChild<QPlainTextEdit*>(QStringLiteral("content"))->toPlainText();
        static_cast<QDialog*>(modal)->accept();
    });
    Click("analyseButton");
    EXPECT_EQ(title, QStringLiteral("Error Memory"));
    QString report = QString::fromLatin1(
        ReadFileBytes(fs::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image_row0.txt"));
    report.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(text, report);
    EXPECT_TRUE(shell_.log.empty());
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_PROGTOOL_GUI
