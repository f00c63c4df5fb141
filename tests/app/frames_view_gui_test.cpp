// The "Frames" view of the TUV Communication window, driven through the window system: pipe
// names typed and boxes ticked with window events, frames from both directions shown with their
// checks, "Save..." answered by a recorded file dialog.

#if NVX_APP_GUI

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <fstream>
#include <iterator>
#include <set>

#include "comm/converter.h"
#include "comm/tick.h"
#include "monitor_doubles.h"
#include "platform/gui/file_dialogs.h"
#include "platform/serial_port.h"
#include "support/qt_test_app.h"
#include "support/recording_file_dialogs.h"
#include "support/scratch_files.h"
#include "support/window_input.h"
#include "tuv/gui/tuv_comm_dlg.h"

namespace nvx::test {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void AppendBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

class FramesViewGuiTest : public StartDirectoryFixture {
  protected:
    void SetUp() override {
        EnsureTestApp();
        StartDirectoryFixture::SetUp();
        InitCommStack();
        g_startTickPeriodMs = g_tickPeriodMs = 10;
        SetFileDialogs(&dialogs_);
        dlg_ = std::make_unique<CTuvCommDlg>(clock_);
        dlg_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    }
    void TearDown() override {
        dlg_.reset();
        SetFileDialogs(nullptr);
        SetComStartDirectory("");
        StartDirectoryFixture::TearDown();
    }

    template <class T>
    T* child(const char* name) {
        T* c = dlg_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(c, nullptr) << name;
        return c;
    }
    // A press and release where a person would click: the box of a check box, the middle of
    // anything else.
    void click(QWidget* w) {
        ASSERT_TRUE(w->isVisible());
        const QPoint at = qobject_cast<QCheckBox*>(w) ? QPoint(w->height() / 2, w->height() / 2)
                                                      : w->rect().center();
        QTest::mouseClick(dlg_->windowHandle(), Qt::LeftButton, {}, w->mapTo(dlg_.get(), at));
    }
    void type(QLineEdit* field, const std::string& text) {
        click(field);
        for (char c : text) QTest::keyClick(dlg_->windowHandle(), c);
    }
    QString cell(int row, FrameColumn column) {
        const QTableWidgetItem* item = table()->item(row, static_cast<int>(column));
        return item ? item->text() : QString();
    }
    QTableWidget* table() { return child<QTableWidget>("framesView"); }

    VirtualClock clock_;
    RecordingFileDialogs dialogs_;
    std::unique_ptr<CTuvCommDlg> dlg_;
};

TEST_F(FramesViewGuiTest, FramesOfBothDirectionsShowWithTheirChecksAndAreSaved) {
    EXPECT_FALSE(child<QWidget>("framesPanel")->isVisible());
    const std::string txPath = dir_.string() + "/tx.bin", rxPath = dir_.string() + "/rx.bin";
    AppendBytes(rxPath, "");
    type(child<QLineEdit>("txPipeName0"), txPath);
    click(child<QCheckBox>("pipeTx0"));
    type(child<QLineEdit>("rxPipeName0"), rxPath);
    click(child<QCheckBox>("pipeRx0"));
    ASSERT_EQ(g_pipeFlags[0], kTxPipeOpen | kRxPipeOpen);
    click(child<QCheckBox>("framesBox"));
    ASSERT_TRUE(child<QWidget>("framesPanel")->isVisible());

    // The device's reply, then a frame whose check byte was corrupted on the line; our request
    // goes out once the line is quiet.
    StartTickTimer(clock_);
    BusMessage request{};
    request.id = 0x0080;
    request.length = 2;
    request.data[0] = 0xFF;
    ASSERT_EQ(ConverterSend(request), 0);
    AppendBytes(rxPath, std::string("\x55\x02\x02\x12\x34\x60\x54\x04\x8C\x1C", 10));
    clock_.advance(400);

    ASSERT_EQ(table()->rowCount(), 3);
    const struct {
        const char* dir;
        const char* kind;
        const char* id;
        const char* parity;
        const char* check;
        const char* data;
    } rows[] = {
        {"Rx", "U", "0080", "OK", "OK", "12 34"},
        {"Rx", "T", "0123", "OK", "wrong", ""},
        {"Tx", "U", "0080", "OK", "OK", "FF 00"},
    };
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(cell(r, FrameColumn::Direction), rows[r].dir) << r;
        EXPECT_EQ(cell(r, FrameColumn::Kind), rows[r].kind) << r;
        EXPECT_EQ(cell(r, FrameColumn::Identifier), rows[r].id) << r;
        EXPECT_EQ(cell(r, FrameColumn::Parity), rows[r].parity) << r;
        EXPECT_EQ(cell(r, FrameColumn::Check), rows[r].check) << r;
        EXPECT_EQ(cell(r, FrameColumn::Data), rows[r].data) << r;
    }
    EXPECT_EQ(ReadAll(txPath), std::string("\x55\x02\x02\xFF\x00\xA6", 6));

    const std::string csvPath = dir_.string() + "/frames.csv";
    dialogs_.answers.push_back(csvPath);
    click(child<QPushButton>("saveFramesButton"));
    ASSERT_EQ(dialogs_.asked.size(), 1u);
    EXPECT_TRUE(dialogs_.asked[0].save);
    const std::string csv = ReadAll(csvPath);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "ms,offset,dir,kind,word,id,parity,check,data");
    EXPECT_NE(csv.find(",0,Rx,U,0202,0080,OK,OK,12 34\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",6,Rx,T,048C,0123,OK,wrong,\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",0,Tx,U,0202,0080,OK,OK,FF 00\r\n"), std::string::npos) << csv;

    click(child<QPushButton>("clearFramesButton"));
    EXPECT_EQ(table()->rowCount(), 0);
}

// The save dialog opens where the service journal is the only CSV file: taking it is refused,
// and a name typed without an extension gets ".csv", asked about when that file exists.
TEST_F(FramesViewGuiTest, SaveNeverWritesOverTheJournalAndGivesANameItsExtension) {
    SetComStartDirectory(StartDirectory);
    const std::string journal = dir_.string() + "/service-journal.csv";
    std::ofstream(journal, std::ios::binary) << "journal\r\n";
    click(child<QCheckBox>("framesBox"));
    ASSERT_TRUE(child<QWidget>("framesPanel")->isVisible());

    dialogs_.answers.push_back(journal);
    click(child<QPushButton>("saveFramesButton"));
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].caption, "TUV Communication");
    EXPECT_NE(boxes_.shown[0].text.find("the service journal"), std::string::npos)
        << boxes_.shown[0].text;
    EXPECT_EQ(ReadAll(journal), "journal\r\n");

    const std::string typed = dir_.string() + "/frames";
    dialogs_.answers.push_back(typed);
    click(child<QPushButton>("saveFramesButton"));
    EXPECT_EQ(boxes_.shown.size(), 1u) << "a new name: no question";
    EXPECT_FALSE(std::filesystem::exists(typed));
    EXPECT_EQ(ReadAll(typed + ".csv").rfind("ms,offset,dir,kind,", 0), 0u);

    // The dialog asked about "frames", not about "frames.csv".
    std::ofstream(typed + ".csv", std::ios::binary) << "kept\r\n";
    boxes_.answers = {MessageAnswer::No};
    dialogs_.answers.push_back(typed);
    click(child<QPushButton>("saveFramesButton"));
    ASSERT_EQ(boxes_.shown.size(), 2u);
    EXPECT_EQ(boxes_.shown[1].text, typed + ".csv already exists.\r\nDo you want to replace it?");
    EXPECT_EQ(ReadAll(typed + ".csv"), "kept\r\n");
}

TEST_F(FramesViewGuiTest, TheSaveDialogDoesNotOfferTheProgramsOwnFiles) {
    SetComStartDirectory(StartDirectory);
    SetFileDialogs(nullptr);  // Qt's own dialog, as the technician gets it
    // The monitor runs in its start directory, where the dialog opens.
    const CurrentDirectoryGuard backHome;
    std::filesystem::current_path(dir_);
    for (const char* name :
         {"service-journal.csv", "monitor.ini", "temp.ntf", "frames-old.csv", "notes.txt"})
        std::ofstream(dir_.string() + "/" + name, std::ios::binary) << "x\r\n";
    std::filesystem::create_directories(dir_ / "backup");
    std::filesystem::create_directories(dir_ / "captures");
    click(child<QCheckBox>("framesBox"));

    std::set<std::string> listed;
    WhenModalShows(dlg_.get(), [&](QWidget* dialog) {
        SelectAllFiles(dialog);
        listed = FileDialogListing(dialog, "notes.txt");  // there once all files show
        dialog->close();
    });
    click(child<QPushButton>("saveFramesButton"));
    EXPECT_EQ(listed, (std::set<std::string>{"captures", "frames-old.csv", "notes.txt"}));
}

TEST_F(FramesViewGuiTest, AHiddenViewCatchesUpWhenShownAndKeepsItsLimit) {
    const std::string rxPath = dir_.string() + "/rx.bin";
    std::string frames;
    const std::string t("\x54\x04\x8C\x1B", 4);
    for (std::size_t i = 0; i < kFrameViewLimit + 5; ++i) frames += t;
    AppendBytes(rxPath, frames);
    type(child<QLineEdit>("rxPipeName0"), rxPath);
    click(child<QCheckBox>("pipeRx0"));
    click(child<QCheckBox>("framesBox"));
    dlg_->hide();
    clock_.advance(10 * frames.size() + 20);  // one pipe byte per tick
    EXPECT_EQ(table()->rowCount(), 0);        // a hidden window's view is not filled

    dlg_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    ASSERT_EQ(table()->rowCount(), static_cast<int>(kFrameViewLimit));
    // The newest kept: the last row started at the last frame's offset.
    EXPECT_EQ(cell(static_cast<int>(kFrameViewLimit) - 1, FrameColumn::Offset),
              QString::number(frames.size() - t.size()));
    EXPECT_EQ(cell(0, FrameColumn::Offset), QString::number(5 * t.size()));
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_APP_GUI
