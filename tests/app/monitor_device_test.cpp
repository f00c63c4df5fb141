// The main window's logic against the virtual device over a real pseudo-terminal, under virtual
// time: Open COM, a frame leaves through the pump, its reply shows in the Rx view, nothing is
// counted as a fault; Close COM frees the line.

#if NVX_HAVE_TEST_SUPPORT

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <string>

#include "app/monitor.h"
#include "comm/api_request.h"
#include "monitor_doubles.h"
#include "support/device_harness.h"
#include "support/recording_dialogs.h"

namespace nvx::test {
namespace {

// The main window opens the port through the pump's channel operations.
class PumpPorts : public ChannelPorts {
public:
    explicit PumpPorts(TuvCommLogic& pump) : pump_(pump) {}
    bool OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate) override {
        return pump_.OpenChannelPort(channel, portNumber, baudRate);
    }
    void CloseChannelPort(int channel) override { pump_.CloseChannelPort(channel); }

private:
    TuvCommLogic& pump_;
};

class MonitorDeviceTest : public DeviceHarnessTest {
protected:
    void SetUp() override {
        DeviceHarnessTest::SetUp();
        ports_ = std::make_unique<PumpPorts>(h().pump());
        monitor_ = std::make_unique<Monitor>(h().clock(), *ports_, tones_, starter_, view_, windows_);
        SwitchComPort = 1;  // "/C 1": the virtual device's link
        monitor_->OnInitDialog();
    }
    void TearDown() override {
        monitor_.reset();
        ports_.reset();
        DeviceHarnessTest::TearDown();
    }

    RecordingToneSink tones_;
    RecordingStarter starter_;
    RecordingMonitorView view_;
    RecordingWindows windows_;
    std::unique_ptr<PumpPorts> ports_;
    std::unique_ptr<Monitor> monitor_;
};

TEST_F(MonitorDeviceTest, OpenComThenAFrameAndItsReplyShowInTheViews) {
    ASSERT_EQ(ComPortNumber, 1);
    monitor_->OnOpenCloseCom();
    ASSERT_EQ(ComPortState, kComPortOpen) << h().deviceLogText();
    EXPECT_EQ(monitor_->fields().logText, "I> COM Port Opened\r\n");
    EXPECT_EQ(view_.buttonText, "Close COM");
    EXPECT_TRUE(h().messageBoxes().shown.empty());

    const std::array<uint8_t, 5> errorsBefore = h().converterErrors();
    // The kernel's communication test: command 0 with an empty parameter.
    const DeviceHarness::Exchange reply = h().request(0x0080, {0x00, 0x00});
    ASSERT_EQ(reply.result, 2) << h().deviceLogText();
    h().advance(100);  // a few more pump ticks drain the trace rings

    const TuvCommFields& views = h().pump().fields();
    // "U", the identifier 0x0080 as the word 0x0202 with its parity bits, the two data bytes,
    // the check byte; the reply carries the same identifier.
    EXPECT_NE(views.txText.find("-0[55 02 02 00 00 "), std::string::npos) << views.txText;
    EXPECT_NE(views.rxText.find("-0[55 02 02 "), std::string::npos) << views.rxText;
    EXPECT_EQ(views.rxText.back(), ']');
    EXPECT_EQ(h().converterErrors(), errorsBefore);
}

TEST_F(MonitorDeviceTest, CloseComFreesTheLineForAnotherOpen) {
    monitor_->OnOpenCloseCom();
    ASSERT_EQ(ComPortState, kComPortOpen);
    monitor_->OnOpenCloseCom();
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_EQ(monitor_->fields().logText, "I> COM Port Closed\r\nI> COM Port Opened\r\n");
    // Opened exclusively: only a closed port can be opened again.
    monitor_->OnOpenCloseCom();
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_TRUE(h().messageBoxes().shown.empty());
}

// A request to a device answering later than the reply wait goes out twice and completes with
// the reply to its first copy: the reply to the second is still owed.
class MonitorLateDeviceTest : public MonitorDeviceTest {
protected:
    static constexpr uint32_t kLateMs = 800;

    void LeaveAReplyOwed() {
        monitor_->OnOpenCloseCom();
        ASSERT_EQ(ComPortState, kComPortOpen);
        h().device().faults().delayReply = sim::FaultRate::Always();
        h().device().faults().delayMs = kLateMs;
        const DeviceHarness::Exchange reply = h().request(0x0080, {0x00, 0x00});
        ASSERT_EQ(reply.result, 2) << h().deviceLogText();
        ASSERT_EQ(h().device().receivedFrames().size(), 2u) << h().deviceLogText();
        ASSERT_EQ(RepliesSent(), 1) << h().deviceLogText();
        ASSERT_TRUE(ApiRequest::RepliesOwed());
    }
    bool LineHeld() const { return g_channelPortNumber[0] != -1; }
    // Replies the device has put on the line (its log has a "tx" line for each).
    long RepliesSent() {
        return std::count_if(h().deviceLog().begin(), h().deviceLog().end(),
                             [](const std::string& line) { return line.find("tx ") != std::string::npos; });
    }
};

TEST_F(MonitorLateDeviceTest, CloseComWaitsOnATimerForTheOwedReplyThenCloses) {
    LeaveAReplyOwed();
    const uint64_t clicked = h().clock().nowMs();
    monitor_->OnOpenCloseCom();
    // Nothing waited inside the click; the port stays until the reply has come.
    EXPECT_EQ(h().clock().nowMs(), clicked);
    EXPECT_TRUE(LineHeld());
    EXPECT_EQ(view_.buttonText, "Close COM");

    ASSERT_TRUE(h().advanceUntil([&] { return !LineHeld(); }, 4 * 750));
    EXPECT_EQ(RepliesSent(), 2) << "the owed reply came while the port was open";
    EXPECT_FALSE(ApiRequest::RepliesOwed());
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_EQ(view_.buttonText, "Open COM");
    EXPECT_EQ(monitor_->fields().logText, "I> COM Port Closed\r\nI> COM Port Opened\r\n");

    // Opened again, the next request gets its own reply.
    h().device().faults().delayReply = sim::FaultRate::Never();
    monitor_->OnOpenCloseCom();
    ASSERT_EQ(ComPortState, kComPortOpen);
    const DeviceHarness::Exchange again = h().request(0x0080, {0x00, 0x00});
    EXPECT_EQ(again.result, 2);
    EXPECT_EQ(RepliesSent(), 3);
    EXPECT_TRUE(h().messageBoxes().shown.empty());
}

TEST_F(MonitorLateDeviceTest, QuitWaitsForTheOwedReplyBeforeTheWindowEnds) {
    LeaveAReplyOwed();
    monitor_->CloseMonitor();
    EXPECT_TRUE(view_.endResults.empty());
    EXPECT_TRUE(LineHeld());
    monitor_->CloseMonitor();  // asked again (timer 1 after an automatic update): one quit

    ASSERT_TRUE(h().advanceUntil([&] { return monitor_->ended(); }, 4 * 750));
    EXPECT_EQ(RepliesSent(), 2);
    EXPECT_FALSE(LineHeld());
    EXPECT_EQ(view_.endResults, std::vector<int>{1});
    EXPECT_EQ(monitor_->fields().logText, "I> COM Port Closed\r\nI> COM Port Opened\r\n");
}

// The update procedure frees the port for its bootloader work: at once, and a close that was
// waiting must not later close the line under it.
TEST_F(MonitorLateDeviceTest, AWindowTakingTheLineOverEndsAWaitingClose) {
    LeaveAReplyOwed();
    monitor_->OnOpenCloseCom();
    ASSERT_TRUE(LineHeld());
    monitor_->CloseComPort();
    EXPECT_FALSE(LineHeld());
    ASSERT_TRUE(monitor_->OpenComPort());  // as the update procedure takes the port back
    h().advance(4 * 750);
    EXPECT_TRUE(LineHeld());
    EXPECT_EQ(ComPortState, kComPortOpen);
    EXPECT_EQ(monitor_->fields().logText, "I> COM Port Opened\r\n");
}

TEST_F(MonitorDeviceTest, PortWithoutADeviceIsReportedAndStaysClosed) {
    ComPortNumber = 200;  // no com200 link and no /dev/ttyS199
    ::unsetenv("NORVIX_COM200");
    monitor_->OnOpenCloseCom();
    EXPECT_EQ(ComPortState, kComPortClosed);
    EXPECT_EQ(view_.buttonText, "Open COM");
    EXPECT_EQ(monitor_->fields().logText, "");
    ASSERT_FALSE(h().messageBoxes().shown.empty());
    EXPECT_EQ(h().messageBoxes().shown[0].text.rfind("Error open COM200:", 0), 0u);
}

}  // namespace
}  // namespace nvx::test

#endif  // NVX_HAVE_TEST_SUPPORT
