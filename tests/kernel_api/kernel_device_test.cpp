// The kernel API against the virtual device over a real pseudo-terminal, in virtual time: what
// the device receives for every command, and what it answers shown in the window's fields.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "comm/api_request.h"
#include "kernel_api/kernel_api.h"
#include "kernel_command_cases.h"
#include "kernel_doubles.h"
#include "platform/format.h"
#include "support/device_harness.h"

namespace nvx {
namespace {

using test::Bytes;

class KernelDeviceTest : public test::DeviceHarnessTest {
protected:
    void SetUp() override {
        DeviceHarnessTest::SetUp();
        Fresh();
    }
    void TearDown() override {
        api.reset();
        DeviceHarnessTest::TearDown();
    }

    // A new device (and window) for each case that changes the device for good.
    void Fresh(sim::DeviceOptions options = {}) {
        api.reset();
        restart(std::move(options));
        ResetKernelApiState();
        view = test::RecordingKernelView{};
        api = std::make_unique<KernelApi>(h().clock(), h().shell(), view);
        api->OnInitDialog();
        ASSERT_TRUE(h().openPort());
    }

    void Send(const char* label, const std::string& parameter) {
        view.screen.commandRow = FindKernelCommand(label);
        ASSERT_GE(view.screen.commandRow, 0) << label;
        view.screen.parameterText = parameter;
        api->OnSendCommand();
    }

    bool RunToEnd(uint64_t maxMs = 20000) {
        return h().advanceUntil(
            [] {
                return KernelWindowState != kKernelWindowBusy &&
                       KernelRequestState == kKernelRequestIdle;
            },
            maxMs);
    }

    std::vector<Bytes> DataSeen(uint16_t id) {
        std::vector<Bytes> out;
        for (const sim::ReceivedFrame& f : h().device().receivedFrames()) {
            if (f.id == id) out.emplace_back(f.data.begin(), f.data.begin() + f.length);
        }
        return out;
    }

    const std::vector<std::string>& log() { return h().shell().log; }

    test::RecordingKernelView view;
    std::unique_ptr<KernelApi> api;
};

TEST_F(KernelDeviceTest, EveryRowOfTheListReachesTheDeviceOnce) {
    // P = 0x0102 (0x02 as a byte) shows where each mode puts it. Each row gets a fresh device:
    // several of them restart it, clear its memories or send it into the bootloader.
    constexpr uint16_t kP = 0x0102;
    int listed = 0;
    for (const KernelCommand& c : KernelCommandTable) listed += c.separator ? 0 : 1;
    ASSERT_EQ(listed, static_cast<int>(std::size(test::kKernelCommandCases)));

    for (const test::KernelCommandCase& r : test::kKernelCommandCases) {
        Fresh();
        Send(r.label, r.parameterText(kP));
        ASSERT_TRUE(RunToEnd()) << r.label;
        EXPECT_EQ(DataSeen(0x0080), std::vector<Bytes>{r.requestData(kP)})
            << r.label << "\n" << h().deviceLogText();
        const bool isNull = std::string(r.label) == "Null";
        ASSERT_EQ(log().size(), 1u) << r.label;
        EXPECT_EQ(log()[0], isNull ? "I> Communication OK" : "I> API Command OK") << r.label;
        EXPECT_EQ(view.screen.returnCodeDecimal.empty(), isNull) << r.label;
    }
}

TEST_F(KernelDeviceTest, TheThreeVersionsShowTheDevicesIdentity) {
    const sim::VersionInfo& v = h().device().deviceType().versions;
    api->OnVersionButton(kKernelVersionHardware);
    ASSERT_TRUE(RunToEnd());
    api->OnVersionButton(kKernelVersionNorvix);
    ASSERT_TRUE(RunToEnd());
    api->OnVersionButton(kKernelVersionApplication);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(view.screen.hardwareVersion,
              Format("P %u, V %u, H 0x%02X/%02X", v.platform, v.variant, v.hardwareCode >> 8,
                     v.hardwareCode & 0xFF));
    EXPECT_EQ(view.screen.norvixVersion,
              Format("V %u.%u, App# %2u", v.kernelMajor, v.kernelMinor, v.appNumber));
    EXPECT_EQ(view.screen.applicationVersion,
              Format("V %u.%u, Build %02u-%02u", v.appMajor, v.appMinor, v.buildYear, v.buildWeek));
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(DataSeen(0x0081), (std::vector<Bytes>{{0, 0}, {1, 0}, {2, 0}}));
}

TEST_F(KernelDeviceTest, ResetRestartsTheDeviceAndBootNumberReadsItsCounter) {
    const uint32_t restarts = h().device().restartCount();
    Send("Reset", "0");
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(log(), std::vector<std::string>{"I> API Command OK"});
    EXPECT_EQ(h().device().restartCount(), restarts + 1);

    Send("BootNumber", "");
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(view.screen.returnCodeDecimal, std::to_string(h().device().bootNumber()));
    EXPECT_EQ(view.screen.returnCodeHex, Format("0x%04X", h().device().bootNumber()));
}

TEST_F(KernelDeviceTest, ErrorClearWaitsForTheBusyDeviceWithOneRequest) {
    ASSERT_FALSE(h().device().errorEntries().empty());
    Send("ErrorClear", "0");
    ASSERT_EQ(view.questions.size(), 1u);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(log(), std::vector<std::string>{"I> API Command OK"});
    EXPECT_EQ(DataSeen(0x0080).size(), 1u) << h().deviceLogText();
    EXPECT_TRUE(h().device().errorEntries().empty());
}

TEST_F(KernelDeviceTest, DebugQueriesCarryTheirNumbers) {
    view.screen.slotNumber = 300;
    api->OnSlotButton();
    ASSERT_TRUE(RunToEnd());
    view.screen.timerNumber = 3;
    api->OnTimerButton();
    ASSERT_TRUE(RunToEnd());
    api->OnBytesButton();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(DataSeen(0x008F), (std::vector<Bytes>{{0x00, 44}, {0x00, 252}, {0x01, 0x00}}));
    EXPECT_EQ(view.screen.slotResult.rfind("Slot 300: ", 0), 0u) << view.screen.slotResult;
    EXPECT_EQ(view.screen.timerResult.rfind("Timer 3: ", 0), 0u) << view.screen.timerResult;
    EXPECT_EQ(view.screen.bytesResult.rfind("Hex: ", 0), 0u) << view.screen.bytesResult;
    EXPECT_EQ(view.screen.bytesResult.size(), std::string("Hex: 00 00 00 00").size());
    EXPECT_TRUE(log().empty());
}

TEST_F(KernelDeviceTest, DeviceFaultsBecomeTheirLogLines) {
    const struct {
        const char* name;
        std::function<void(sim::Faults&)> fault;
        std::function<void()> press;
        const char* line;
        std::size_t requests;
    } cases[] = {
        {"wrong length on a version", [](sim::Faults& f) { f.wrongLength = sim::FaultRate::Always(); },
         [&] { api->OnVersionButton(kKernelVersionNorvix); }, "E> Wrong Format Response at ID: 0081", 1},
        {"wrong length on a command", [](sim::Faults& f) { f.wrongLength = sim::FaultRate::Always(); },
         [&] { Send("HardwareCode", "0"); }, "E> Wrong Format Response at ID: 0080", 1},
        {"no reply", [](sim::Faults& f) { f.dropReply = sim::FaultRate::Always(); },
         [&] { Send("Reboot", "0"); }, "E> No Reply from Kernel", 4},
        {"one lost reply", [](sim::Faults& f) { f.dropReply = sim::FaultRate::Times(1); },
         [&] { api->OnTestCommunication(); }, "I> Communication OK", 2},
    };
    for (const auto& c : cases) {
        sim::DeviceOptions options;
        c.fault(options.faults);
        Fresh(options);
        c.press();
        ASSERT_TRUE(RunToEnd()) << c.name;
        EXPECT_EQ(log(), std::vector<std::string>{c.line}) << c.name;
        EXPECT_EQ(h().device().receivedFrames().size(), c.requests) << c.name;
        EXPECT_EQ(KernelWindowState, kKernelWindowReady) << c.name;
    }
}

TEST_F(KernelDeviceTest, ARequestWaitsWhileAnotherClientUsesTheEngine) {
    BusMessage text{};
    MsgSetByte(text, 0, 0);  // the starting texts' first character
    ASSERT_TRUE(g_apiRequest.Start(0x0411, text, 0));
    Send("BootNumber", "0");
    ASSERT_TRUE(h().advanceUntil([] { return ApiRequest::State() == kRequestDone; }, 2000));
    h().advance(300);
    EXPECT_EQ(KernelRequestState, kKernelRequestPending);
    EXPECT_TRUE(DataSeen(0x0080).empty());

    int32_t info = 0;
    BusMessage other{};
    EXPECT_EQ(g_apiRequest.Poll(other, info, info, info), 2);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(DataSeen(0x0080), (std::vector<Bytes>{{0xCE, 0x00}}));
    EXPECT_EQ(log(), std::vector<std::string>{"I> API Command OK"});
}

}  // namespace
}  // namespace nvx
