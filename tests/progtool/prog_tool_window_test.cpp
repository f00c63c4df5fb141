// The Programming Tool window's logic: device list, presets, layouts, enable rule and the file
// commands, over a recording view in a scratch start directory.

#include <gmock/gmock.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "prog_tool_fixture.h"
#include "platform/format.h"
#include "platform/work_directory.h"
#include "app/switches.h"
#include "progtool/device_catalogue.h"
#include "progtool/program_file.h"

namespace nvx::test {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

constexpr const char* kFirmwareHex =
    ":03000000010203F7\n"
    ":040003001020304059\n"
    ":10000700A0A1A2A3A4A5A6A7A8A9AAABACADAEAF71\n"
    ":00000001FF\n";

// ---- Device list

TEST_F(ProgToolTest, NonDeviceRowsJumpBackToNoDevice) {
    Init();
    for (int32_t row : {1, 2, 8, 9, 14, 15, 18, 19, 22, 23, 27, 28, 31, 32, 34, 35, -1, 99}) {
        ChooseRow(10);
        ASSERT_EQ(g_deviceSelection.deviceCode, 259u);
        ChooseRow(row);
        EXPECT_EQ(view_.screen.deviceRow, 0) << "row " << row;
        EXPECT_EQ(g_deviceSelection.deviceCode, 0u) << "row " << row;
        EXPECT_FALSE(g_deviceSelection.ProgrammerDelayFlag) << "row " << row;
    }
    EXPECT_THAT(BoxTexts(), IsEmpty());
}

struct RowCase {
    int32_t row;
    uint32_t code;
    const char* key;
    int32_t baud;
    uint8_t target;
    const char* device;
    int32_t manual;
};

TEST_F(ProgToolTest, BackUpEepromFirstShowsItsKeptStateAndKeepsEachChange) {
    for (const int32_t kept : {0, 1}) {
        SCOPED_TRACE(kept);
        BackupEepromFirst = kept;
        view_ = RecordingView{};
        shell_.saves = 0;
        ProgTool& tool = Init();
        EXPECT_EQ(view_.screen.backupFirst, kept);
        EXPECT_EQ(shell_.saves, 0);
        view_.screen.backupFirst = 1 - kept;
        tool.OnBackupFirst();
        EXPECT_EQ(BackupEepromFirst, 1 - kept);
        EXPECT_EQ(shell_.saves, 1);
    }
}

TEST_F(ProgToolTest, CheckVersionsShowsItsKeptStateAndKeepsEachChange) {
    for (const int32_t kept : {0, 1}) {
        SCOPED_TRACE(kept);
        CheckVersionsAround = kept;
        view_ = RecordingView{};
        shell_.saves = 0;
        ProgTool& tool = Init();
        EXPECT_EQ(view_.screen.checkVersions, kept);
        EXPECT_EQ(view_.screen.backupFirst, 0);
        view_.screen.checkVersions = 1 - kept;
        tool.OnCheckVersions();
        EXPECT_EQ(CheckVersionsAround, 1 - kept);
        EXPECT_EQ(BackupEepromFirst, 0);
        EXPECT_EQ(shell_.saves, 1);
    }
}

TEST_F(ProgToolTest, DeviceRowsSetTheSelectionAndTheManualStartDefault) {
    const RowCase cases[] = {
        {3, 4, "SolBed", 38400, 0, "-datmega64", 0},
        {5, 4, "SolGrb", 38400, 0, "-datmega1284p", 0},
        {7, 4, "SolTbed", 38400, 0, "-datxmega128d3", 0},
        {10, 259, "SolReg", 19200, 25, "-datmega64", 0},
        {11, 515, "SolReg", 38400, 0, "-datmega64", 0},
        {12, 3, "SolReg", 38400, 0, "-datmega644p", 0},
        {13, 3, "SolReg", 38400, 0, "-datmega64", 1},
        {16, 13, "SolMinibed", 38400, 7, "-datmega168p", 0},
        {20, 5, "5362", 38400, 0, "-datmega32", 1},
        {24, 264, "PrxaBed", 19200, 15, "-datmega324p", 0},
        {26, 8, "PrxaBed", 38400, 0, "-datmega324p", 1},
        {29, 275, "GlenValBed", 19200, 15, "-datmega324p", 0},
        {33, 15, "3184", 38400, 0, "-datmega32", 1},
    };
    Init();
    for (const RowCase& c : cases) {
        view_.screen.manualStart = 1 - c.manual;  // the row's default must replace the box
        ChooseRow(c.row);
        EXPECT_EQ(view_.screen.deviceRow, c.row);
        EXPECT_EQ(g_deviceSelection.deviceCode, c.code) << c.row;
        EXPECT_EQ(g_deviceSelection.deviceKey, c.key) << c.row;
        EXPECT_EQ(g_deviceSelection.bootBaud, c.baud) << c.row;
        EXPECT_EQ(g_deviceSelection.bootTarget, c.target) << c.row;
        EXPECT_EQ(g_deviceSelection.programmerDevice, c.device) << c.row;
        EXPECT_EQ(view_.screen.manualStart, c.manual) << c.row;
    }
}

TEST_F(ProgToolTest, ManualStartDefaultsOfRowsThirteenAndTwelve) {
    Init();
    ChooseRow(13);
    EXPECT_EQ(view_.screen.manualStart, 1);
    ChooseRow(12);
    EXPECT_EQ(view_.screen.manualStart, 0);
    // The box is the user's after that; choosing the row again restores the default.
    view_.screen.manualStart = 1;
    ChooseRow(12);
    EXPECT_EQ(view_.screen.manualStart, 0);
}

TEST_F(ProgToolTest, OnlyRowTenProgramsWithTheLongDelay) {
    Init();
    for (int32_t row = 0; row < kDeviceRowCount; ++row) {
        if (DeviceRowEntry(row) == nullptr) continue;
        ChooseRow(10);
        ChooseRow(row);
        const auto args = ProgrammerArguments(kOperationProgram, g_deviceSelection, 1);
        EXPECT_EQ(args[5], row == 10 ? "-D500" : "-D0") << "row " << row;
    }
}

TEST_F(ProgToolTest, MissingDescriptionKeepsListAndSelectionTogether) {
    fs::remove(dir_ / "atmega32.xml");
    Init();
    // Nothing accepted yet: the list goes back to row 0.
    ChooseRow(20);
    EXPECT_EQ(view_.screen.deviceRow, 0);
    EXPECT_EQ(g_deviceSelection.deviceCode, 0u);
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text, "No Device description found");
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Question);
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::Ok);

    // After row 10 was accepted, row 20 leaves row 10 in force, delay flag included.
    ChooseRow(10);
    ChooseRow(20);
    EXPECT_EQ(view_.screen.deviceRow, 10);
    EXPECT_EQ(tool_->acceptedRow(), 10);
    EXPECT_EQ(g_deviceSelection.deviceCode, 259u);
    EXPECT_EQ(g_deviceSelection.programmerDevice, "-datmega64");
    EXPECT_TRUE(g_deviceSelection.ProgrammerDelayFlag);
    EXPECT_EQ(boxes_.shown.size(), 2u);
}

TEST_F(ProgToolTest, TheChosenDeviceIsKeptForTheNextStart) {
    Init();
    ChooseRow(12);
    EXPECT_EQ(ChosenDeviceRow, 12);
    EXPECT_EQ(shell_.saves, 1);
    ChooseRow(12);  // the same row again: nothing to keep
    EXPECT_EQ(shell_.saves, 1);

    // The next start shows it in force; the /D switch still comes first.
    g_deviceSelection = DeviceSelection{};
    view_ = RecordingView{};
    Init();
    EXPECT_EQ(view_.screen.deviceRow, 12);
    EXPECT_EQ(tool_->acceptedRow(), 12);
    EXPECT_EQ(g_deviceSelection.programmerDevice, "-datmega644p");
    DeviceStem = "solbed";
    Init();
    EXPECT_EQ(tool_->acceptedRow(), 3);
    DeviceStem.clear();

    // A kept row that is no device, or whose description has gone, is left alone without a word.
    for (const int32_t kept : {1, 99, 20}) {
        if (kept == 20) fs::remove(dir_ / "atmega32.xml");
        ChosenDeviceRow = kept;
        view_ = RecordingView{};
        Init();
        EXPECT_EQ(tool_->acceptedRow(), 0) << kept;
    }
    EXPECT_THAT(BoxTexts(), IsEmpty());
    EXPECT_EQ(shell_.saves, 1) << "starting keeps nothing";
}

TEST_F(ProgToolTest, AnotherDeviceStartsTheProgressBarAfresh) {
    Init();
    ChooseRow(3);
    tool_->ShowProgrammerProgress(100);
    view_.progress.clear();
    ChooseRow(3);
    EXPECT_THAT(view_.progress, IsEmpty()) << "the same device keeps its bar";
    ChooseRow(12);
    EXPECT_THAT(view_.progress, ElementsAre(0));
    EXPECT_EQ(tool_->programmerProgress(), 0);
    ChooseRow(1);  // no device
    EXPECT_THAT(view_.progress, ElementsAre(0, 0));
}

// ---- Initialisation and presets

TEST_F(ProgToolTest, InitialisationStartsTimerFourAndChecksForTheProgrammer) {
    g_tickPeriodMs = 50;
    Init();
    EXPECT_TRUE(clock_.isRunning(tool_->timerId()));
    EXPECT_EQ(UpdateStep, kStepIdle);
    EXPECT_EQ(ProgOperation, kOperationNone);
    EXPECT_EQ(g_deviceSelection.deviceCode, 0u);
    EXPECT_THAT(BoxTexts(), IsEmpty());
    // The timer runs at the period it found: the countdown drops once per 50 ms.
    StepCountdown = 5;
    clock_.advance(49);
    EXPECT_EQ(StepCountdown, 5u);
    clock_.advance(1);
    EXPECT_EQ(StepCountdown, 4u);
    clock_.advance(100);
    EXPECT_EQ(StepCountdown, 2u);
}

TEST_F(ProgToolTest, MissingProgrammerIsReportedAndTheWindowWorks) {
    fs::remove(dir_ / kProgrammerFileName);
    Init();
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text, "No Programmer found (NorvixOSP.exe)");
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Question);
    ChooseRow(3);
    EXPECT_EQ(g_deviceSelection.deviceCode, 4u);
}

struct StemCase {
    const char* word;  // as typed after /D
    int32_t row;
    uint32_t code;
};

TEST_F(ProgToolTest, DeviceStemFromTheCommandLinePreselectsItsRow) {
    const StemCase cases[] = {
        {"SOLREG", 10, 259}, {"solbed", 3, 4},       {"AirCase", 33, 15},
        {"glenvalreg", 30, 18}, {"solgrb", 0, 0},    {"SolBedX", 0, 0},
    };
    for (const StemCase& c : cases) {
        const char* argv[] = {"norvix-monitor", "/D", c.word};
        CommandLineSwitches switches;
        ParseSwitches(switches, 3, argv);
        ASSERT_TRUE(EvaluateSwitches(switches));
        g_deviceSelection = DeviceSelection{};
        view_.screen = ProgToolFields{};
        Init();
        EXPECT_EQ(view_.screen.deviceRow, c.row) << c.word;
        EXPECT_EQ(g_deviceSelection.deviceCode, c.code) << c.word;
    }
}

TEST_F(ProgToolTest, PresetsAreInTheControlsBeforeTheWindowIsShown) {
    PresetProgramFile = "/firmware/SolReg_v2.npf";
    DeviceStem = "solreg";
    Init();
    EXPECT_FALSE(view_.shown);
    EXPECT_EQ(view_.screen.programFilePath, "/firmware/SolReg_v2.npf");
    EXPECT_EQ(view_.screen.deviceRow, 10);
    EXPECT_EQ(tool_->programPath(), "/firmware/SolReg_v2.npf");
}

TEST_F(ProgToolTest, WithoutPresetsTheControlsAreLeftAlone) {
    Init();
    EXPECT_EQ(view_.writes, 0);
}

// ---- Layouts and the enable rule

struct LayoutCase {
    const char* name;
    int32_t hexConversion;  // /T
    int32_t writeEnabled;   // /T or /E
};

TEST_F(ProgToolTest, LayoutsShowOneGroupAndFollowTheSwitches) {
    const LayoutCase cases[] = {{"none", 0, 0}, {"/E", 0, 1}, {"/T", 1, 1}};
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        ShowHexConversion = c.hexConversion;
        EepromWriteEnabled = c.writeEnabled;
        view_ = RecordingView{};
        ProgTool& tool = Init();

        tool.ShowSoftwareUpdate();
        EXPECT_TRUE(view_.shown);
        for (ProgToolControl on : {ProgToolControl::ProgramGroup, ProgToolControl::ProgramPathField,
                                   ProgToolControl::BackupFirst, ProgToolControl::ProgramButton,
                                   ProgToolControl::ProgramFileButton,
                                   ProgToolControl::DeviceSettingsGroup,
                                   ProgToolControl::DeviceList, ProgToolControl::ManualStart,
                                   ProgToolControl::CloseButton})
            EXPECT_TRUE(view_.visible[on]) << static_cast<int>(on);
        for (ProgToolControl off :
             {ProgToolControl::EepromGroup, ProgToolControl::EepromPathField,
              ProgToolControl::EepromFileButton, ProgToolControl::ReadEepromButton,
              ProgToolControl::WriteEepromButton, ProgToolControl::AnalyseButton})
            EXPECT_FALSE(view_.visible[off]) << static_cast<int>(off);
        EXPECT_EQ(view_.visible[ProgToolControl::ConvertButton], c.hexConversion != 0);

        view_.shown = false;
        tool.ShowEepromTools();
        EXPECT_TRUE(view_.shown);
        for (ProgToolControl on : {ProgToolControl::EepromGroup, ProgToolControl::EepromPathField,
                                   ProgToolControl::EepromFileButton,
                                   ProgToolControl::ReadEepromButton,
                                   ProgToolControl::WriteEepromButton,
                                   ProgToolControl::AnalyseButton, ProgToolControl::DeviceList,
                                   ProgToolControl::CloseButton})
            EXPECT_TRUE(view_.visible[on]) << static_cast<int>(on);
        for (ProgToolControl off :
             {ProgToolControl::ProgramGroup, ProgToolControl::ProgramPathField,
              ProgToolControl::ProgramButton, ProgToolControl::ProgramFileButton,
              ProgToolControl::ConvertButton, ProgToolControl::BackupFirst})
            EXPECT_FALSE(view_.visible[off]) << static_cast<int>(off);
        EXPECT_EQ(view_.enabled[ProgToolControl::WriteEepromButton], c.writeEnabled != 0);
        EXPECT_TRUE(view_.enabled[ProgToolControl::ReadEepromButton]);
        tool_.reset();
    }
}

TEST_F(ProgToolTest, BusyDisablesTheButtonsAndCloseButNotTheSettings) {
    EepromWriteEnabled = 1;
    ProgTool& tool = Init();
    tool.ShowSoftwareUpdate();
    ChooseRow(13);  // manual start: the procedure starts without an open port
    WriteFileBytes(dir_ / "SolReg_fw.hex", kFirmwareHex);
    view_.screen.programFilePath = (dir_ / "SolReg_fw.hex").string();
    tool.OnProgram();
    ASSERT_EQ(UpdateStep, kStepBootPortOpen);

    for (ProgToolControl c :
         {ProgToolControl::ProgramButton, ProgToolControl::ProgramFileButton,
          ProgToolControl::ConvertButton, ProgToolControl::EepromFileButton,
          ProgToolControl::ReadEepromButton, ProgToolControl::WriteEepromButton,
          ProgToolControl::AnalyseButton, ProgToolControl::CloseButton})
        EXPECT_FALSE(view_.enabled[c]) << static_cast<int>(c);
    for (ProgToolControl c : {ProgToolControl::DeviceList, ProgToolControl::ManualStart,
                              ProgToolControl::ProgramPathField, ProgToolControl::EepromPathField})
        EXPECT_EQ(view_.enabled.count(c), 0u) << static_cast<int>(c);

    // The other layout while busy: the procedure goes on, Write EEPROM is enabled by the
    // layout and a click on it only says that a command is in progress.
    tool.ShowEepromTools();
    EXPECT_EQ(UpdateStep, kStepBootPortOpen);
    EXPECT_FALSE(view_.enabled[ProgToolControl::ReadEepromButton]);
    EXPECT_FALSE(view_.enabled[ProgToolControl::CloseButton]);
    EXPECT_TRUE(view_.enabled[ProgToolControl::WriteEepromButton]);
    shell_.log.clear();
    view_.screen.eepromFilePath = (dir_ / "SolReg_fw.hex").string();
    tool.OnWriteEeprom();
    EXPECT_THAT(shell_.log, ElementsAre("E> Command in Progress"));
    EXPECT_THAT(BoxTexts(), IsEmpty());

    tool.SetBusy(false);
    for (ProgToolControl c :
         {ProgToolControl::ProgramButton, ProgToolControl::ReadEepromButton,
          ProgToolControl::WriteEepromButton, ProgToolControl::CloseButton})
        EXPECT_TRUE(view_.enabled[c]) << static_cast<int>(c);
    EepromWriteEnabled = 0;
    tool.SetBusy(false);
    EXPECT_FALSE(view_.enabled[ProgToolControl::WriteEepromButton]);
}

TEST_F(ProgToolTest, WriteEepromStartsDisabledWithoutTheSwitches) {
    Init();
    EXPECT_FALSE(view_.enabled[ProgToolControl::WriteEepromButton]);
    EXPECT_TRUE(view_.enabled[ProgToolControl::CloseButton]);
}

TEST_F(ProgToolTest, CloseOnlyHides) {
    ProgTool& tool = Init();
    tool.ShowSoftwareUpdate();
    view_.screen.programFilePath = "/x/SolBed.npf";
    tool.OnClose();
    EXPECT_FALSE(view_.shown);
    EXPECT_TRUE(clock_.isRunning(tool.timerId()));
    tool.ShowSoftwareUpdate();
    EXPECT_EQ(view_.screen.programFilePath, "/x/SolBed.npf");
}

// ---- Program file browse and conversion

TEST_F(ProgToolTest, ProgramFileBrowseOffersHexFilesOnlyInTechnicianMode) {
    for (int32_t offer : {0, 1}) {
        OfferHexFiles = offer;
        view_ = RecordingView{};
        ProgTool& tool = Init();
        view_.screen.programFilePath = "/old/SolBed.npf";
        view_.answers = {std::string("/new/SolBed_v3.npf")};
        tool.OnProgramFile();
        ASSERT_EQ(view_.dialogs.size(), 1u);
        EXPECT_EQ(view_.dialogs[0].title, "Select Program File");
        EXPECT_EQ(view_.dialogs[0].initialPath, "/old/SolBed.npf");
        EXPECT_EQ(view_.dialogs[0].choice, FileChoice::Existing);
        EXPECT_EQ(view_.dialogs[0].filter,
                  offer ? "All Program Files (*.npf; *.hex)|*.npf; *.hex|Norvix Program Files "
                          "(*.npf)|*.npf|Intel Program Files (*.hex)|*.hex|All Files (*.*)|*.*||"
                        : "Norvix Program Files (*.npf)|*.npf|Intel Program Files "
                          "(*.hex)|*.hex|All Files (*.*)|*.*||");
        EXPECT_EQ(view_.screen.programFilePath, "/new/SolBed_v3.npf");
        EXPECT_EQ(tool.programPath(), "/new/SolBed_v3.npf");

        view_.answers = {std::nullopt};
        tool.OnProgramFile();
        EXPECT_EQ(view_.screen.programFilePath, "/new/SolBed_v3.npf");
        tool_.reset();
    }
}

TEST_F(ProgToolTest, ConvertWritesTheScrambledFileBesideTheHexFile) {
    ProgTool& tool = Init();
    WriteFileBytes(dir_ / "x.hex", kFirmwareHex);
    view_.screen.programFilePath = (dir_ / "x.hex").string();
    tool.OnConvertHexToNpf();
    ASSERT_TRUE(fs::exists(dir_ / "x.npf"));
    const std::string npf = ReadFileBytes(dir_ / "x.npf");
    EXPECT_EQ(npf.substr(0, 19), ":030000008B0E90D4\r\n");
    EXPECT_EQ(npf.substr(npf.size() - 13), ":00000001FF\r\n");
    EXPECT_THAT(shell_.log, IsEmpty());
    EXPECT_THAT(BoxTexts(), IsEmpty());
    EXPECT_TRUE(view_.enabled[ProgToolControl::ConvertButton]);
}

struct ExtensionCase {
    const char* name;
    bool converts;
};

TEST_F(ProgToolTest, ConvertComparesThreeCharactersAfterTheLastDot) {
    const ExtensionCase cases[] = {
        {"a.HEXA", true}, {"b.Hex", true}, {"c.npf", false}, {"d.hx", false}, {"e", false},
        {"f.hex.bak", false},
    };
    ProgTool& tool = Init();
    for (const ExtensionCase& c : cases) {
        boxes_.shown.clear();
        WriteFileBytes(dir_ / c.name, kFirmwareHex);
        view_.screen.programFilePath = (dir_ / c.name).string();
        tool.OnConvertHexToNpf();
        if (c.converts) {
            EXPECT_THAT(BoxTexts(), IsEmpty()) << c.name;
            EXPECT_TRUE(fs::exists(NpfOutputPath((dir_ / c.name).string()))) << c.name;
        } else {
            ASSERT_EQ(boxes_.shown.size(), 1u) << c.name;
            EXPECT_EQ(boxes_.shown[0].text, "File extension not ok!");
            EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Exclamation);
        }
    }
    EXPECT_FALSE(fs::exists(dir_ / "c.npf.npf"));
}

TEST_F(ProgToolTest, ConvertRefusesMissingAndDamagedFiles) {
    ProgTool& tool = Init();
    view_.screen.programFilePath = (dir_ / "gone.hex").string();
    tool.OnConvertHexToNpf();
    EXPECT_THAT(shell_.log, ElementsAre("E> Program file not found"));

    WriteFileBytes(dir_ / "bad.hex", ":03000000010203F7\n:0400030010203040FF\n:00000001FF\n");
    view_.screen.programFilePath = (dir_ / "bad.hex").string();
    tool.OnConvertHexToNpf();
    EXPECT_THAT(BoxTexts(), ElementsAre("Program file damaged, line 2"));
    EXPECT_FALSE(fs::exists(dir_ / "bad.npf"));
    EXPECT_TRUE(view_.enabled[ProgToolControl::ProgramButton]);
}

// ---- Program command, preparation

TEST_F(ProgToolTest, ProgramNeedsADeviceAndAMatchingName) {
    ProgTool& tool = Init();
    WriteFileBytes(dir_ / "solbed_v3.npf", kFirmwareHex);
    WriteFileBytes(dir_ / "panel_solbed.npf", kFirmwareHex);
    view_.screen.programFilePath = (dir_ / "solbed_v3.npf").string();
    tool.OnProgram();
    EXPECT_THAT(shell_.log, ElementsAre("E> No device set"));

    ChooseRow(3);  // key SolBed
    shell_.log.clear();
    view_.screen.programFilePath = (dir_ / "panel_solbed.npf").string();
    tool.OnProgram();
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text,
              "Filename does not match device typ!\r\nThe file name must begin with SolBed.");
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::None);
    EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    EXPECT_THAT(shell_.log, IsEmpty());

    // A fitting name gets past the rule; the closed port stops it after temp.ntf is made, and
    // the work file goes with the procedure that did not start.
    view_.screen.programFilePath = (dir_ / "solbed_v3.npf").string();
    tool.OnProgram();
    EXPECT_EQ(boxes_.shown.size(), 1u);
    EXPECT_THAT(shell_.log, ElementsAre("E> COM Port NOT Open"));
    EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    EXPECT_EQ(UpdateStep, kStepIdle);

    // No separator at all: matched from the first character.
    std::error_code ec;
    fs::current_path(dir_, ec);
    ASSERT_FALSE(ec);
    view_.screen.programFilePath = "solbed_v3.npf";
    shell_.log.clear();
    tool.OnProgram();
    EXPECT_THAT(shell_.log, ElementsAre("E> COM Port NOT Open"));
    fs::current_path(NVX_BINARY_DIR);
}

TEST_F(ProgToolTest, ProgrammingAConvertedFileHandsTheOriginalRecordsToTheProgrammer) {
    ProgTool& tool = Init();
    ChooseRow(3);
    WriteFileBytes(dir_ / "SolBed_x.hex", kFirmwareHex);
    view_.screen.programFilePath = (dir_ / "SolBed_x.hex").string();
    tool.OnConvertHexToNpf();
    view_.screen.programFilePath = (dir_ / "SolBed_x.npf").string();
    shell_.opens = true;
    ComPortState = kComPortOpen;
    tool.OnProgram();
    ASSERT_FALSE(tool.IsIdle());
    EXPECT_EQ(WithoutCarriageReturns(ReadFileBytes(dir_ / "temp.ntf")), kFirmwareHex);
    EXPECT_NE(ReadFileBytes(dir_ / "SolBed_x.npf").substr(0, 17), ":03000000010203F7");
}

TEST_F(ProgToolTest, ProgrammingRefusesADamagedFileAndWritesNothing) {
    ProgTool& tool = Init();
    ChooseRow(3);
    WriteFileBytes(dir_ / "temp.ntf", "older image\r\n");
    WriteFileBytes(dir_ / "SolBed.hex", ":03000000010203F7\n:00000001FE\n");
    view_.screen.programFilePath = (dir_ / "SolBed.hex").string();
    shell_.opens = true;
    ComPortState = kComPortOpen;
    tool.OnProgram();
    EXPECT_THAT(shell_.log, ElementsAre("E> Program file damaged, line 2"));
    // Nothing of the damaged file reached the programmer's file; an earlier run's is gone too.
    EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    EXPECT_EQ(UpdateStep, kStepIdle);

    view_.screen.programFilePath = (dir_ / "SolBed_missing.hex").string();
    shell_.log.clear();
    tool.OnProgram();
    EXPECT_THAT(shell_.log, ElementsAre("E> Program file not found"));
}

TEST_F(ProgToolTest, CommandsWhileAProcedureRunsOnlyReportIt) {
    ProgTool& tool = Init();
    ChooseRow(13);
    WriteFileBytes(dir_ / "SolReg.hex", kFirmwareHex);
    view_.screen.programFilePath = (dir_ / "SolReg.hex").string();
    view_.screen.eepromFilePath = (dir_ / "SolReg.hex").string();
    tool.OnProgram();
    ASSERT_FALSE(tool.IsIdle());
    shell_.log.clear();
    tool.OnProgram();
    tool.OnConvertHexToNpf();
    tool.OnReadEeprom();
    tool.OnWriteEeprom();
    tool.OnAnalyseErrorMemory();
    EXPECT_EQ(shell_.log, std::vector<std::string>(5, "E> Command in Progress"));
    EXPECT_THAT(view_.errorMemory, IsEmpty());
    EXPECT_FALSE(fs::exists(dir_ / "SolReg.npf"));
}

// ---- EEPROM commands

struct EepromBrowseCase {
    const char* chosen;
    const char* stored;
};

TEST_F(ProgToolTest, EepromBrowseAppendsHexOnlyToPathsWithoutADot) {
    const EepromBrowseCase cases[] = {
        {"/data/image", "/data/image.hex"},
        {"/data/image.bin", "/data/image.bin"},
        {"/my.files/image", "/my.files/image"},
    };
    ProgTool& tool = Init();
    for (const EepromBrowseCase& c : cases) {
        view_.answers = {std::string(c.chosen)};
        tool.OnEepromFile();
        EXPECT_EQ(view_.screen.eepromFilePath, c.stored);
    }
    ASSERT_EQ(view_.dialogs.size(), 3u);
    EXPECT_EQ(view_.dialogs[0].title, "Select EEPROM File");
    // The file a read is to create is not there yet.
    EXPECT_EQ(view_.dialogs[0].choice, FileChoice::ExistingOrNew);
    EXPECT_EQ(view_.dialogs[0].filter, "Intel Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||");
    EXPECT_EQ(view_.dialogs[2].initialPath, "/data/image.bin");

    view_.answers = {std::nullopt};
    tool.OnEepromFile();
    EXPECT_EQ(view_.screen.eepromFilePath, "/my.files/image");
    // A typed path is used as typed.
    view_.screen.eepromFilePath = (dir_ / "typed").string();
    ChooseRow(3);
    tool.OnReadEeprom();
    EXPECT_EQ(tool.procedure().eepromFilePath, (dir_ / "typed").string());
}

TEST_F(ProgToolTest, EepromCommandsCheckDeviceAndFile) {
    ProgTool& tool = Init();
    view_.screen.eepromFilePath = (dir_ / "image.hex").string();
    tool.OnReadEeprom();
    tool.OnWriteEeprom();
    ChooseRow(3);
    view_.screen.eepromFilePath.clear();
    tool.OnReadEeprom();
    tool.OnWriteEeprom();
    tool.OnAnalyseErrorMemory();
    view_.screen.eepromFilePath = (dir_ / "image.hex").string();
    tool.OnWriteEeprom();
    tool.OnAnalyseErrorMemory();
    EXPECT_THAT(shell_.log,
                ElementsAre("E> No device set", "E> No device set", "E> EEPROM file not defined",
                            "E> EEPROM file not defined", "E> EEPROM file not defined",
                            "E> cannot open EEPROM file", "E> cannot open EEPROM file"));
    EXPECT_THAT(BoxTexts(), IsEmpty());
    EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));
}

TEST_F(ProgToolTest, WriteEepromAsksFirstAndCopiesTheImage) {
    ProgTool& tool = Init();
    ChooseRow(3);
    const std::string image = ":0100000042BD\r\n:00000001FF\r\n";
    WriteFileBytes(dir_ / "image.hex", image);
    view_.screen.eepromFilePath = (dir_ / "image.hex").string();

    boxes_.answers = {MessageAnswer::Cancel};
    tool.OnWriteEeprom();
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text,
              "Writing data to EEPROM may cause unproper system behaviour.\r\n\r\n"
              "        ***** YOU PROCEED ON YOUR OWN RISK!!! *****");
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Question);
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::OkCancel);
    EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));
    EXPECT_THAT(shell_.log, IsEmpty());

    // OK with the port closed: temp.hex is made, then the start rule refuses and removes it.
    tool.OnWriteEeprom();
    EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));
    EXPECT_THAT(shell_.log, ElementsAre("E> COM Port NOT Open"));
    EXPECT_EQ(UpdateStep, kStepIdle);

    // With the port open the procedure starts on the copy.
    shell_.opens = true;
    ComPortState = kComPortOpen;
    tool.OnWriteEeprom();
    ASSERT_NE(UpdateStep, kStepIdle);
    EXPECT_EQ(ReadFileBytes(dir_ / "temp.hex"), image);
}

// The programmer would refuse these only after the device had been put into its bootloader.
TEST_F(ProgToolTest, AnEepromImageThatCannotBeWrittenWholeIsRefusedBeforeTheDeviceIsTouched) {
    struct Case {
        const char* name;
        std::string image;
        const char* line;
    };
    const std::string end = ":00000001FF\r\n";
    std::string fourKilobytes;
    for (uint32_t at = 0; at < 4096; at += 16)
        fourKilobytes += Format(":10%04X00", at) + std::string(32, '0') +
                         Format("%02X\r\n", (0x100 - ((0x10 + (at >> 8) + (at & 0xFF)) & 0xFF)) & 0xFF);
    const Case cases[] = {
        {"empty", "", "E> EEPROM file refused: holds no data"},
        {"end record only", end, "E> EEPROM file refused: holds no data"},
        {"4 KB for a 2 KB EEPROM", fourKilobytes + end,
         "E> EEPROM file refused: does not fit ATmega64: ends at 0xFFF, EEPROM ends at 0x7FF"},
        {"one byte past the end", ":0107FF0042B7\r\n:01080000FFF8\r\n" + end,
         "E> EEPROM file refused: does not fit ATmega64: ends at 0x800, EEPROM ends at 0x7FF"},
        {"unknown record type", ":0100000042BD\r\n:020000090102F2\r\n" + end,
         "E> EEPROM file refused: record of unknown type 09, line 2"},
        {"damaged record", ":0100000042BE\r\n" + end, "E> EEPROM file refused: line 1: checksum wrong"},
        {"cut short", ":0100000042BD\r\n", "E> EEPROM file refused: incomplete: no end-of-file record"},
    };
    ProgTool& tool = Init();
    ChooseRow(3);  // ATmega64: 2 KB of EEPROM
    shell_.opens = true;
    ComPortState = kComPortOpen;
    view_.screen.eepromFilePath = (dir_ / "image.hex").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        shell_.log.clear();
        WriteFileBytes(dir_ / "image.hex", c.image);
        tool.OnWriteEeprom();
        EXPECT_THAT(shell_.log, ElementsAre(c.line));
        EXPECT_EQ(UpdateStep, kStepIdle);
        EXPECT_EQ(ProgOperation, kOperationNone);
        EXPECT_TRUE(runner_.started.empty());
        EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));
    }
    // The last byte of the EEPROM is fine.
    shell_.log.clear();
    WriteFileBytes(dir_ / "image.hex", ":0107FF0042B7\r\n" + end);
    tool.OnWriteEeprom();
    EXPECT_THAT(shell_.log, IsEmpty());
    EXPECT_NE(UpdateStep, kStepIdle);
}

TEST_F(ProgToolTest, AFileToWriteThatIsNoRegularFileIsRefusedWithoutWaitingOnIt) {
    ProgTool& tool = Init();
    ChooseRow(3);  // SolBed
    shell_.opens = true;
    ComPortState = kComPortOpen;
    ASSERT_EQ(::mkfifo((dir_ / "SolBed_fifo.hex").c_str(), 0600), 0);
    fs::create_directory(dir_ / "SolBed_dir.hex");
    fs::create_symlink("/dev/zero", dir_ / "SolBed_zero.hex");
    for (const char* name : {"SolBed_fifo.hex", "SolBed_dir.hex", "SolBed_zero.hex"}) {
        SCOPED_TRACE(name);
        shell_.log.clear();
        view_.screen.programFilePath = (dir_ / name).string();
        tool.OnProgram();
        EXPECT_THAT(shell_.log, ElementsAre("E> Program file is not a regular file"));
        shell_.log.clear();
        view_.screen.eepromFilePath = (dir_ / name).string();
        tool.OnWriteEeprom();
        EXPECT_THAT(shell_.log, ElementsAre("E> cannot open EEPROM file: " + (dir_ / name).string() +
                                            ": not a regular file"));
        EXPECT_EQ(UpdateStep, kStepIdle);
        EXPECT_TRUE(runner_.started.empty());
    }
}

TEST_F(ProgToolTest, AnEepromReadIntoANameTheFileSystemRefusesDoesNotStart) {
    ProgTool& tool = Init();
    ChooseRow(3);
    shell_.opens = true;
    ComPortState = kComPortOpen;
    const std::string name = (dir_ / std::string(NAME_MAX + 1, 'e')).string();
    view_.screen.eepromFilePath = name;
    tool.OnReadEeprom();
    EXPECT_THAT(shell_.log, ElementsAre("E> cannot open EEPROM file: " + name + ": File name too long"));
    EXPECT_EQ(UpdateStep, kStepIdle);
    EXPECT_TRUE(runner_.started.empty());
}

TEST_F(ProgToolTest, AnalyseOpensTheErrorMemoryWithTheRowShown) {
    ProgTool& tool = Init();
    WriteFileBytes(dir_ / "image.hex", ":00000001FF\r\n");
    view_.screen.eepromFilePath = (dir_ / "image.hex").string();
    tool.OnAnalyseErrorMemory();
    ChooseRow(16);
    tool.OnAnalyseErrorMemory();
    ASSERT_EQ(view_.errorMemory.size(), 2u);
    EXPECT_EQ(view_.errorMemory[0], std::make_pair((dir_ / "image.hex").string(), 0));
    EXPECT_EQ(view_.errorMemory[1].second, 16);
    EXPECT_THAT(shell_.log, IsEmpty());
}

// ---- Work files: one procedure at a time in the start directory, never the user's file

constexpr const char* kAnotherUpdate = "E> Another update is running in this directory";

class WorkFileTest : public ProgToolTest {
protected:
    // Row 3 chosen, the port open, a firmware and an EEPROM image at hand.
    ProgTool& Ready() {
        ProgTool& tool = Init();
        ChooseRow(3);
        shell_.opens = true;
        ComPortState = kComPortOpen;
        WriteFileBytes(dir_ / "SolBed_fw.hex", kFirmwareHex);
        WriteFileBytes(dir_ / "image.hex", ":00000001FF\r\n");
        view_.screen.programFilePath = (dir_ / "SolBed_fw.hex").string();
        view_.screen.eepromFilePath = (dir_ / "image.hex").string();
        return tool;
    }
    // Program, Read EEPROM and Write EEPROM (confirmed), one after the other.
    void TryEveryCommand(ProgTool& tool) {
        tool.OnProgram();
        tool.OnReadEeprom();
        boxes_.answers = {MessageAnswer::Ok};
        tool.OnWriteEeprom();
    }
    std::string LockPath() const { return (dir_ / kWorkLockFileName).string(); }
};

TEST_F(WorkFileTest, ASecondProcedureIsRefusedBeforeAnythingIsSent) {
    ProgTool& tool = Ready();
    // Another monitor in the same directory, mid-update, with its work files.
    WriteFileBytes(dir_ / "temp.ntf", "other image\r\n");
    WriteFileBytes(dir_ / "temp.hex", "other eeprom\r\n");
    DirectoryLock other(LockPath());
    std::string error;
    ASSERT_TRUE(other.TryAcquire(error)) << error;

    TryEveryCommand(tool);
    EXPECT_THAT(shell_.log, ElementsAre(kAnotherUpdate, kAnotherUpdate, kAnotherUpdate));
    EXPECT_EQ(UpdateStep, kStepIdle);
    EXPECT_EQ(ProgOperation, kOperationNone);
    tool.OnTimer();
    EXPECT_EQ(tool.procedure().requestState(), kUpdateRequestIdle);
    EXPECT_TRUE(runner_.started.empty());
    EXPECT_EQ(ReadFileBytes(dir_ / "temp.ntf"), "other image\r\n");
    EXPECT_EQ(ReadFileBytes(dir_ / "temp.hex"), "other eeprom\r\n");
    EXPECT_TRUE(view_.enabled[ProgToolControl::ProgramButton]);

    // Once the other has ended, the same command starts.
    other.Release();
    shell_.log.clear();
    tool.OnProgram();
    EXPECT_FALSE(tool.IsIdle());
    EXPECT_THAT(shell_.log, IsEmpty());
}

TEST_F(WorkFileTest, AProcedureHoldsTheLockUntilItEndsAndLeavesNoWorkFile) {
    ProgTool& tool = Ready();
    tool.OnProgram();
    ASSERT_FALSE(tool.IsIdle());
    EXPECT_TRUE(fs::exists(dir_ / "temp.ntf"));
    DirectoryLock second(LockPath());
    std::string error;
    EXPECT_FALSE(second.TryAcquire(error));

    // Interrupted before its first request: it ends at once, and nothing reached the engine.
    tool.RequestAbort();
    tool.OnTimer();
    EXPECT_EQ(UpdateStep, kStepIdle);
    EXPECT_THAT(shell_.log, ElementsAre("E> Update aborted"));
    EXPECT_EQ(tool.procedure().requestState(), kUpdateRequestIdle);
    EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    EXPECT_FALSE(fs::exists(LockPath())) << "the lock file goes with its procedure";
    EXPECT_TRUE(second.TryAcquire(error)) << error;
}

TEST_F(WorkFileTest, ALockThatCannotBeTakenSaysWhyAndIsNoOtherUpdate) {
    ProgTool& tool = Ready();
    // A directory in the lock file's place: it can be made by nobody, root included.
    fs::create_directory(LockPath());
    TryEveryCommand(tool);
    ASSERT_EQ(shell_.log.size(), 3u);
    for (const std::string& line : shell_.log)
        EXPECT_EQ(line, "E> Work files cannot be locked: " + LockPath() + ": Is a directory");
    EXPECT_EQ(UpdateStep, kStepIdle);
    EXPECT_TRUE(runner_.started.empty());
}

TEST_F(WorkFileTest, ALockLeftByAProcessThatDiedNeverBlocks) {
    ProgTool& tool = Ready();
    // A process takes the lock and is killed while holding it.
    const std::string path = LockPath();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
        if (fd >= 0 && ::flock(fd, LOCK_EX) == 0) (void)!::write(ready[1], "x", 1);
        for (;;) ::pause();
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    tool.OnProgram();
    EXPECT_THAT(shell_.log, ElementsAre(kAnotherUpdate));

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ASSERT_TRUE(fs::exists(path));
    shell_.log.clear();
    tool.OnProgram();
    EXPECT_FALSE(tool.IsIdle());
    EXPECT_THAT(shell_.log, IsEmpty());
}

TEST_F(WorkFileTest, AUsersFileThatIsAWorkFileIsRefusedAndKept) {
    ProgTool& tool = Ready();
    WriteFileBytes(dir_ / "temp.hex", "user's eeprom\r\n");
    WriteFileBytes(dir_ / "temp.ntf", "user's firmware\r\n");
    fs::create_directory(dir_ / "sub");
    // The EEPROM file by a roundabout path, the firmware through a link with a fitting name.
    view_.screen.eepromFilePath = (dir_ / "sub" / ".." / "temp.hex").string();
    fs::create_symlink(dir_ / "temp.ntf", dir_ / "SolBed_link.hex");
    view_.screen.programFilePath = (dir_ / "SolBed_link.hex").string();

    TryEveryCommand(tool);
    EXPECT_THAT(shell_.log, ElementsAre("E> Work file of the programmer chosen: temp.ntf",
                                        "E> Work file of the programmer chosen: temp.hex",
                                        "E> Work file of the programmer chosen: temp.hex"));
    EXPECT_EQ(UpdateStep, kStepIdle);
    EXPECT_EQ(ReadFileBytes(dir_ / "temp.hex"), "user's eeprom\r\n");
    EXPECT_EQ(ReadFileBytes(dir_ / "temp.ntf"), "user's firmware\r\n");

    // A refused command holds no lock: another procedure may start.
    DirectoryLock next(LockPath());
    std::string error;
    EXPECT_TRUE(next.TryAcquire(error)) << error;
}

}  // namespace
}  // namespace nvx::test
