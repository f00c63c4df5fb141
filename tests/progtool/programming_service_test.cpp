// The Programming Tool's procedures without a window, as nvx runs them: the device it accepts,
// the options that drive a command, and what an observer is told.

#include <gmock/gmock.h>

#include "prog_tool_fixture.h"
#include "progtool/device_catalogue.h"
#include "progtool/device_description.h"
#include "progtool/programming_service.h"

namespace nvx::test {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class RecordingObserver : public ProgrammingObserver {
public:
    void SetBusy(bool b) override { busy.push_back(b); }
    void ShowProgrammerProgress(int percent) override { progress.push_back(percent); }
    void ShowProgrammerStep(const std::string& step) override { steps.push_back(step); }

    std::vector<bool> busy;
    std::vector<int> progress;
    std::vector<std::string> steps;
};

class ProgrammingServiceTest : public ProgToolTest {
protected:
    ProgrammingService& Open() {
        service_ = std::make_unique<ProgrammingService>(clock_, shell_, observer_);
        service_->Open();
        return *service_;
    }

    RecordingObserver observer_;
    std::unique_ptr<ProgrammingService> service_;
};

TEST_F(ProgrammingServiceTest, AcceptsOnlyARowWhoseDeviceItCanProgram) {
    struct Case {
        const char* name;
        int32_t row;
        bool descriptionGone;
        bool accepted;
        int32_t acceptedRow;  // afterwards; row 10 was accepted before
        bool boxShown;
    };
    const Case cases[] = {
        {"a device", 3, false, true, 3, false},
        {"the same device again", 10, false, true, 10, false},
        {"a heading", 9, false, false, kNoDeviceRow, false},
        {"past the list", 35, false, false, kNoDeviceRow, false},
        {"a device without its description", 3, true, false, 10, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgrammingService& service = Open();
        ASSERT_TRUE(service.SelectDevice(10));
        const fs::path description =
            dir_ / DeviceDescriptionFileName(DeviceRowEntry(3)->chip);
        const std::string kept = ReadFileBytes(description);
        if (c.descriptionGone) fs::remove(description);
        boxes_.shown.clear();
        observer_.progress.clear();

        EXPECT_EQ(service.SelectDevice(c.row), c.accepted);
        EXPECT_EQ(service.acceptedRow(), c.acceptedRow);
        EXPECT_EQ(g_deviceSelection.deviceCode != 0, c.acceptedRow != kNoDeviceRow);
        EXPECT_EQ(BoxTexts(), c.boxShown ? std::vector<std::string>{kNoDescriptionText}
                                         : std::vector<std::string>{});
        // The bar starts afresh only for another device.
        EXPECT_EQ(observer_.progress, c.acceptedRow != 10 ? std::vector<int>{0}
                                                          : std::vector<int>{});
        WriteFileBytes(description, kept);
    }
}

TEST_F(ProgrammingServiceTest, ACommandIsRefusedWithItsLineAndNoOutcome) {
    struct Case {
        const char* name;
        bool deviceChosen;
        bool (ProgrammingService::*command)(const ProgrammingOptions&);
        const char* file;  // in the scratch directory; empty: none given
        const char* line;
    };
    const Case cases[] = {
        {"no device", false, &ProgrammingService::Program, "SolBed_fw.hex",
         "E> No device set"},
        {"no image named", true, &ProgrammingService::ReadEeprom, "",
         "E> EEPROM file not defined"},
        {"no image there", true, &ProgrammingService::WriteEeprom, "missing.hex",
         "E> cannot open EEPROM file"},
        {"no firmware there", true, &ProgrammingService::Program, "SolBed_missing.hex",
         "E> Program file not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgrammingService& service = Open();
        if (c.deviceChosen) {
            ASSERT_TRUE(service.SelectDevice(3));
        }
        shell_.log.clear();
        ProgrammingOptions options;
        if (*c.file != '\0') options.file = (dir_ / c.file).string();

        EXPECT_FALSE((service.*c.command)(options));
        EXPECT_THAT(shell_.log, ElementsAre(c.line));
        EXPECT_TRUE(service.IsIdle());
        EXPECT_EQ(service.outcome().kind, ProcedureOutcome::Kind::None);
        EXPECT_THAT(observer_.busy, IsEmpty());
        g_deviceSelection = DeviceSelection{};
    }
}

// The work files go to the directory the options name, never to the start directory, and an
// abort ends the command there with its outcome.
TEST_F(ProgrammingServiceTest, ACommandWorksInItsWorkDirectoryAndEndsWithItsOutcome) {
    ProgrammingService& service = Open();
    ASSERT_TRUE(service.SelectDevice(3));
    ComPortState = kComPortOpen;
    WriteFileBytes(dir_ / "SolBed_fw.hex", ":03000000010203F7\n:00000001FF\n");
    const fs::path work = dir_ / "work";
    fs::create_directories(work);
    ProgrammingOptions options;
    options.file = (dir_ / "SolBed_fw.hex").string();
    options.workDirectory = work.string() + "/";

    ASSERT_TRUE(service.Program(options));
    EXPECT_FALSE(service.IsIdle());
    EXPECT_TRUE(fs::exists(work / kFlashTempFileName));
    EXPECT_FALSE(fs::exists(dir_ / kFlashTempFileName));
    EXPECT_THAT(observer_.busy, ElementsAre(true));
    // A second command while it runs is refused and leaves it running.
    EXPECT_FALSE(service.Program(options));
    EXPECT_THAT(shell_.log, ElementsAre("E> Command in Progress"));

    service.RequestAbort();
    clock_.advance(g_tickPeriodMs);
    EXPECT_TRUE(service.IsIdle());
    EXPECT_EQ(service.outcome().kind, ProcedureOutcome::Kind::Aborted);
    EXPECT_EQ(shell_.log.back(), "E> Update aborted");
    ASSERT_THAT(observer_.busy, testing::Contains(false));
    EXPECT_FALSE(observer_.busy.back());
    EXPECT_FALSE(fs::exists(work / kFlashTempFileName));
    EXPECT_TRUE(runner_.started.empty());
}

}  // namespace
}  // namespace nvx::test
