#pragma once
// The update procedure end to end under virtual time: the shared device harness (host stack,
// byte pump on COM 1, the virtual device on a pseudo-terminal) with the Programming Tool on top.
// The programmer is the stand-in program, started as a real child process, unless a test
// scripts it.

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "comm/api_request.h"
#include "prog_tool_fixture.h"
#include "support/device_harness.h"
#include "support/recording_dialogs.h"
#include "support/scripted_process_runner.h"

namespace nvx::test {

// The harness's shell, with the virtual time of every log line.
class TimedShell : public MonitorShell {
public:
    TimedShell(HarnessShell& inner, const TimerService& clock) : inner_(inner), clock_(clock) {}

    void AppendMonitorLog(std::string message) override {
        log.push_back(message);
        times.push_back(clock_.nowMs());
        inner_.AppendMonitorLog(std::move(message));
    }
    bool IsComPortOpen() override { return inner_.IsComPortOpen(); }
    bool OpenComPort() override { return !refuseOpen && inner_.OpenComPort(); }
    void CloseComPort() override { inner_.CloseComPort(); }
    void MarkComPortOpen() override { inner_.MarkComPortOpen(); }

    // Virtual time of the first line equal to text; -1 when there is none.
    int64_t TimeOf(const std::string& text) const {
        for (std::size_t i = 0; i < log.size(); ++i)
            if (log[i] == text) return static_cast<int64_t>(times[i]);
        return -1;
    }
    // Newest first, as the monitor log shows it.
    std::vector<std::string> NewestFirst() const { return {log.rbegin(), log.rend()}; }
    void Clear() {
        log.clear();
        times.clear();
    }
    int closeCalls() const { return inner_.closeCalls; }

    std::vector<std::string> log;
    std::vector<uint64_t> times;
    bool refuseOpen = false;

private:
    HarnessShell& inner_;
    const TimerService& clock_;
};

// Real time a running programmer is given per virtual tick.
constexpr int kProgrammerWaitPerTickMs = 5000;

constexpr const char* kSolBedFirmware =
    ":03000000010203F7\n"
    ":040003001020304059\n"
    ":00000001FF\n";

class DeviceUpdate : public testing::Test {
protected:
    void TearDown() override {
        Disconnect();
        SetProcessRunner(nullptr);
    }

    // The harness with a device of the list row's kind; the shell settings are fresh after it.
    void StartDevice(int row, sim::Faults faults = {}, bool inBootloader = false) {
        Disconnect();
        sim::DeviceOptions options;
        options.row = row;
        options.faults = faults;
        options.startInBootloader = inBootloader;
        if (std::getenv("NVX_SIM_LOG"))
            options.log = [](const std::string& line) { std::fprintf(stderr, "sim: %s\n", line.c_str()); };
        harness_ = std::make_unique<DeviceHarness>(std::move(options));
        dir_ = fs::path(harness_->startDirectory()).parent_path();
        fs::copy_file(NVX_STANDIN_PROGRAMMER, dir_ / kProgrammerFileName,
                      fs::copy_options::overwrite_existing);
        shell_ = std::make_unique<TimedShell>(harness_->shell(), harness_->clock());
        view_ = RecordingView{};
        row_ = row;
    }

    // The monitor's port open, the tool created and its row chosen.
    void StartTool() {
        ComPortNumber = 1;
        if (!shell_->IsComPortOpen()) {
            ASSERT_TRUE(shell_->OpenComPort());
        }
        StartToolOnly();
        view_.screen.deviceRow = row_;
        tool_->SelectDeviceRow();
        ASSERT_EQ(tool_->acceptedRow(), row_);
    }
    void StartToolOnly() {
        tool_.reset();
        tool_ = std::make_unique<ProgTool>(clock(), *shell_, view_);
        tool_->OnInitDialog();
    }

    void Connect(int row, sim::Faults faults = {}, bool inBootloader = false) {
        StartDevice(row, faults, inBootloader);
        StartTool();
    }

    void Disconnect() {
        tool_.reset();
        shell_.reset();
        harness_.reset();
        g_deviceSelection = DeviceSelection{};
        UpdateStep = kStepIdle;
        ProgOperation = kOperationNone;
        StepCountdown = 0;
    }

    VirtualClock& clock() { return harness_->clock(); }
    sim::VirtualDevice& device() { return harness_->device(); }
    TimedShell& log() { return *shell_; }
    RecordingMessageBoxes& boxes() { return harness_->messageBoxes(); }

    void UseFirmware(const std::string& name, const std::string& records = kSolBedFirmware) {
        WriteFileBytes(dir_ / name, records);
        view_.screen.programFilePath = (dir_ / name).string();
    }

    void StandIn(const std::string& settings) { WriteFileBytes(dir_ / "standin.cfg", settings); }

    // Advances one tick at a time until pred holds or maxMs have passed. A programmer that is
    // running is waited for (a while) before the next tick, so its run takes little virtual time.
    bool RunUntil(const std::function<bool()>& pred, uint64_t maxMs) {
        for (uint64_t waited = 0; waited < maxMs; waited += 10) {
            if (pred()) return true;
            if (tool_) tool_->procedure().WaitForProgrammer(kProgrammerWaitPerTickMs);
            clock().advance(10);
        }
        return pred();
    }
    // Idle with everything around the procedure done too (versions, backup, journal).
    bool RunToIdle(uint64_t maxMs = 60000) {
        return RunUntil([this] { return UpdateStep == kStepIdle && (!tool_ || tool_->IsIdle()); },
                        maxMs);
    }

    // The Program command: once the application's version has been read, the procedure runs.
    void Program() {
        tool_->OnProgram();
        RunUntil([this] { return UpdateStep != kStepIdle || tool_->IsIdle(); }, 10000);
    }

    // The procedure's own lines, oldest first: the log without the versions read around it.
    std::vector<std::string> ProcedureLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : shell_->log) {
            const bool version =
                line.rfind("I> Before: ", 0) == 0 || line.rfind("I> Now: ", 0) == 0 ||
                line == kVersionRoutedText || line == kVersionBeforeUnreadText ||
                line == kVersionAfterUnreadText;
            if (!version) lines.push_back(line);
        }
        return lines;
    }
    // Newest first, as the monitor log shows it.
    std::vector<std::string> ProcedureLog() const {
        const std::vector<std::string> lines = ProcedureLines();
        return {lines.rbegin(), lines.rend()};
    }

    // What the stand-in was given and saw, per run: its arguments, then "#cwd ...",
    // "#line ...", "#end".
    std::vector<std::vector<std::string>> StandInRuns() const {
        std::vector<std::vector<std::string>> runs;
        const std::string text = ReadFileBytes(dir_ / "standin.log");
        std::size_t pos = 0;
        while (pos < text.size()) {
            const std::size_t end = text.find('\n', pos);
            const std::string line = text.substr(pos, end - pos);
            pos = end == std::string::npos ? text.size() : end + 1;
            if (line == "run")
                runs.emplace_back();
            else if (line.rfind("arg ", 0) == 0 && !runs.empty())
                runs.back().push_back(line.substr(4));
            else if (!runs.empty())
                runs.back().push_back("#" + line);
        }
        return runs;
    }

    std::vector<sim::ReceivedFrame> KernelFrames() {
        std::vector<sim::ReceivedFrame> frames;
        for (const auto& f : device().receivedFrames())
            if (f.id == 0x0080) frames.push_back(f);
        return frames;
    }

    std::unique_ptr<DeviceHarness> harness_;
    std::unique_ptr<TimedShell> shell_;
    std::unique_ptr<ProgTool> tool_;
    RecordingView view_;
    ScriptedProcessRunner runner_;
    fs::path dir_;
    int row_ = 0;
};

}  // namespace nvx::test
