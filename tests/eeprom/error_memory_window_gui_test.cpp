// The Error Memory window on the offscreen platform: its controls, the report in the field and
// the two buttons.
#ifdef NVX_EEPROM_GUI

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "eeprom/gui/error_memory_dlg.h"
#include "platform/gui/file_dialogs.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"
#include "support/qt_test_app.h"
#include "support/recording_dialogs.h"
#include "support/recording_file_dialogs.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;

const fs::path kFixtures = fs::path(NVX_FIXTURES_DIR) / "eeprom";

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ErrorMemoryDlgTest : public testing::Test {
protected:
    static void SetUpTestSuite() { test::EnsureTestApp(); }
    void SetUp() override {
        dir_ = scratch_.path();
        // A save without an extension gets ".txt" only when no "." is anywhere in its path.
        ASSERT_EQ(dir_.string().find('.'), std::string::npos) << dir_;
        ResetShellSettings();
        SetMessageBoxes(&boxes_);
        SetFileDialogs(&dialogs_);
    }
    void TearDown() override {
        SetFileDialogs(nullptr);
        SetMessageBoxes(nullptr);
    }

    test::ScratchDir scratch_{"eeprom-window-gui"};
    fs::path dir_;
    RecordingMessageBoxes boxes_;
    RecordingFileDialogs dialogs_;
};

TEST_F(ErrorMemoryDlgTest, ShowsTheReportInAFixedPitchField) {
    CErrorMemoryDlg dlg((kFixtures / "small_image.hex").string(), 0);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Error Memory"));
    auto* content = dlg.findChild<QPlainTextEdit*>(QStringLiteral("content"));
    ASSERT_NE(content, nullptr);
    EXPECT_FALSE(content->isReadOnly());
    EXPECT_EQ(content->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QString expected = QString::fromLatin1(ReadBytes(kFixtures / "small_image_row0.txt"));
    expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(content->toPlainText(), expected);
    EXPECT_TRUE(QFontInfo(content->font()).fixedPitch());
    EXPECT_EQ(content->font().pointSize(), 8);

    bool hasLabel = false;
    for (QLabel* l : dlg.findChildren<QLabel*>()) hasLabel |= l->text() == QStringLiteral("Content");
    EXPECT_TRUE(hasLabel);
    auto* ok = dlg.findChild<QPushButton*>(QStringLiteral("okButton"));
    auto* save = dlg.findChild<QPushButton*>(QStringLiteral("saveButton"));
    ASSERT_NE(ok, nullptr);
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(save->text(), QStringLiteral("Save to File"));
}

TEST_F(ErrorMemoryDlgTest, SaveWritesWhatTheFieldShows) {
    CErrorMemoryDlg dlg((kFixtures / "small_image.hex").string(), 0);
    auto* content = dlg.findChild<QPlainTextEdit*>(QStringLiteral("content"));
    content->setPlainText(QStringLiteral("first line\nsecond \u00e4 line"));
    dialogs_.answers = {(dir_ / "saved").string()};
    QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("saveButton")), Qt::LeftButton);
    ASSERT_EQ(dialogs_.asked.size(), 1u);
    EXPECT_TRUE(dialogs_.asked[0].save);
    EXPECT_EQ(ReadBytes(dir_ / "saved.txt"), "first line\r\nsecond \xE4 line");
    EXPECT_TRUE(boxes_.shown.empty());

    // Cancelled: the message, and the window stays open.
    dlg.show();
    QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("saveButton")), Qt::LeftButton);
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text, "Failed to save Error File");
    EXPECT_TRUE(dlg.isVisible());

    QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("okButton")), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST(QtNameFiltersTest, PatternsAreSeparatedByBlanks) {
    EXPECT_EQ(QtNameFilters("All Program Files (*.npf; *.hex)|*.npf; *.hex|All Files (*.*)|*.*||"),
              QStringLiteral("All Program Files (*.npf *.hex);;All Files (*.*)"));
    EXPECT_EQ(QtNameFilters("Text Files (*.txt)|*.txt|All Files (*.*)|*.*||"),
              QStringLiteral("Text Files (*.txt);;All Files (*.*)"));
    EXPECT_EQ(QtNameFilters("Plain|*.x||"), QStringLiteral("Plain (*.x)"));
}

}  // namespace
}  // namespace nvx

#endif  // NVX_EEPROM_GUI
