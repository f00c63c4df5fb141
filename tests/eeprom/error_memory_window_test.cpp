// The Error Memory window's logic: the report it shows and how it saves the field's text.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "eeprom/eeprom_image.h"
#include "eeprom/eeprom_report.h"
#include "eeprom/error_memory_window.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"
#include "support/recording_dialogs.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsEmpty;

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const fs::path kImage = fs::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image.hex";

class FieldView : public ErrorMemoryView {
public:
    std::string readContent() override { return field; }
    void writeContent(const std::string& content) override {
        field = content;
        ++writes;
    }
    bool askSaveFileName(const std::string& filter, std::string& chosen) override {
        filters.push_back(filter);
        if (!answer) return false;
        chosen = *answer;
        return true;
    }
    std::string field;
    int writes = 0;
    std::optional<std::string> answer;
    std::vector<std::string> filters;
};

class ErrorMemoryTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = scratch_.path();
        // A save without an extension gets ".txt" only when no "." is anywhere in its path.
        ASSERT_EQ(dir_.string().find('.'), std::string::npos) << dir_;
        ResetShellSettings();
        SetMessageBoxes(&boxes_);
    }
    void TearDown() override {
        SetMessageBoxes(nullptr);
        ResetShellSettings();
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const auto& b : boxes_.shown) texts.push_back(b.text);
        return texts;
    }

    test::ScratchDir scratch_{"eeprom-window"};
    fs::path dir_;
    RecordingMessageBoxes boxes_;
    FieldView view_;
};

TEST_F(ErrorMemoryTest, ShowsTheReportOfTheFileForTheRowItWasGiven) {
    ErrorMemory window(kImage.string(), 0, view_);
    EXPECT_THAT(window.content(), IsEmpty());
    window.OnInitDialog();
    std::ifstream expected(fs::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image_row0.txt",
                           std::ios::binary);
    EXPECT_EQ(view_.field, std::string(std::istreambuf_iterator<char>(expected), {}));
    EXPECT_EQ(window.content(), view_.field);
    EXPECT_EQ(view_.writes, 1);
}

TEST_F(ErrorMemoryTest, PassesTheRowAndTheHeaderSwitchToTheReport) {
    EepromImage image;
    ASSERT_TRUE(LoadEepromImage(kImage.string(), image));
    for (int32_t details : {0, 1}) {
        for (int32_t row : {0, 16, 24}) {
            ReportHeaderDetails = details;
            FieldView view;
            ErrorMemory window(kImage.string(), row, view);
            window.OnInitDialog();
            EXPECT_EQ(view.field, BuildEepromReport(image, row, details != 0))
                << "row " << row << " details " << details;
        }
    }
    // The arguments make a difference, so the table above can tell them apart.
    EXPECT_NE(BuildEepromReport(image, 24, true), BuildEepromReport(image, 24, false));
    EXPECT_NE(BuildEepromReport(image, 16, false), BuildEepromReport(image, 0, false));
}

TEST_F(ErrorMemoryTest, RefusesAFileThatIsNoEepromImageWithoutAReport) {
    // A valid image's header (sections at 0x20, 0x30, 0x40, 0x50) and an empty error memory.
    const std::string header = ":1000100000000000000000000502030400000000D2\n";
    const std::string emptyRing = ":0400500000000000AC\n";
    struct Case {
        const char* name;
        std::string text;
        const char* why;
    };
    const Case cases[] = {
        {"notes.txt", "Some notes about the unit\nEntries: 3\n", "no data records"},
        {"firmware.hex", header + emptyRing + ":10F000000C9434000C9434000C9434000C943400B0\n",
         "address 0xf000 lies beyond the 4096-byte EEPROM"},
        // Entries 255 of an erased error memory do not fit behind its start.
        {"erased.hex", header + ":04005000FF000000AD\n",
         "255 entries at 0x0050 do not fit in the data read"},
        // Pointer 7 with 2 entries.
        {"pointer.hex",
         header + ":0C005000020700002120054332250A4C65\n",
         "pointer 7 lies beyond its 2 entries"},
        {"order.hex", ":1000100000000000000000000504030200000000D2\n" + emptyRing,
         "out of order"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir_ / c.name;
        std::ofstream(file, std::ios::binary) << c.text;
        FieldView view;
        ErrorMemory window(file.string(), 24, view);
        window.OnInitDialog();
        EXPECT_EQ(view.field.find("Velmor EEPROM Content"), std::string::npos) << view.field;
        EXPECT_EQ(view.field.find("Entries"), std::string::npos) << view.field;
        EXPECT_EQ(view.field.rfind(file.string() + " is no EEPROM image: ", 0),
                  0u)
            << view.field;
        EXPECT_NE(view.field.find(c.why), std::string::npos) << view.field;
        EXPECT_EQ(view.writes, 1);
    }
}

TEST_F(ErrorMemoryTest, TakesAnImageWithAnEmptyOrAFullRing) {
    const std::string header = ":1000100000000000000000000502030400000000D2\n";
    for (const std::string& ring : {std::string(":0400500000000000AC\n"),
                                    // Two entries, the ring full and its pointer back at 0.
                                    std::string(":0C005000020000002120054332250A4C6C\n")}) {
        const fs::path file = dir_ / "image.hex";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << header << ring;
        FieldView view;
        ErrorMemory window(file.string(), 0, view);
        window.OnInitDialog();
        EXPECT_EQ(view.field.rfind("Velmor EEPROM Content\r\n", 0), 0u) << view.field;
    }
}

struct NameCase {
    const char* chosen;
    const char* saved;
};

TEST(ReportFileNameTest, AppendsTxtOnlyWhenThePathHasNoDotAnywhere) {
    const NameCase cases[] = {
        {"/tmp/report", "/tmp/report.txt"},
        {"/tmp/report.log", "/tmp/report.log"},
        {"/my.files/report", "/my.files/report"},
        {"report", "report.txt"},
        {"/tmp/.hidden", "/tmp/.hidden"},
    };
    for (const NameCase& c : cases) EXPECT_EQ(ReportFileName(c.chosen), c.saved) << c.chosen;
}

TEST(ReportLineEndsTest, EveryLineEndBecomesOneCrLf) {
    EXPECT_EQ(WithCrLfLineEnds("a\r\nb\nc\rd"), "a\r\nb\r\nc\r\nd");
    EXPECT_EQ(WithCrLfLineEnds("\n\n"), "\r\n\r\n");
    EXPECT_EQ(WithCrLfLineEnds("x\r\n\r\n"), "x\r\n\r\n");
    EXPECT_EQ(WithCrLfLineEnds("\xE4\xF6\xFC"), "\xE4\xF6\xFC");
}

TEST_F(ErrorMemoryTest, SavesTheEditedTextWithPlainCrLf) {
    ErrorMemory window(kImage.string(), 0, view_);
    window.OnInitDialog();
    // The user edits the field; the window's field keeps bare line feeds.
    view_.field = "Edited by hand\nZ\xE4hler 3\r\n";
    view_.answer = (dir_ / "report").string();
    window.OnSaveToFile();
    ASSERT_THAT(view_.filters, ElementsAre("Text Files (*.txt)|*.txt|All Files (*.*)|*.*||"));
    EXPECT_EQ(ReadBytes(dir_ / "report.txt"), "Edited by hand\r\nZ\xE4hler 3\r\n");
    EXPECT_FALSE(fs::exists(dir_ / "report"));
    EXPECT_THAT(BoxTexts(), IsEmpty());
    EXPECT_EQ(window.content(), view_.field);
}

TEST_F(ErrorMemoryTest, KeepsAnExtensionAndAFolderWithADot) {
    fs::create_directories(dir_ / "my.files");
    ErrorMemory window(kImage.string(), 0, view_);
    window.OnInitDialog();
    const std::string report = view_.field;
    view_.answer = (dir_ / "report.log").string();
    window.OnSaveToFile();
    view_.answer = (dir_ / "my.files" / "report").string();
    window.OnSaveToFile();
    EXPECT_EQ(ReadBytes(dir_ / "report.log"), report);
    EXPECT_EQ(ReadBytes(dir_ / "my.files" / "report"), report);
    EXPECT_NE(report.find("\r\n"), std::string::npos);
    EXPECT_EQ(report.find("\r\r"), std::string::npos);
}

TEST_F(ErrorMemoryTest, CancelSavesNothingAndSaysSo) {
    ErrorMemory window(kImage.string(), 0, view_);
    window.OnInitDialog();
    window.OnSaveToFile();
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text, "Failed to save Error File");
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::Ok);
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(ErrorMemoryTest, AsksBeforeTheAppendedNameReplacesAFile) {
    ErrorMemory window(kImage.string(), 0, view_);
    window.OnInitDialog();
    std::ofstream(dir_ / "report.txt", std::ios::binary) << "keep me";
    view_.answer = (dir_ / "report").string();

    boxes_.answers = {MessageAnswer::No};
    window.OnSaveToFile();
    EXPECT_EQ(ReadBytes(dir_ / "report.txt"), "keep me");
    ASSERT_EQ(boxes_.shown.size(), 2u);
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::YesNo);
    EXPECT_NE(boxes_.shown[0].text.find((dir_ / "report.txt").string()), std::string::npos);
    EXPECT_EQ(boxes_.shown[1].text, "Failed to save Error File");

    boxes_.shown.clear();
    boxes_.answers = {MessageAnswer::Yes};
    window.OnSaveToFile();
    EXPECT_EQ(ReadBytes(dir_ / "report.txt"), view_.field);
    EXPECT_EQ(boxes_.shown.size(), 1u);
}

TEST_F(ErrorMemoryTest, AFileThatCannotBeWrittenLeavesNothingBehind) {
    ErrorMemory window(kImage.string(), 0, view_);
    window.OnInitDialog();
    view_.answer = (dir_ / "no such folder" / "report.txt").string();
    window.OnSaveToFile();
    // A directory in the way of the file.
    fs::create_directories(dir_ / "taken.txt");
    view_.answer = (dir_ / "taken.txt").string();
    window.OnSaveToFile();
    EXPECT_THAT(BoxTexts(), ElementsAre("Failed to save Error File", "Failed to save Error File"));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    EXPECT_THAT(names, ElementsAre("taken.txt"));
    EXPECT_TRUE(fs::is_empty(dir_ / "taken.txt"));
}

}  // namespace
}  // namespace nvx
