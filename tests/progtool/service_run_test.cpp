// The service record around the Programming Tool's procedures under virtual time: the versions
// read before and after an update, the EEPROM backup first, and the journal line of each run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "journal/service_journal.h"
#include "platform/sha256.h"
#include "sim/frame_codec.h"
#include "support/scratch_files.h"
#include "update_harness.h"

namespace nvx::test {
namespace {

using ::testing::ElementsAre;

constexpr const char* kEepromImage = ":04000000DEADBEEFC4\r\n:00000001FF\r\n";

class ServiceRunTest : public DeviceUpdate {
  protected:
    void SetUp() override { SetProcessRunner(&runner_); }

    std::vector<JournalRecord> Journal() const {
        const JournalContents contents = ParseJournal(ReadFileBytes(dir_ / kJournalFileName));
        EXPECT_TRUE(contents.warnings.empty());
        return contents.records;
    }

    // The programmer's part: a read leaves an image in temp.hex when readsWork.
    void PlayProgrammer(bool readsWork) {
        runner_.onStart = [this, readsWork](const ProcessSpec& launch) {
            const auto& args = launch.arguments;
            if (readsWork && std::find(args.begin(), args.end(), "-oetemp.hex") != args.end())
                WriteFileBytes(dir_ / "temp.hex", kEepromImage);
        };
    }
};

TEST_F(ServiceRunTest, ADirectRowHasItsVersionsLoggedAndJournalled) {
    Connect(3);
    view_.screen.checkVersions = 1;
    UseFirmware("SolBed_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    // Nothing wrote the flash, so the build stays.
    EXPECT_THAT(log().NewestFirst(),
                ElementsAre("I> Now: Application V 2.7, Build 12-14", "I> Update finished",
                            " > Device restarted", " > Leaving Program Mode", " > Bootloader activ",
                            " > Bootloader started", "I> Before: Application V 2.7, Build 12-14"));
    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].device, "green Display");
    EXPECT_EQ(journal[0].operation, "firmware update");
    EXPECT_EQ(journal[0].file, (dir_ / "SolBed_fw.hex").string());
    EXPECT_EQ(journal[0].sha256, Sha256Hex(kSolBedFirmware));
    EXPECT_EQ(journal[0].versionBefore, "Application V 2.7, Build 12-14");
    EXPECT_EQ(journal[0].versionAfter, "Application V 2.7, Build 12-14");
    EXPECT_EQ(journal[0].outcome, "I> Update finished");
    EXPECT_TRUE(view_.enabled[ProgToolControl::ProgramButton]);
}

TEST_F(ServiceRunTest, ARoutedRowSaysItsVersionsCannotBeChecked) {
    Connect(10);
    view_.screen.checkVersions = 1;
    UseFirmware("SolReg_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(log().log.front(), " > Version check not available for routed devices");
    EXPECT_EQ(log().log.back(), "I> Update finished");
    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].versionBefore, "");
    EXPECT_EQ(journal[0].versionAfter, "");
}

TEST_F(ServiceRunTest, AVersionNotReadAfterTheUpdateLeavesItsOutcome) {
    Connect(3);
    view_.screen.checkVersions = 1;
    runner_.onStart = [&](const ProcessSpec&) {
        sim::Faults faults;
        faults.dropReply = sim::FaultRate::Always();
        device().setFaults(faults);
    };
    UseFirmware("SolBed_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(log().NewestFirst(),
                ElementsAre("E> Version after update not read", "I> Update finished",
                            " > Device restarted", " > Leaving Program Mode", " > Bootloader activ",
                            " > Bootloader started", "I> Before: Application V 2.7, Build 12-14"));
    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].versionAfter, "");
    EXPECT_EQ(journal[0].outcome, "I> Update finished");
}

TEST_F(ServiceRunTest, ABackupComesFirstAndIsKeptUnderItsOwnName) {
    Connect(3);
    view_.screen.checkVersions = 1;
    PlayProgrammer(true);
    UseFirmware("SolBed_fw.hex");
    view_.screen.backupFirst = 1;
    Program();
    ASSERT_TRUE(RunToIdle());
    ASSERT_EQ(runner_.started.size(), 2u);
    EXPECT_THAT(runner_.started[0].arguments, ::testing::Contains("-oetemp.hex"));
    EXPECT_THAT(runner_.started[1].arguments, ::testing::Contains("-iftemp.ntf"));
    const std::vector<std::string> backups = FileNames(dir_ / "backup");
    ASSERT_EQ(backups.size(), 1u);
    const std::string kept = "backup/" + backups[0];
    EXPECT_EQ(kept.rfind("backup/SolBed-", 0), 0u) << kept;
    EXPECT_EQ(kept.size(), std::string("backup/SolBed-20261210-170255.hex").size()) << kept;
    EXPECT_EQ(ReadFileBytes(dir_ / kept), kEepromImage);
    EXPECT_EQ(tool_->serviceRun().backupFile(), kept);
    EXPECT_EQ(log().log.back(), "I> Now: Application V 2.7, Build 12-14");

    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].operation, "EEPROM read");
    EXPECT_EQ(journal[0].file, kept);
    EXPECT_EQ(journal[0].sha256, Sha256Hex(kEepromImage));
    EXPECT_EQ(journal[1].operation, "firmware update");
    EXPECT_EQ(journal[1].outcome, "I> Update finished");

    // A second backup never replaces the first.
    log().Clear();
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(FileNames(dir_ / "backup").size(), 2u);
    EXPECT_EQ(ReadFileBytes(dir_ / kept), kEepromImage);
}

TEST_F(ServiceRunTest, AFailedBackupRefusesTheUpdateAndLeavesTheDeviceRunning) {
    Connect(3);
    PlayProgrammer(false);
    UseFirmware("SolBed_fw.hex");
    view_.screen.backupFirst = 1;
    Program();
    ASSERT_TRUE(RunToIdle());
    ASSERT_EQ(runner_.started.size(), 1u) << "the flash programmer never ran";
    EXPECT_EQ(log().log.back(), "E> Update not started: EEPROM backup failed");
    EXPECT_NE(std::find(log().log.begin(), log().log.end(), "E> Read Process aborted"),
              log().log.end());
    EXPECT_FALSE(device().inBootloader());
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_EQ(FileNames(dir_ / "backup"), std::vector<std::string>{})
        << "nothing half-made is left";
    EXPECT_EQ(ProgOperation, kOperationNone);
    EXPECT_TRUE(tool_->IsIdle());
    EXPECT_TRUE(view_.enabled[ProgToolControl::ProgramButton]);
    const std::vector<JournalRecord> journal = Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].operation, "EEPROM read");
    EXPECT_EQ(journal[0].outcome, "E> Read Process aborted");
}

TEST_F(ServiceRunTest, ACommandWhileTheVersionIsAskedIsInProgress) {
    Connect(3);
    view_.screen.checkVersions = 1;
    UseFirmware("SolBed_fw.hex");
    tool_->OnProgram();
    ASSERT_EQ(UpdateStep, kStepIdle);
    ASSERT_FALSE(tool_->IsIdle());
    EXPECT_FALSE(view_.enabled[ProgToolControl::ProgramButton]);
    tool_->OnReadEeprom();
    EXPECT_EQ(log().log.back(), "E> Command in Progress");
    ASSERT_TRUE(RunToIdle());
}

// ---- What goes on the line and into the log, with the service record off and on

// The request frame as the device's own coder puts it on the wire.
std::string RequestBytes(uint16_t id, uint8_t first, uint8_t second) {
    sim::Frame frame;
    frame.id = id;
    frame.length = 2;
    frame.data = {first, second, 0, 0};
    return sim::HexBytes(sim::EncodeFrame(frame));
}

const std::string kBootloadStart = RequestBytes(0x0080, 0xFD, 0x00);
const std::string kVersionQuery = RequestBytes(0x0081, 0x02, 0x00);
// Escape three times and 'S', answered by "AVRBOOT"; 'E' leaves the bootloader.
const std::string kProbe = "1B 1B 1B 53";
const std::string kExit = "45";

struct RecordCase {
    const char* name;
    uint32_t operation;
    bool record;  // versions and backup asked for
    std::vector<std::string> wire;
    std::vector<std::string> log;  // oldest first; a line ending in '*' is matched up to it
};

class ServiceRecordOnTheWire : public DeviceUpdate,
                               public testing::WithParamInterface<RecordCase> {};

const std::vector<std::string> kProgramLines = {
    " > Bootloader started", " > Bootloader activ", " > Leaving Program Mode",
    " > Device restarted", "I> Update finished"};
const std::vector<std::string> kReadLines = {
    " > Bootloader started", " > Bootloader activ", " > Leaving EEPROM Read Mode",
    " > Device restarted", "I> Read Process finished"};
const std::vector<std::string> kWriteLines = {
    " > Bootloader started", " > Bootloader activ", " > Leaving EEPROM Program Mode",
    " > Device restarted", "I> Write Process finished"};

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_P(ServiceRecordOnTheWire, TheLineAndTheLogAreExactlyTheProceduresOwn) {
    const RecordCase& c = GetParam();
    Connect(3);
    const std::size_t lineBefore = device().bytesReceived().size();
    view_.screen.checkVersions = c.record ? 1 : 0;
    view_.screen.backupFirst = c.record ? 1 : 0;
    switch (c.operation) {
    case kOperationProgram:
        UseFirmware("SolBed_fw.hex");
        tool_->OnProgram();
        break;
    case kOperationEepromRead:
        view_.screen.eepromFilePath = (dir_ / "image.hex").string();
        tool_->OnReadEeprom();
        break;
    default:
        WriteFileBytes(dir_ / "image.hex", kEepromImage);
        view_.screen.eepromFilePath = (dir_ / "image.hex").string();
        tool_->OnWriteEeprom();
        break;
    }
    ASSERT_TRUE(RunToIdle());

    const std::deque<uint8_t>& line = device().bytesReceived();
    const std::vector<uint8_t> sent(line.begin() + static_cast<std::ptrdiff_t>(lineBefore),
                                    line.end());
    std::string wire;
    for (const std::string& part : c.wire) wire += (wire.empty() ? "" : " ") + part;
    EXPECT_EQ(sim::HexBytes(sent), wire);

    ASSERT_EQ(log().log.size(), c.log.size()) << testing::PrintToString(log().log);
    for (std::size_t i = 0; i < c.log.size(); ++i) {
        const std::string& want = c.log[i];
        if (!want.empty() && want.back() == '*')
            EXPECT_EQ(log().log[i].rfind(want.substr(0, want.size() - 1), 0), 0u) << log().log[i];
        else
            EXPECT_EQ(log().log[i], want);
    }
    EXPECT_FALSE(device().inBootloader());
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ServiceRecordOnTheWire,
    testing::Values(
        RecordCase{"UpdateRecordOff", kOperationProgram, false,
                   {kBootloadStart, kProbe, kExit}, kProgramLines},
        RecordCase{"EepromReadRecordOff", kOperationEepromRead, false,
                   {kBootloadStart, kProbe, kExit}, kReadLines},
        RecordCase{"EepromWriteRecordOff", kOperationEepromWrite, false,
                   {kBootloadStart, kProbe, kExit}, kWriteLines},
        // Versions around the update, the backup's whole procedure before it.
        RecordCase{"UpdateRecordOn", kOperationProgram, true,
                   {kVersionQuery, kBootloadStart, kProbe, kExit, kBootloadStart, kProbe, kExit,
                    kVersionQuery},
                   Joined({{"I> Before: Application V 2.7, Build 12-14"}, kReadLines,
                           {" > EEPROM backup in backup/SolBed-*"}, kProgramLines,
                           {"I> Now: Application V 2.7, Build 12-14"}})},
        // An EEPROM transfer has no versions or backup to go with it.
        RecordCase{"EepromReadRecordOn", kOperationEepromRead, true,
                   {kBootloadStart, kProbe, kExit}, kReadLines},
        RecordCase{"EepromWriteRecordOn", kOperationEepromWrite, true,
                   {kBootloadStart, kProbe, kExit}, kWriteLines}),
    [](const testing::TestParamInfo<RecordCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace nvx::test
