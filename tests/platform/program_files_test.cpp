// The program's own files in its start directory are never a window's save target, however the
// name reaches them; any other existing file is written over only after a Yes.

#include "platform/program_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/user_dialogs.h"
#include "support/recording_dialogs.h"
#include "support/scratch_files.h"

namespace nvx::test {
namespace {

namespace fs = std::filesystem;

class ProgramFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        start_ = dir_.path() + "/";
        fs::create_directories(dir_.file("backup"));
        fs::create_directories(dir_.file("sub"));
        SetMessageBoxes(&boxes_);
    }
    void TearDown() override { SetMessageBoxes(nullptr); }

    ScratchDir dir_{"program-files"};
    std::string start_;
    RecordingMessageBoxes boxes_;
};

TEST_F(ProgramFilesTest, EveryOwnFileIsKnownByAnyNameAndNothingElseIs) {
    WriteText(dir_.file("service-journal.csv"), "journal");
    fs::create_symlink(dir_.file("service-journal.csv"), dir_.file("link.csv"));
    const struct {
        std::string path;
        const char* kind;
    } cases[] = {
        {dir_.file("service-journal.csv"), "the service journal"},
        {dir_.file("sub/../service-journal.csv"), "the service journal"},
        {dir_.file("./service-journal.csv"), "the service journal"},
        {dir_.file("link.csv"), "the service journal"},
        {dir_.file("backup/SolBed-20260101-120000.hex"), "an EEPROM backup"},
        {dir_.file("backup/new.hex"), "an EEPROM backup"},
        {dir_.file("temp.ntf"), "a work file of the programmer"},
        {dir_.file("temp.hex"), "a work file of the programmer"},
        {dir_.file("update.lock"), "a work file of the programmer"},
        {dir_.file("monitor.ini"), "the settings file"},
        // Not the program's: other names, and the same names elsewhere.
        {dir_.file("frames.csv"), ""},
        {dir_.file("backup.hex"), ""},
        {dir_.file("backups/x.hex"), ""},
        {dir_.file("sub/service-journal.csv"), ""},
        {dir_.file("sub/temp.hex"), ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgramFileKind(c.path, start_, start_), c.kind) << c.path;
}

// nvx runs the programmer in a private directory: a file of the start directory that is only
// named like a work file is the user's.
TEST_F(ProgramFilesTest, WorkFilesAreThoseOfTheProgrammersDirectory) {
    const std::string work = dir_.file("sub/");
    for (const char* name : {"temp.hex", "temp.ntf", "update.lock"}) {
        EXPECT_EQ(ProgramFileKind(dir_.file(name), start_, work), "") << name;
        EXPECT_EQ(ProgramFileKind(work + name, start_, work), "a work file of the programmer")
            << name;
    }
    EXPECT_EQ(ProgramFileKind(dir_.file("service-journal.csv"), start_, work),
              "the service journal");
}

TEST_F(ProgramFilesTest, TheStartDirectoryNamedRelativelyIsTheSame) {
    const fs::path before = fs::current_path();
    fs::current_path(dir_.path());
    EXPECT_EQ(ProgramFileKind("service-journal.csv", "./", "./"), "the service journal");
    EXPECT_EQ(ProgramFileKind(dir_.file("temp.hex"), "./", "./"),
              "a work file of the programmer");
    EXPECT_EQ(ProgramFileKind("frames.csv", "./", "./"), "");
    fs::current_path(before);
}

TEST_F(ProgramFilesTest, AProgramFileIsRefusedWithABoxAndLeftAsItWas) {
    const std::string journal = dir_.file("service-journal.csv");
    WriteText(journal, "journal");
    EXPECT_FALSE(ConfirmSaveTarget(journal, /*dialogAskedAboutIt=*/true, "Caption", start_));
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].caption, "Caption");
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::Ok);
    EXPECT_NE(boxes_.shown[0].text.find("the service journal"), std::string::npos)
        << boxes_.shown[0].text;
    EXPECT_EQ(ReadText(journal), "journal");
}

TEST_F(ProgramFilesTest, AnExistingFileIsReplacedOnlyAfterAYes) {
    const std::string report = dir_.file("report.csv");
    // A new name: no question.
    EXPECT_TRUE(ConfirmSaveTarget(report, false, "Caption", start_));
    EXPECT_TRUE(boxes_.shown.empty());

    WriteText(report, "old");
    // The file dialog asked about this very name already.
    EXPECT_TRUE(ConfirmSaveTarget(report, true, "Caption", start_));
    EXPECT_TRUE(boxes_.shown.empty());

    boxes_.answers = {MessageAnswer::No, MessageAnswer::Yes};
    EXPECT_FALSE(ConfirmSaveTarget(report, false, "Caption", start_));
    EXPECT_TRUE(ConfirmSaveTarget(report, false, "Caption", start_));
    ASSERT_EQ(boxes_.shown.size(), 2u);
    EXPECT_EQ(boxes_.shown[0].text, report + " already exists.\r\nDo you want to replace it?");
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::YesNo);
}

}  // namespace
}  // namespace nvx::test
