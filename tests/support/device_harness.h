#pragma once
// The shared end-to-end fixture: the monitor's protocol stack and byte pump on a virtual clock,
// talking over a real pseudo-terminal to the virtual device, which is linked as COM 1 in a
// temporary start directory.
//
//   class MyTest : public nvx::test::DeviceHarnessTest {};
//   TEST_F(MyTest, ...) {
//       ASSERT_TRUE(h().openPort());
//       auto r = h().request(0x0080, {0xFF, 0x00});
//       EXPECT_EQ(r.result, 2);
//   }
//
// What it sets up, in the order the program starts: shell settings reset, the start directory
// (made the current directory, holding com1 and the part descriptions), the NT tick period
// (10 ms), the virtual device, the TUV pump (TuvCommLogic with a null view), a fresh stack
// (InitCommStack) and TickProc on its timer. The process-wide message boxes are recorded and the
// calendar follows the virtual clock. Only one harness may exist at a time: the stack is
// process-wide.
//
// Determinism: everything runs on the test's thread under the virtual clock; see
// sim/virtual_device.h for why pty traffic needs no real-time waiting.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/converter.h"
#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "shell/shell.h"
#include "sim/virtual_device.h"
#include "support/recording_dialogs.h"
#include "tuv/tuv_comm.h"

namespace nvx::test {

// The main window's services: the COM port is channel 0 of the pump at the monitor's 19200 baud,
// the log is recorded in call order (oldest first, unlike the window, which shows newest first).
class HarnessShell : public MonitorShell {
public:
    explicit HarnessShell(TuvCommLogic& pump) : pump_(pump) {}
    void AppendMonitorLog(std::string message) override { log.push_back(std::move(message)); }
    bool IsComPortOpen() override { return ComPortState != kComPortClosed; }
    bool OpenComPort() override;
    void CloseComPort() override;
    void MarkComPortOpen() override { ++markOpenCalls; }

    std::vector<std::string> log;
    int markOpenCalls = 0;
    int openCalls = 0;
    int closeCalls = 0;

private:
    TuvCommLogic& pump_;
};

// The TUV Communication window's pipe controls without a window: a test types the names and
// ticks the boxes here, then calls the box's command on the pump.
class HarnessPumpView : public NullTuvCommView {
public:
    void readControls(TuvCommFields& fields) override {
        for (int ch = 0; ch < kTuvChannelCount; ++ch) {
            fields.txPipeName[ch] = controls.txPipeName[ch];
            fields.rxPipeName[ch] = controls.rxPipeName[ch];
            fields.pipeTx[ch] = controls.pipeTx[ch];
            fields.pipeRx[ch] = controls.pipeRx[ch];
        }
    }
    TuvCommFields controls;
};

class DeviceHarness {
public:
    // Stack::Own: the harness runs a pump and the tick timer of its own (the stack's tests).
    // Stack::OfTheProgram: only the device, the start directory and the recorded boxes; the
    // program under test brings its pump (its TUV Communication window) and calls
    // startTickTimer() after it, as the program starts.
    enum class Stack { Own, OfTheProgram };
    explicit DeviceHarness(sim::DeviceOptions options = {}, Stack stack = Stack::Own);
    ~DeviceHarness();
    DeviceHarness(const DeviceHarness&) = delete;
    DeviceHarness& operator=(const DeviceHarness&) = delete;

    VirtualClock& clock() { return clock_; }
    sim::VirtualDevice& device() { return *device_; }
    TuvCommLogic& pump() { return *pump_; }
    // A fresh stack (InitCommStack) and TickProc on the harness's clock.
    void startTickTimer();
    HarnessPumpView& pumpView() { return pumpView_; }
    HarnessShell& shell() { return *shell_; }
    RecordingMessageBoxes& messageBoxes() { return boxes_; }
    // With a trailing '/', as StartDirectory holds it.
    const std::string& startDirectory() const { return startDir_; }
    // The device's log lines (frames in hex, events), for failure messages.
    const std::vector<std::string>& deviceLog() const { return deviceLog_; }
    std::string deviceLogText() const;

    // COM 1 open through the shell, as the main window opens it.
    bool openPort() { return shell_->OpenComPort(); }
    void closePort() { shell_->CloseComPort(); }

    void advance(uint64_t ms) { clock_.advance(ms); }
    // Advances 1 ms at a time until pred() holds; false when maxMs passed without it.
    bool advanceUntil(const std::function<bool()>& pred, uint64_t maxMs) {
        return clock_.advanceUntil(pred, maxMs, 1);
    }

    // One request through g_apiRequest, polled once per tick like a client window: the final
    // Poll result (reply length, -3 failed, -2 lost) with the reply, and the time it took.
    // result is -4 when Start was refused, -5 when nothing final came within maxMs.
    struct Exchange {
        int32_t result = 0;
        BusMessage reply{};
        uint64_t tookMs = 0;
        uint16_t replyWord() const { return static_cast<uint16_t>(reply.data[0] | reply.data[1] << 8); }
    };
    Exchange request(uint32_t id, const std::vector<uint8_t>& data, uint32_t replyTimeoutMs = 0,
                     uint64_t maxMs = 20000);

    // Tf Overflow, Tx Error, Rx Overflow, Rf Error, Rx Error of channel 0.
    std::array<uint8_t, 5> converterErrors() const;

private:
    VirtualClock clock_;
    TimerCalendarClock calendar_{clock_, 1'700'000'000};
    RecordingMessageBoxes boxes_;
    HarnessPumpView pumpView_;
    std::string previousCwd_;
    std::string startDir_;
    std::vector<std::string> deviceLog_;
    std::unique_ptr<sim::VirtualDevice> device_;
    std::unique_ptr<TuvCommLogic> pump_;
    std::unique_ptr<HarnessShell> shell_;
    int tickTimer_ = 0;
};

// A gtest fixture holding one harness; override deviceOptions() for another device or faults.
class DeviceHarnessTest : public ::testing::Test {
protected:
    virtual sim::DeviceOptions deviceOptions() { return {}; }
    void SetUp() override { harness_ = std::make_unique<DeviceHarness>(deviceOptions()); }
    void TearDown() override { harness_.reset(); }
    DeviceHarness& h() { return *harness_; }
    // Replaces the harness, e.g. for a test that needs another device.
    void restart(sim::DeviceOptions options) {
        harness_.reset();
        harness_ = std::make_unique<DeviceHarness>(std::move(options));
    }

private:
    std::unique_ptr<DeviceHarness> harness_;
};

}  // namespace nvx::test
