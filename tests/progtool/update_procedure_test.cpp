// The update procedure against the virtual device under virtual time, with the stand-in
// programmer as a real child process (or a scripted one where a test needs to act in the
// programmer's place).

#include <gmock/gmock.h>

#include <cstdlib>

#include "app/switches.h"
#include "progtool/adapter_e2e_support.h"
#include "progtool/program_file.h"
#include "support/recording_dialogs.h"
#include "update_harness.h"

namespace nvx::test {
namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

std::vector<uint8_t> Data(const sim::ReceivedFrame& f) {
    return std::vector<uint8_t>(f.data.begin(), f.data.begin() + f.length);
}

// ---- Whole procedures

TEST_F(DeviceUpdate, ProgramOnADirectDevice) {
    Connect(3);
    const uint32_t restarts = device().restartCount();
    UseFirmware("SolBed_fw.hex");
    Program();
    EXPECT_EQ(UpdateStep, kStepBootStart);
    EXPECT_FALSE(view_.enabled[ProgToolControl::CloseButton]);
    ASSERT_TRUE(RunToIdle());

    EXPECT_THAT(ProcedureLog(),
                ElementsAre("I> Update finished", " > Device restarted", " > Leaving Program Mode",
                            " > Bootloader activ", " > Bootloader started"));
    const auto runs = StandInRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_THAT(runs[0], ElementsAre("avrosp.exe", "-datmega64", "-iftemp.ntf", "-e", "-pf", "-D0",
                                     "-cCOM1", "#cwd " + dir_.string(), "#line 38400", "#end"));
    // The programmer saw the plain records; the temporary file is gone afterwards.
    EXPECT_EQ(WithoutCarriageReturns(ReadFileBytes(dir_ / "standin.input")), kSolBedFirmware);
    EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    EXPECT_THAT(view_.progress, ElementsAre(0, 0, 50, 100));

    const auto frames = KernelFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_THAT(Data(frames[0]), ElementsAre(0xFD, 0x00));
    EXPECT_FALSE(device().inBootloader());
    EXPECT_GT(device().restartCount(), restarts);
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_EQ(ProgOperation, kOperationNone);
    EXPECT_TRUE(view_.enabled[ProgToolControl::CloseButton]);
    EXPECT_TRUE(view_.enabled[ProgToolControl::ProgramButton]);
}

TEST_F(DeviceUpdate, RoutedDeviceRunsInsideATunnel) {
    Connect(10);
    UseFirmware("SolReg_fw.hex");
    Program();
    EXPECT_EQ(UpdateStep, kStepTunnelOpen);
    ASSERT_TRUE(RunToIdle());

    EXPECT_THAT(ProcedureLog(),
                ElementsAre("I> Update finished", " > Disconnected from Controller",
                            " > Device restarted", " > Leaving Program Mode", " > Bootloader activ",
                            " > Bootloader started", " > Connected to Controller"));
    const auto runs = StandInRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0][5], "-D500");
    EXPECT_EQ(runs[0][8], "#line 19200");

    const auto frames = KernelFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_THAT(Data(frames[0]), ElementsAre(0xED, 0xFF));
    EXPECT_THAT(Data(frames[1]), ElementsAre(0xFD, 25));
    EXPECT_THAT(Data(frames[2]), ElementsAre(0xED, 0x00));
    // BootloadStart waits 300 ticks after the tunnel is up.
    const int64_t connected = log().TimeOf(" > Connected to Controller");
    EXPECT_GE(static_cast<int64_t>(frames[1].atMs) - connected, 3000);
    EXPECT_LT(static_cast<int64_t>(frames[1].atMs) - connected, 3200);
    EXPECT_FALSE(device().tunnelOn());
}

TEST_F(DeviceUpdate, ControllerViaFrontPanelIsNotRouted) {
    Connect(11);
    UseFirmware("SolReg_fw.hex");
    Program();
    EXPECT_EQ(UpdateStep, kStepBootStart);
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(ProcedureLines().back(), "I> Update finished");
    for (const auto& f : KernelFrames()) EXPECT_NE(f.data[0], 0xED);
}

TEST_F(DeviceUpdate, ManualStartClosesThePortAndWaitsHundredTicks) {
    Connect(13, {}, /*inBootloader=*/true);
    ASSERT_EQ(view_.screen.manualStart, 1);
    UseFirmware("SolReg_fw.hex");
    const int closes = log().closeCalls();
    Program();
    EXPECT_EQ(log().closeCalls(), closes + 1);
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_EQ(UpdateStep, kStepBootPortOpen);

    clock().advance(990);
    EXPECT_EQ(UpdateStep, kStepBootPortOpen);
    EXPECT_FALSE(g_serialPort.IsOpen());
    clock().advance(10);
    EXPECT_EQ(UpdateStep, kStepBootProbe);
    EXPECT_TRUE(g_serialPort.IsOpen());
    EXPECT_EQ(device().hostBaud(), 38400u);

    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre("I> Update finished", " > Device restarted", " > Leaving Program Mode",
                            " > Bootloader activ"));
    EXPECT_THAT(KernelFrames(), IsEmpty());
    EXPECT_FALSE(device().inBootloader());
    EXPECT_EQ(ComPortState, kComPortOpen);
}

TEST_F(DeviceUpdate, ManualStartWorksWithThePortClosed) {
    Connect(13, {}, true);
    log().CloseComPort();
    UseFirmware("SolReg_fw.hex");
    Program();
    EXPECT_EQ(UpdateStep, kStepBootPortOpen);
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(ProcedureLines().back(), "I> Update finished");
}

TEST_F(DeviceUpdate, ABootloaderThatNeverAnswersAborts) {
    sim::Faults faults;
    faults.neverEnterBootloader = sim::FaultRate::Always();
    Connect(3, faults);
    UseFirmware("SolBed_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre(kRecoveryFromBootloaderText, "E> Update aborted",
                            "E> Bootloader not activ: no reply", " > Bootloader started"));
    // StepWait to open the port, 800 ticks of probing, StepWait to reopen the monitor's port.
    const int64_t started = log().TimeOf(" > Bootloader started");
    const int64_t notActive = log().TimeOf("E> Bootloader not activ: no reply");
    EXPECT_EQ(notActive - started, (200 + 801) * 10);
    EXPECT_EQ(log().TimeOf("E> Update aborted") - notActive, 200 * 10);
    EXPECT_FALSE(fs::exists(dir_ / "standin.log"));
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_EQ(ProgOperation, kOperationNone);
    // The plain firmware made for the programmer that never ran is gone with the procedure.
    EXPECT_FALSE(fs::exists(dir_ / kFlashTempFileName));
}

TEST_F(DeviceUpdate, ASplitSignOnIsProbedUntilItComesWhole) {
    int64_t delay[2] = {0, 0};
    for (uint32_t split : {0u, 1u}) {
        SCOPED_TRACE(split);
        sim::Faults faults;
        faults.splitSignOn = sim::FaultRate::Times(split);
        Connect(3, faults);
        UseFirmware("SolBed_fw.hex");
        log().Clear();
        Program();
        ASSERT_TRUE(RunToIdle());
        EXPECT_EQ(ProcedureLines().back(), "I> Update finished");
        delay[split] = log().TimeOf(" > Bootloader activ") -
                       log().TimeOf(" > Bootloader started");
    }
    EXPECT_GT(delay[1], delay[0]);
}

struct WaitCase {
    const char* wSwitch;  // value of /W, nullptr: none
    uint32_t stepWait;
};

TEST_F(DeviceUpdate, StepWaitIsEveryPause) {
    for (const WaitCase c : {WaitCase{nullptr, 200}, WaitCase{"5", 500}}) {
        SCOPED_TRACE(c.stepWait);
        StartDevice(3);
        if (c.wSwitch) {
            const char* argv[] = {"norvix-monitor", "/W", c.wSwitch};
            CommandLineSwitches switches;
            ParseSwitches(switches, 3, argv);
            ASSERT_TRUE(EvaluateSwitches(switches));
        }
        ASSERT_EQ(StepWait, static_cast<int32_t>(c.stepWait));
        StartTool();
        UseFirmware("SolBed_fw.hex");
        log().Clear();
        Program();
        ASSERT_TRUE(RunToIdle(120000));
        const int64_t tick = 10, wait = c.stepWait * tick;
        const int64_t started = log().TimeOf(" > Bootloader started");
        const int64_t active = log().TimeOf(" > Bootloader activ");
        const int64_t leaving = log().TimeOf(" > Leaving Program Mode");
        const int64_t restarted = log().TimeOf(" > Device restarted");
        const int64_t finished = log().TimeOf("I> Update finished");
        EXPECT_EQ(active - started, wait + 2 * tick);  // port opened after the wait, one probe
        EXPECT_GE(leaving - active, 2 * wait);         // "mode", then the programmer
        EXPECT_LE(leaving - active, 2 * wait + tick);
        EXPECT_EQ(restarted - leaving, wait);
        EXPECT_EQ(finished - restarted, wait + tick);
    }
}

// ---- The programmer's outcome

struct OutcomeCase {
    const char* name;
    const char* standIn;  // standin.cfg; nullptr: the adapter cannot be started
    const char* failure;  // the line that says why
    bool ran;             // the programmer got as far as running
    const char* reason = nullptr;  // the programmer's own last error line, as logged
    const char* plain = nullptr;   // what to do about it, in plain words
};

TEST_F(DeviceUpdate, AFailedProgrammerEndsWithTheAbortLine) {
    const OutcomeCase cases[] = {
        {"not executable", nullptr, "E> Command NorvixOSP: Permission denied", false},
        {"exit status", "exit 3\n", "E> Command NorvixOSP: exit status 3", true},
        {"killed", "crash\n", "E> Command NorvixOSP: ended by signal 9", true},
        {"exit status with reasons",
         "say avrdude error: programmer is not responding\nsay  \nsay norvixosp: no answer\nexit 1\n",
         "E> Command NorvixOSP: exit status 1", true, "E> norvixosp: no answer"},
        {"killed after a reason", "say half way\ncrash\n",
         "E> Command NorvixOSP: ended by signal 9", true, "E> half way"},
        {"wrong chip",
         "say norvixosp: avrdude ended with status 1: expected signature for ATmega64 is 1E 96 02\n"
         "exit 1\n",
         "E> Command NorvixOSP: exit status 1", true,
         "E> norvixosp: avrdude ended with status 1: expected signature for ATmega64 is 1E 96 02",
         " > The connected chip is not the ATmega64 the chosen device needs: choose the device "
         "that is connected, or connect the device chosen."},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(3);
        if (c.standIn)
            StandIn(c.standIn);
        else
            fs::permissions(dir_ / kProgrammerFileName, fs::perms::owner_read | fs::perms::owner_write);
        UseFirmware("SolBed_fw.hex");
        log().Clear();
        Program();
        ASSERT_TRUE(RunToIdle());
        // A programmer that ran may have left the flash half written.
        std::vector<std::string> expected;
        if (c.ran) expected.push_back(kRecoveryFromIncompleteFirmwareText);
        expected.insert(expected.end(), {"E> Update aborted", " > Device restarted"});
        if (c.plain) expected.push_back(c.plain);
        if (c.reason) expected.push_back(c.reason);
        expected.push_back(c.failure);
        if (c.ran) expected.push_back(" > Leaving Program Mode");
        expected.insert(expected.end(), {" > Bootloader activ", " > Bootloader started"});
        EXPECT_THAT(ProcedureLog(), ElementsAreArray(expected));
        // The device has left its bootloader and the monitor has its port back.
        EXPECT_FALSE(device().inBootloader());
        EXPECT_EQ(ComPortState, kComPortOpen);
        EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
        EXPECT_EQ(ProgOperation, kOperationNone);

    }
}

TEST(PlainProgrammerFailureTest, TheCommonFailuresGetWhatToDo) {
    const struct {
        const char* reason;
        const char* starts;  // empty: no plain line
    } cases[] = {
        {"norvixosp: avrdude ended with status 1: expected signature for ATmega644P is 1E 96 0A",
         "The connected chip is not the ATmega644P the chosen device needs"},
        {"norvixosp: avrdude ended with status 1: programmer is not responding",
         "No bootloader answers"},
        {"norvixosp: avrdude ended with status 1: initialization failed, rc=-1",
         "No bootloader answers"},
        {"norvixosp: COM7 leads to no device", "There is no port with this number"},
        {"norvixosp: COM1 (/dev/ttyS0): Device or resource busy", "Another program holds the port"},
        {"norvixosp: COM1 (/dev/ttyS0): Permission denied", "This user may not open the port"},
        {"norvixosp: cannot start avrdude: No such file or directory",
         "The programmer avrdude is not installed"},
        {"norvixosp: avrdude ended with status 137", ""},
        {"half way", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::string plain = PlainProgrammerFailure(c.reason);
        if (*c.starts == 0) {
            EXPECT_EQ(plain, "");
        } else {
            EXPECT_EQ(plain.rfind(c.starts, 0), 0u) << plain;
        }
    }
}

TEST_F(DeviceUpdate, ReadEepromCreatesTheFileFromACompleteImage) {
    const fs::path source = fs::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image.hex";
    Connect(3);
    StandIn("eeprom " + source.string() + "\n");
    const fs::path target = dir_ / "read" / "image.hex";
    fs::create_directories(target.parent_path());
    view_.screen.eepromFilePath = target.string();
    tool_->OnReadEeprom();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre("I> Read Process finished", " > Device restarted",
                            " > Leaving EEPROM Read Mode", " > Bootloader activ",
                            " > Bootloader started"));
    const auto runs = StandInRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_THAT(std::vector<std::string>(runs[0].begin(), runs[0].begin() + 5),
                ElementsAre("avrosp.exe", "-datmega64", "-oetemp.hex", "-re", "-cCOM1"));
    EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(source));
    EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));
    // Nothing but the image in the target's folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator{}), 1);
}

TEST_F(DeviceUpdate, AFailedReadLeavesTheEepromFileAlone) {
    const OutcomeCase cases[] = {
        {"no image", "nooutput\n", "E> Command NorvixOSP: no complete temp.hex", true},
        {"half an image", "partial\n", "E> Command NorvixOSP: no complete temp.hex", true},
        {"exit status", "exit 1\n", "E> Command NorvixOSP: exit status 1", true},
        {"not executable", nullptr, "E> Command NorvixOSP: Permission denied", false},
        {"exit status with a reason", "say cannot open /dev/pts/99\nexit 1\n",
         "E> Command NorvixOSP: exit status 1", true, "E> cannot open /dev/pts/99"},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(3);
        if (c.standIn)
            StandIn(c.standIn);
        else
            fs::permissions(dir_ / kProgrammerFileName, fs::perms::owner_read | fs::perms::owner_write);
        // An image some earlier run left behind must not pass for the one read now.
        WriteFileBytes(dir_ / "temp.hex", ":0100000042BD\r\n:00000001FF\r\n");
        WriteFileBytes(dir_ / "image.hex", "the old image");
        view_.screen.eepromFilePath = (dir_ / "image.hex").string();
        log().Clear();
        tool_->OnReadEeprom();
        ASSERT_TRUE(RunToIdle());
        std::vector<std::string> expected = {"E> Read Process aborted", " > Device restarted"};
        if (c.plain) expected.push_back(c.plain);
        if (c.reason) expected.push_back(c.reason);
        expected.push_back(c.failure);
        if (c.ran) expected.push_back(" > Leaving EEPROM Read Mode");
        expected.insert(expected.end(), {" > Bootloader activ", " > Bootloader started"});
        EXPECT_THAT(ProcedureLog(), ElementsAreArray(expected));
        EXPECT_EQ(ReadFileBytes(dir_ / "image.hex"), "the old image");
        EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));

    }
}

TEST_F(DeviceUpdate, AnEepromFileThatCannotBeMadeIsFoundBeforeTheDeviceIsTouched) {
    Connect(3);
    fs::create_directories(dir_ / "folder");
    const struct {
        fs::path path;
        const char* reason;
    } cases[] = {{dir_ / "missing" / "image.hex", "No such file or directory"},
                 {dir_ / "folder", "Is a directory"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        log().Clear();
        view_.screen.eepromFilePath = c.path.string();
        tool_->OnReadEeprom();
        EXPECT_THAT(log().log,
                    ElementsAre("E> cannot open EEPROM file: " + c.path.string() + ": " + c.reason));
        EXPECT_EQ(UpdateStep, kStepIdle);
        clock().advance(3000);
        EXPECT_TRUE(KernelFrames().empty());
        EXPECT_TRUE(StandInRuns().empty());
    }
}

TEST_F(DeviceUpdate, WriteEepromHandsTheImageToTheProgrammer) {
    Connect(20, {}, /*inBootloader=*/true);  // row 20 starts by hand
    const std::string image = ReadFileBytes(fs::path(NVX_FIXTURES_DIR) / "eeprom" / "small_image.hex");
    WriteFileBytes(dir_ / "image.hex", image);
    view_.screen.eepromFilePath = (dir_ / "image.hex").string();
    tool_->OnWriteEeprom();
    ASSERT_EQ(boxes().shown.size(), 1u);  // the risk question, answered OK
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre("I> Write Process finished", " > Device restarted",
                            " > Leaving EEPROM Program Mode", " > Bootloader activ"));
    const auto runs = StandInRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_THAT(std::vector<std::string>(runs[0].begin(), runs[0].begin() + 5),
                ElementsAre("avrosp.exe", "-datmega32", "-ietemp.hex", "-pe", "-cCOM1"));
    EXPECT_EQ(ReadFileBytes(dir_ / "standin.input"), image);
    EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));
    EXPECT_EQ(ReadFileBytes(dir_ / "image.hex"), image);
}

// ---- Steps that give up

TEST_F(DeviceUpdate, NoReplyToTheFirstRequestEndsTheProcedure) {
    for (int row : {10, 3}) {
        SCOPED_TRACE(row);
        sim::Faults faults;
        faults.dropReply = sim::FaultRate::Always();
        Connect(row, faults);
        UseFirmware(row == 10 ? "SolReg_fw.hex" : "SolBed_fw.hex");
        log().Clear();
        const uint64_t start = clock().nowMs();
        Program();
        ASSERT_TRUE(RunToIdle());
        // BootloadStart may have come through with its reply lost: the way on is said.
        if (row == 10)
            EXPECT_THAT(log().log, ElementsAre("E> No Reply to API Command"));
        else
            EXPECT_THAT(log().log,
                        ElementsAre("E> No Reply to API Command", kRecoveryFromBootloaderText));
        EXPECT_NEAR(static_cast<double>(log().TimeOf("E> No Reply to API Command") -
                                        static_cast<int64_t>(start)),
                    2000.0, 30.0);
        EXPECT_EQ(ComPortState, kComPortOpen);
        EXPECT_TRUE(view_.enabled[ProgToolControl::ProgramButton]);

        // The engine still waits for its reply: a new start cannot queue its request.
        if (row != 10) continue;
        Program();
        clock().advance(10);
        EXPECT_EQ(UpdateStep, kStepIdle);
        EXPECT_EQ(ProcedureLines().back(), "E> Error Initiating Transfer");
        // The engine's own failure follows later.
        RunUntil([&] { return ProcedureLines().size() == 3; }, 10000);
        EXPECT_EQ(ProcedureLines().back(), "E> No Reply from Kernel");

    }
}

TEST_F(DeviceUpdate, AWrongReplyLengthEndsTheProcedure) {
    Connect(3);
    UseFirmware("SolBed_fw.hex");
    Program();
    // The reply to BootloadStart.
    sim::Faults faults;
    faults.wrongLength = sim::FaultRate::Times(1);
    device().setFaults(faults);
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLines(), ElementsAre("E> Wrong Format Response at ID: 0080"));
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_TRUE(view_.enabled[ProgToolControl::CloseButton]);
    EXPECT_FALSE(fs::exists(dir_ / "standin.log"));
}

TEST_F(DeviceUpdate, AGivenUpRequestNeverReachesTheDevice) {
    Connect(10);
    // Another window's request holds the engine; the device never answers it.
    BusMessage other{};
    MsgSetByte(other, 0, 0x42);
    ASSERT_TRUE(g_apiRequest.Start(0x0123, other, 0));
    UseFirmware("SolReg_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLines(), ElementsAre("E> No Reply to API Command"));
    // Long after the engine is free again, no tunnel command has gone out.
    clock().advance(10000);
    EXPECT_THAT(KernelFrames(), IsEmpty());
    EXPECT_EQ(tool_->procedure().requestState(), kUpdateRequestIdle);
    EXPECT_THAT(ProcedureLines(), ElementsAre("E> No Reply to API Command"));
}

TEST_F(DeviceUpdate, LineSettingsThatFailAbort) {
    Connect(3);
    tool_->procedure().SetLineSettings([](int32_t, int32_t, std::string& error) {
        error = "Device or resource busy";
        return false;
    });
    UseFirmware("SolBed_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre(kRecoveryFromBootloaderText, "E> Update aborted",
                            "E> Command MODE: Device or resource busy", " > Bootloader activ",
                            " > Bootloader started"));
    const int64_t modeFailed = log().TimeOf("E> Command MODE: Device or resource busy");
    EXPECT_EQ(log().TimeOf("E> Update aborted") - modeFailed, 200 * 10);
    EXPECT_FALSE(fs::exists(dir_ / "standin.log"));
    EXPECT_EQ(ComPortState, kComPortOpen);
}

// A message box that lets the window's timer in while it is open, as a modal loop does.
class TickingBoxes : public RecordingMessageBoxes {
public:
    MessageAnswer show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override {
        if (tool) {
            const uint32_t step = UpdateStep, countdown = StepCountdown;
            for (int i = 0; i < 5; ++i) tool->OnTimer();
            stepsRanInside |= UpdateStep != step || StepCountdown != countdown;
        }
        return RecordingMessageBoxes::show(text, caption, icon, buttons);
    }
    ProgTool* tool = nullptr;
    bool stepsRanInside = false;
};

TEST_F(DeviceUpdate, APortThatCannotBeOpenedAtTheBootloaderSpeedAborts) {
    Connect(3);
    TickingBoxes ticking;
    SetMessageBoxes(&ticking);
    ticking.tool = tool_.get();
    UseFirmware("SolBed_fw.hex");
    Program();
    // Once the monitor has let the port go, the port goes away.
    ASSERT_TRUE(RunUntil([&] { return ComPortState == kComPortClosed; }, 5000));
    fs::remove(dir_ / "com1");
    fs::create_symlink(dir_ / "gone", dir_ / "com1");
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre(kRecoveryFromBootloaderText, "E> Update aborted",
                            "E> Cannot reopen COM", " > Bootloader started"));
    // The serial port said so itself, twice; no step ran while its box was open.
    EXPECT_EQ(ticking.shown.size(), 2u);
    EXPECT_FALSE(ticking.stepsRanInside);
    SetMessageBoxes(&boxes());
}

// The scripted programmer: the test acts while it "runs".
class ScriptedUpdate : public DeviceUpdate {
protected:
    void SetUp() override { SetProcessRunner(&runner_); }
};

TEST_F(ScriptedUpdate, APortLostDuringTheProgrammerRunAborts) {
    Connect(3);
    runner_.onStart = [&](const ProcessSpec&) {
        fs::remove(dir_ / "com1");
        fs::create_symlink(dir_ / "gone", dir_ / "com1");
    };
    UseFirmware("SolBed_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre(kRecoveryFromBootloaderText, "E> Update aborted",
                            "E> Cannot reopen COM", " > Leaving Program Mode",
                            " > Bootloader activ", " > Bootloader started"));
    ASSERT_EQ(runner_.started.size(), 1u);
    EXPECT_EQ(runner_.started[0].program, StartDirectory + "norvixosp.exe");
    EXPECT_EQ(runner_.started[0].workingDirectory, StartDirectory);
    EXPECT_TRUE(device().inBootloader());
}

TEST_F(ScriptedUpdate, APortThatLeadsToAnotherDeviceAfterTheRunIsNotRestarted) {
    Connect(3);
    // The device went away during the run and the port name now leads to another terminal.
    runner_.onStart = [&](const ProcessSpec&) {
        fs::remove(dir_ / "com1");
        fs::create_symlink("/dev/ptmx", dir_ / "com1");
    };
    UseFirmware("SolBed_fw.hex");
    tool_->OnProgram();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(log().NewestFirst(),
                ElementsAre(kRecoveryFromBootloaderText, "E> Update aborted",
                            "E> COM1 leads to another device now", " > Leaving Program Mode",
                            " > Bootloader activ", " > Bootloader started"));
    EXPECT_TRUE(device().inBootloader()) << "nobody told it to leave";
}

TEST_F(ScriptedUpdate, APortWhoseLinkWentAwayDuringTheRunIsSaidToBeGone) {
    Connect(3);
    // Unplugged: the link the port name went through is removed with the device.
    runner_.onStart = [&](const ProcessSpec&) { fs::remove(dir_ / "com1"); };
    UseFirmware("SolBed_fw.hex");
    tool_->OnProgram();
    ASSERT_TRUE(RunToIdle());
    const std::vector<std::string> lines = log().NewestFirst();
    // Said right after the programmer's run; the monitor's port cannot come back either.
    const auto gone = std::find(lines.begin(), lines.end(), " > Leaving Program Mode");
    ASSERT_NE(gone, lines.begin());
    EXPECT_EQ(*(gone - 1), "E> COM1 is gone: " + (dir_ / "com1").string() + " no longer exists");
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "E> COM1 leads to another device now"), lines.end());
    // The abort, then what the device is left in and how to go on.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "E> Update aborted");
    EXPECT_EQ(lines[0], kRecoveryFromBootloaderText);
    EXPECT_TRUE(device().inBootloader()) << "nobody told it to leave";
}

TEST_F(ScriptedUpdate, AMonitorPortThatWillNotReopenEndsWithoutFinishLine) {
    Connect(3);
    runner_.onStart = [&](const ProcessSpec&) { log().refuseOpen = true; };
    UseFirmware("SolBed_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre("E> Cannot reopen COM", " > Device restarted", " > Leaving Program Mode",
                            " > Bootloader activ", " > Bootloader started"));
    EXPECT_EQ(ProgOperation, kOperationProgram);
    EXPECT_TRUE(view_.enabled[ProgToolControl::ProgramButton]);
    EXPECT_FALSE(device().inBootloader());
}

TEST_F(ScriptedUpdate, NoReplyWhenTheTunnelClosesAborts) {
    Connect(10);
    runner_.onStart = [&](const ProcessSpec&) {
        sim::Faults faults;
        faults.dropReply = sim::FaultRate::Always();
        device().setFaults(faults);
    };
    UseFirmware("SolReg_fw.hex");
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(ProcedureLog(),
                ElementsAre("E> Update aborted", "E> No Reply to API Command",
                            " > Device restarted", " > Leaving Program Mode",
                            " > Bootloader activ", " > Bootloader started",
                            " > Connected to Controller"));
    EXPECT_EQ(ProgOperation, kOperationNone);
    EXPECT_EQ(log().TimeOf("E> No Reply to API Command") - log().TimeOf(" > Device restarted"),
              401 * 10);
    EXPECT_EQ(log().TimeOf("E> Update aborted"), log().TimeOf("E> No Reply to API Command"));
}

TEST_F(ScriptedUpdate, TheProcedureStaysWithTheProgrammerUntilItExits) {
    runner_.finishAtOnce = false;
    Connect(3);
    UseFirmware("SolBed_fw.hex");
    Program();
    ASSERT_TRUE(RunUntil([] { return UpdateStep == kStepRunProgrammer && StepCountdown == 0; },
                         10000));
    clock().advance(60000);
    EXPECT_EQ(UpdateStep, kStepRunProgrammer);
    EXPECT_TRUE(tool_->procedure().programmerRunning());
    EXPECT_EQ(ProcedureLines().back(), " > Bootloader activ");
    runner_.current()->output = "PROGRESS 30\nPROG";
    clock().advance(10);
    runner_.current()->output = "RESS 70\r\nother\n";
    clock().advance(10);
    EXPECT_THAT(view_.progress, ElementsAre(0, 30, 70));
    EXPECT_EQ(tool_->programmerProgress(), 70);
    runner_.current()->finished = true;
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(ProcedureLines().back(), "I> Update finished");
    EXPECT_EQ(runner_.abandonedRunning, 0);
}

// ---- Endings that may leave the device in its bootloader: said, and Program again recovers

class RecoveryAfterAnEnding;

struct RecoveryCase {
    const char* name;
    bool startsInBootloader;
    // Makes the first update end this way.
    std::function<void(RecoveryAfterAnEnding&)> spoil;
    const char* advice;
    bool leftInBootloader;
    // What the technician does then: Manual Update Start Mode, as the advice says, unless the
    // device answers again.
    bool manualAgain;
};

class RecoveryAfterAnEnding : public ScriptedUpdate,
                              public testing::WithParamInterface<RecoveryCase> {
public:
    using DeviceUpdate::dir_;
    using DeviceUpdate::runner_;
    using DeviceUpdate::tool_;

    void RepointPortLink(const fs::path& target) {
        fs::remove(dir_ / "com1");
        fs::create_symlink(target, dir_ / "com1");
    }
};

TEST_P(RecoveryAfterAnEnding, TheLogSaysWhatToDoAndProgramAgainWorks) {
    const RecoveryCase& c = GetParam();
    Connect(3, {}, c.startsInBootloader);
    UseFirmware("SolBed_fw.hex");
    c.spoil(*this);
    Program();
    ASSERT_TRUE(RunToIdle());
    ASSERT_FALSE(log().log.empty());
    EXPECT_EQ(log().log.back(), c.advice) << testing::PrintToString(log().log);
    EXPECT_EQ(std::count(log().log.begin(), log().log.end(), c.advice), 1);
    EXPECT_EQ(device().inBootloader(), c.leftInBootloader);

    // The cause goes away; the monitor keeps running.
    RepointPortLink(device().slavePath());
    tool_->procedure().SetLineSettings([](int32_t port, int32_t baud, std::string&) {
        return ApplyLineSettings(static_cast<uint32_t>(port), static_cast<uint32_t>(baud));
    });
    runner_.onStart = nullptr;
    runner_.exitCodeAtOnce = 0;
    log().Clear();
    view_.screen.manualStart = c.manualAgain ? 1 : 0;
    Program();
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(log().log.back(), "I> Update finished") << testing::PrintToString(log().log);
    EXPECT_FALSE(device().inBootloader());
    EXPECT_EQ(ComPortState, kComPortOpen);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, RecoveryAfterAnEnding,
    testing::Values(
        RecoveryCase{"PortSettingsRefused", false,
                     [](RecoveryAfterAnEnding& test) {
                         test.tool_->procedure().SetLineSettings(
                             [](int32_t, int32_t, std::string& error) {
                                 error = "Device or resource busy";
                                 return false;
                             });
                     },
                     kRecoveryFromBootloaderText, true, true},
        RecoveryCase{"PortGoneWhileTheProgrammerRuns", false,
                     [](RecoveryAfterAnEnding& test) {
                         test.runner_.onStart = [&test](const ProcessSpec&) {
                             test.RepointPortLink(test.dir_ / "gone");
                         };
                     },
                     kRecoveryFromBootloaderText, true, true},
        RecoveryCase{"PortLeadsElsewhereAfterTheProgrammer", false,
                     [](RecoveryAfterAnEnding& test) {
                         test.runner_.onStart = [&test](const ProcessSpec&) {
                             test.RepointPortLink("/dev/ptmx");
                         };
                     },
                     kRecoveryFromBootloaderText, true, true},
        RecoveryCase{"ProgrammerFailed", false,
                     [](RecoveryAfterAnEnding& test) { test.runner_.exitCodeAtOnce = 1; },
                     kRecoveryFromIncompleteFirmwareText, false, false},
        // Left there by an earlier ending: BootloadStart finds no kernel to answer it.
        RecoveryCase{"AlreadyInTheBootloader", true, [](RecoveryAfterAnEnding&) {},
                     kRecoveryFromBootloaderText, true, true}),
    [](const testing::TestParamInfo<RecoveryCase>& p) { return std::string(p.param.name); });

// ---- An interrupted procedure

// A flash write cut short leaves no application: said whenever the programmer is ended early.
constexpr const char* kMayBeErasedLine =
    "E> The device may be erased and wait in its bootloader: program it again with Manual Update "
    "Start Mode";

// Where the user interrupts: the step reached (and, for the programmer, that it runs).
struct InterruptCase {
    const char* name;
    int row;
    uint32_t step;
    std::vector<std::string> logNewestFirst;
    std::vector<std::vector<uint8_t>> kernelRequests;
};

class InterruptedUpdate : public ScriptedUpdate,
                          public testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptedUpdate, EndsWithTheDeviceInItsApplicationAndNoWorkFile) {
    const InterruptCase& c = GetParam();
    runner_.finishAtOnce = false;
    Connect(c.row);
    UseFirmware(c.row == 10 ? "SolReg_fw.hex" : "SolBed_fw.hex");
    tool_->OnProgram();
    ASSERT_TRUE(RunUntil(
        [&] {
            return UpdateStep == c.step &&
                   (c.step != kStepRunProgrammer || tool_->procedure().programmerRunning());
        },
        20000));
    tool_->RequestAbort();
    clock().advance(10);  // the programmer, if any, still runs at this tick
    ASSERT_TRUE(RunToIdle());

    EXPECT_EQ(ProcedureLog(), c.logNewestFirst);
    std::vector<std::vector<uint8_t>> requests;
    for (const auto& f : KernelFrames()) requests.push_back(Data(f));
    EXPECT_EQ(requests, c.kernelRequests);
    EXPECT_FALSE(device().inBootloader());
    EXPECT_FALSE(device().tunnelOn());
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_EQ(ProgOperation, kOperationNone);
    EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    // A programmer under way is ended, not waited for.
    EXPECT_EQ(runner_.abandonedRunning, c.step == kStepRunProgrammer ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    AtEachStage, InterruptedUpdate,
    testing::Values(
        InterruptCase{"BeforeTheFirstRequest", 3, kStepBootStart, {"E> Update aborted"}, {}},
        InterruptCase{"WhileTheBootloaderStarts",
                      3,
                      kStepBootStartWait,
                      {"E> Update aborted", " > Device restarted", " > Bootloader started"},
                      {{0xFD, 0x00}}},
        InterruptCase{"WhileTheProgrammerRuns",
                      3,
                      kStepRunProgrammer,
                      {"E> Update aborted", " > Device restarted", kMayBeErasedLine,
                       "E> Command NorvixOSP: interrupted", " > Leaving Program Mode",
                       " > Bootloader activ", " > Bootloader started"},
                      {{0xFD, 0x00}}},
        InterruptCase{"InsideAnOpenTunnel",
                      10,
                      kStepBootStart,
                      {"E> Update aborted", " > Disconnected from Controller",
                       " > Connected to Controller"},
                      {{0xED, 0xFF}, {0xED, 0x00}}}),
    [](const testing::TestParamInfo<InterruptCase>& p) { return std::string(p.param.name); });
// ---- Firmware that cannot be written whole never reaches the device

TEST_F(ScriptedUpdate, FirmwareWithoutDataOrBeyondThePartIsRefusedBeforeTheDeviceIsTouched) {
    struct Case {
        const char* name;
        std::string records;
        std::string description;  // replaces atmega64.xml when not empty
        const char* line;         // nullptr: accepted
        const char* note = nullptr;  // the first line of an accepted file, when it has one
    };
    // As shipped, with the largest bootloader the part's fuses allow (8 KB); and without one.
    const std::string atmega64 = ReadFileBytes(fs::path(NVX_SOURCE_DIR) / "devices/atmega64.xml");
    const std::string bootSizeLine = "  <bootSize>8192</bootSize>\n";
    ASSERT_NE(atmega64.find(bootSizeLine), std::string::npos);
    std::string flashOnly = atmega64;
    flashOnly.erase(flashOnly.find(bootSizeLine), bootSizeLine.size());
    std::string withBootloader = flashOnly;
    withBootloader.insert(withBootloader.find("</part>"), "  <bootSize>0x2000</bootSize>\n");
    const std::string byte16(16, '\x5A');
    const std::vector<uint8_t> data(byte16.begin(), byte16.end());
    const std::string end = ":00000001FF\r\n";
    const Case cases[] = {
        {"empty file", "", "", "E> Program file holds no data"},
        {"end record only", end, "", "E> Program file holds no data"},
        {"empty data record", HexRecord(0, 0x0100, {}) + end, "", "E> Program file holds no data"},
        {"80 KB for 64 KB", HexRecord(4, 0, {0x00, 0x01}) + HexRecord(0, 0x3FF0, data) + end,
         flashOnly, "E> Program file does not fit ATmega64: ends at 0x13FFF, flash ends at 0xFFFF"},
        {"one byte past the flash", HexRecord(0, 0xFFF0, data) + HexRecord(0, 0xFFFF, {1, 2}) + end,
         flashOnly, "E> Program file does not fit ATmega64: ends at 0x10000, flash ends at 0xFFFF"},
        {"into the bootloader", HexRecord(0, 0xDFF8, data) + end, withBootloader,
         "E> Program file does not fit ATmega64: ends at 0xE007, application area ends at 0xDFFF"},
        {"into the shipped bootloader section", HexRecord(0, 0xFF00, data) + end, "",
         "E> Program file does not fit ATmega64: ends at 0xFF0F, application area ends at 0xDFFF"},
        {"up to the last byte", HexRecord(0, 0xFFF0, data) + end, flashOnly, nullptr},
        {"up to the bootloader", HexRecord(0, 0xDFF0, data) + end, withBootloader, nullptr},
        {"up to the shipped bootloader section", HexRecord(0, 0xDFF0, data) + end, "", nullptr},
        {"a record type no programmer knows", HexRecord(0, 0, data) + ":020000090102F2\r\n" + end,
         "", "E> Program file holds a record of unknown type 09, line 2"},
        {"cut at a line boundary", HexRecord(0, 0, data) + HexRecord(0, 0x10, data), "",
         "E> Program file incomplete: no end-of-file record"},
        // The programmer only needs the file: without sizes the fit is not measured.
        {"description without sizes", HexRecord(0, 0, data) + end, "<part><name>x</name></part>",
         nullptr, " > Firmware size not checked, part description "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(3);
        runner_.started.clear();
        WriteFileBytes(dir_ / "atmega64.xml", c.description.empty() ? atmega64 : c.description);
        UseFirmware("SolBed_fw.hex", c.records);
        tool_->OnProgram();
        if (c.line == nullptr) {
            if (c.note != nullptr) {
                ASSERT_FALSE(log().log.empty());
                EXPECT_EQ(log().log[0].rfind(c.note + (dir_ / "atmega64.xml").string() + ": ", 0),
                          0u)
                    << log().log[0];
            }
            ASSERT_TRUE(RunToIdle());
            EXPECT_NE(std::find(log().log.begin(), log().log.end(), "I> Update finished"),
                      log().log.end());
            continue;
        }
        ASSERT_EQ(log().log.size(), 1u);
        EXPECT_EQ(log().log[0].rfind(c.line, 0), 0u) << log().log[0];
        EXPECT_EQ(UpdateStep, kStepIdle);
        clock().advance(3000);
        EXPECT_TRUE(runner_.started.empty());
        EXPECT_TRUE(KernelFrames().empty());
        EXPECT_FALSE(device().inBootloader());
        EXPECT_TRUE(log().IsComPortOpen());
        EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    }
}

TEST_F(ScriptedUpdate, AnImageReadThatCannotBeSavedIsKeptUnderANameOfItsOwn) {
    const std::string image = ":0100000042BD\r\n:00000001FF\r\n";
    Connect(3);
    const fs::path target = dir_ / "read" / "image.hex";
    fs::create_directories(target.parent_path());
    // An earlier recovery keeps its name.
    WriteFileBytes(dir_ / "eeprom-recovered-1.hex", "earlier");
    // The folder goes away while the programmer reads.
    runner_.onStart = [&](const ProcessSpec&) {
        WriteFileBytes(dir_ / "temp.hex", image);
        fs::remove_all(target.parent_path());
    };
    view_.screen.eepromFilePath = target.string();
    tool_->OnReadEeprom();
    ASSERT_TRUE(RunToIdle());
    const fs::path kept = dir_ / "eeprom-recovered-2.hex";
    EXPECT_THAT(log().NewestFirst(),
                ElementsAre("E> Read Process aborted", " > Device restarted",
                            "I> EEPROM image kept as " + kept.string(),
                            "E> cannot open EEPROM file: " + target.string() +
                                ": No such file or directory",
                            " > Leaving EEPROM Read Mode", " > Bootloader activ",
                            " > Bootloader started"));
    EXPECT_EQ(ReadFileBytes(kept), image);
    EXPECT_EQ(ReadFileBytes(dir_ / "eeprom-recovered-1.hex"), "earlier");
    EXPECT_FALSE(fs::exists(dir_ / "temp.hex"));
}

// ---- A programmer that never ends

TEST(ProgrammerTimeLimit, SeveralTimesTheWireTimeOfWritingAndVerifyingPlusAMargin) {
    struct Case {
        uint32_t bytes;
        int32_t baud;
        uint32_t limitMs;
    };
    // 64 KB at 38400 baud: 2 x 65536 x 10 bits = 34134 ms on the wire, four times, plus 90 s.
    const Case cases[] = {{0, 38400, 90000}, {65536, 38400, 90000 + 4 * 34134},
                          {4096, 19200, 90000 + 4 * 4267}, {UINT32_MAX, 300, UINT32_MAX}};
    for (const Case& c : cases)
        EXPECT_EQ(ProgrammerTimeLimitMs(c.bytes, c.baud), c.limitMs) << c.bytes << " at " << c.baud;
}

TEST(ProgrammerTimeLimit, WholeSecondsInTheVariableReplaceTheComputedLimit) {
    const uint32_t computed = ProgrammerTimeLimitMs(4096, 19200);
    const struct {
        const char* value;  // nullptr: unset
        uint32_t limitMs;
    } cases[] = {{nullptr, computed}, {"3", 3000},     {"600", 600000}, {"", computed},
                 {"0", computed},     {"-3", computed}, {"3s", computed}, {"x", computed},
                 {"99999999999", computed}};
    for (const auto& c : cases) {
        if (c.value)
            ::setenv(kProgrammerLimitVariable, c.value, 1);
        else
            ::unsetenv(kProgrammerLimitVariable);
        EXPECT_EQ(ProgrammerTimeLimitForRunMs(4096, 19200), c.limitMs)
            << (c.value ? c.value : "unset");
    }
    ::unsetenv(kProgrammerLimitVariable);
}

TEST_F(ScriptedUpdate, AProgrammerPastItsTimeLimitIsEndedAndTheUpdateAborts) {
    runner_.finishAtOnce = false;
    Connect(3);
    UseFirmware("SolBed_fw.hex");
    tool_->OnProgram();
    ASSERT_TRUE(RunUntil([&] { return tool_->procedure().programmerRunning(); }, 10000));
    // Seven bytes at 38400 baud: the margin and a few milliseconds.
    const uint32_t limitMs = ProgrammerTimeLimitMs(7, 38400);
    ASSERT_GT(limitMs, kProgrammerMarginMs);
    clock().advance(kProgrammerMarginMs - 10);
    EXPECT_TRUE(tool_->procedure().programmerRunning());
    EXPECT_EQ(log().log.back(), " > Bootloader activ");
    clock().advance(limitMs - kProgrammerMarginMs + 20);
    EXPECT_FALSE(tool_->procedure().programmerRunning());
    EXPECT_EQ(runner_.abandonedRunning, 1) << "ended while it ran";
    ASSERT_TRUE(RunToIdle());
    EXPECT_THAT(log().NewestFirst(),
                ElementsAre("E> Update aborted", " > Device restarted", kMayBeErasedLine,
                            "E> Programmer timed out after 90 s", " > Bootloader activ",
                            " > Bootloader started"));
    EXPECT_FALSE(fs::exists(dir_ / "temp.ntf"));
    EXPECT_FALSE(device().inBootloader());
}

TEST_F(ScriptedUpdate, EveryJobsProgressStartsAtNothing) {
    runner_.outputAtOnce = "PROGRESS 100\n";
    for (const bool manualStart : {false, true}) {
        SCOPED_TRACE(manualStart);
        Connect(3, {}, /*inBootloader=*/manualStart);
        view_.screen.manualStart = manualStart ? 1 : 0;
        UseFirmware("SolBed_fw.hex");
        Program();
        ASSERT_TRUE(RunToIdle());
        ASSERT_EQ(ProcedureLines().back(), "I> Update finished");
        ASSERT_EQ(tool_->programmerProgress(), 100);

        Program();
        ASSERT_FALSE(tool_->procedure().IsIdle());
        EXPECT_EQ(tool_->programmerProgress(), 0);
        EXPECT_EQ(view_.progress.back(), 0);
        ASSERT_TRUE(RunToIdle());
    }
}

// ---- The automatic update of /A

TEST_F(DeviceUpdate, AutostartUpdatesOnceTheTimerHasRunASecond) {
    StartDevice(3);
    WriteFileBytes(dir_ / "SolBed_auto.hex", kSolBedFirmware);
    ASSERT_TRUE(ConvertProgramFile((dir_ / "SolBed_auto.hex").string(),
                                   (dir_ / "SolBed_auto.npf").string(), kTransformScramble)
                    .ok());
    PresetProgramFile = (dir_ / "SolBed_auto.npf").string();
    DeviceStem = "solbed";
    // The main window has opened the port and shown the window: state 2.
    ComPortNumber = 1;
    ASSERT_TRUE(log().OpenComPort());
    AutoStartState = kAutoStartShown;
    const uint64_t created = clock().nowMs();
    StartToolOnly();
    ASSERT_TRUE(RunUntil([] { return AutoStartState != kAutoStartShown; }, 5000));
    EXPECT_EQ(log().log.front(), "I> Autostart active");
    EXPECT_EQ(log().times.front() - created, 1010u);
    EXPECT_EQ(AutoStartState, kAutoStartRunning);
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(ProcedureLines().back(), "I> Update finished");
    EXPECT_EQ(AutoStartState, kAutoStartFinished);
    EXPECT_EQ(WithoutCarriageReturns(ReadFileBytes(dir_ / "standin.input")), kSolBedFirmware);
}

TEST_F(DeviceUpdate, AutostartWaitsForThePortAndStaysOpenWhenItFails) {
    StartDevice(3);
    WriteFileBytes(dir_ / "SolBed_auto.hex", kSolBedFirmware);
    PresetProgramFile = (dir_ / "SolBed_auto.hex").string();
    DeviceStem = "solbed";
    StandIn("exit 2\n");
    AutoStartState = kAutoStartShown;
    ComPortNumber = 1;
    StartToolOnly();
    clock().advance(5000);
    EXPECT_EQ(AutoStartState, kAutoStartShown);
    EXPECT_THAT(ProcedureLines(), IsEmpty());
    ASSERT_TRUE(log().OpenComPort());
    clock().advance(10);
    EXPECT_EQ(AutoStartState, kAutoStartRunning);
    ASSERT_TRUE(RunToIdle());
    EXPECT_EQ(ProcedureLines().back(), kRecoveryFromIncompleteFirmwareText);
    EXPECT_EQ(tool_->procedure().lastReportLine(), "E> Update aborted");
    EXPECT_EQ(AutoStartState, kAutoStartRunning);
}

}  // namespace
}  // namespace nvx::test
