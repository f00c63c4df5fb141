// The main window's logic against the virtual device over a real pseudo-terminal, under virtual
// time: Open COM, a frame leaves through the pump, its reply shows in the Rx view, nothing is
// counted as a fault; Close COM frees the line.

#if NVX_HAVE_TEST_SUPPORT

#include <stdlib.h>

#include <array>
#include <string>

#include "app/monitor.h"
#include "comm/api_request.h"
#include "monitor_doubles.h"
#include "support/device_harness.h"

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
