// How a procedure ended, as its starter reads it: the same verdict its log lines tell the
// technician, without the log.

#include <gmock/gmock.h>

#include "update_harness.h"

namespace nvx::test {
namespace {

using Kind = ProcedureOutcome::Kind;

struct OutcomeOfCase {
    const char* name;
    int row;
    const char* standIn;  // stand-in programmer settings; nullptr: it succeeds
    bool silentDevice;    // no reply to any request
    bool portClosed;      // the monitor's port closed before the command
    bool abortAtOnce;     // the user aborts before the first request
    const char* firmware; // nullptr: none chosen (the command is refused)
    Kind kind;
    const char* reason;
};

TEST_F(DeviceUpdate, TheOutcomeSaysHowTheUpdateEnded) {
    const OutcomeOfCase cases[] = {
        {"finished", 3, nullptr, false, false, false, "SolBed_fw.hex", Kind::Finished, ""},
        {"finished in a tunnel", 10, nullptr, false, false, false, "SolReg_fw.hex",
         Kind::Finished, ""},
        {"programmer failed", 3, "exit 3\n", false, false, false, "SolBed_fw.hex", Kind::Failed,
         "E> Command NorvixOSP: exit status 3"},
        {"no reply", 3, nullptr, true, false, false, "SolBed_fw.hex", Kind::Failed,
         "E> No Reply to API Command"},
        {"port closed", 3, nullptr, false, true, false, "SolBed_fw.hex", Kind::Failed,
         "E> COM Port NOT Open"},
        {"aborted", 3, nullptr, false, false, true, "SolBed_fw.hex", Kind::Aborted, ""},
        {"refused before the device", 3, nullptr, false, false, false, nullptr, Kind::None, ""},
    };
    for (const OutcomeOfCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Faults faults;
        if (c.silentDevice) faults.dropReply = sim::FaultRate::Always();
        Connect(c.row, faults);
        if (c.standIn) StandIn(c.standIn);
        if (c.firmware) UseFirmware(c.firmware);
        if (c.portClosed) shell_->CloseComPort();
        Program();
        if (c.abortAtOnce) tool_->RequestAbort();
        ASSERT_TRUE(RunToIdle());
        EXPECT_EQ(tool_->outcome().kind, c.kind);
        EXPECT_EQ(tool_->outcome().reason, c.reason);
        // The verdict agrees with the log: a finish line exactly when finished.
        const std::vector<std::string> lines = ProcedureLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "I> Update finished"),
                  c.kind == Kind::Finished ? 1 : 0);
    }
}

TEST_F(DeviceUpdate, AnEepromReadsOutcomeIsItsOwn) {
    Connect(3);
    StandIn("eeprom " + (fs::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image.hex").string() +
            "\n");
    const fs::path target = dir_ / "read" / "image.hex";
    fs::create_directories(target.parent_path());
    view_.screen.eepromFilePath = target.string();
    tool_->OnReadEeprom();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(tool_->outcome().kind, Kind::Finished);
    EXPECT_TRUE(fs::exists(target));

    // A refused command after it leaves no finished outcome behind.
    view_.screen.eepromFilePath.clear();
    tool_->OnReadEeprom();
    EXPECT_EQ(tool_->outcome().kind, Kind::None);
}

}  // namespace
}  // namespace nvx::test
