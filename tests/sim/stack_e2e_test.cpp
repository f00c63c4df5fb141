// The monitor's protocol stack and byte pump against the virtual device, end to end over a pty.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "comm/api_request.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/serial_port.h"
#include "support/device_harness.h"

namespace nvx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::vector<uint8_t> AsVector(const std::deque<uint8_t>& d) { return {d.begin(), d.end()}; }

class StackE2eTest : public DeviceHarnessTest {};

TEST_F(StackE2eTest, ResetTravelsAsItsSixBytesAndTheReplyCompletesTheRequest) {
    ASSERT_TRUE(h().openPort());
    const DeviceHarness::Exchange e = h().request(0x0080, {0xFF, 0x00});
    ASSERT_EQ(e.result, 2) << h().deviceLogText();
    EXPECT_EQ(e.reply.id & 0x3FFF, 0x0080u);
    EXPECT_EQ(e.replyWord(), 0x0000);
    // On the wire: "U", identifier word 0x0202 with its parity bits, FF 00, check byte.
    EXPECT_THAT(AsVector(h().device().bytesReceived()), ElementsAre(0x55, 0x02, 0x02, 0xFF, 0x00, 0xA6));
    // Both directions as the traffic window shows them.
    EXPECT_THAT(h().pump().fields().txText, HasSubstr("[55 02 02 FF 00 A6 ]"));
    EXPECT_THAT(h().pump().fields().rxText, HasSubstr("[55 02 02 00 00 A6 ]"));
    EXPECT_EQ(h().device().restartCount(), 1u);
    // Three ticks to the line, six pump ticks on it, the reply back: well inside one reply wait.
    EXPECT_LT(e.tookMs, 200u);
    EXPECT_EQ(h().converterErrors(), (std::array<uint8_t, 5>{0, 0, 0, 0, 0}));
}

TEST_F(StackE2eTest, VersionAndTextRequestsComeBackWithTheirIdentifiers) {
    ASSERT_TRUE(h().openPort());
    const DeviceHarness::Exchange version = h().request(0x0081, {0x02, 0x00});
    ASSERT_EQ(version.result, 4);
    EXPECT_EQ(version.reply.id & 0x3FFF, 0x0081u);
    EXPECT_EQ(version.reply.data[1], h().device().deviceType().versions.appMajor);
    const DeviceHarness::Exchange text = h().request(0x0411, {0x80 | 4, 'Q'});
    ASSERT_EQ(text.result, 2);
    EXPECT_EQ(text.reply.data[0], 'Q');
    EXPECT_EQ(h().device().texts()[4], 'Q');
}

TEST_F(StackE2eTest, AReplyDroppedOnceIsCompletedByTheResend) {
    h().device().faults().dropReply = sim::FaultRate::Times(1);
    ASSERT_TRUE(h().openPort());
    const DeviceHarness::Exchange e = h().request(0x0080, {0xCE, 0x00});  // BootNumber
    ASSERT_EQ(e.result, 2) << h().deviceLogText();
    EXPECT_EQ(e.replyWord(), h().device().bootNumber());
    ASSERT_EQ(h().device().receivedFrames().size(), 2u) << "the request went out twice";
    EXPECT_EQ(h().device().counters().repliesDropped, 1u);
    // The resend comes only after the first 750 ms reply wait.
    const uint64_t gap = h().device().receivedFrames()[1].atMs - h().device().receivedFrames()[0].atMs;
    EXPECT_GE(gap, 750u);
    EXPECT_LT(gap, 850u);
    EXPECT_GT(e.tookMs, 750u);
}

TEST_F(StackE2eTest, CorruptedRepliesAreCountedAsRfErrorsAndTheResendGetsThrough) {
    h().device().faults().corruptCheckByte = sim::FaultRate::Times(1);
    h().device().faults().breakParity = sim::FaultRate::Times(2);
    ASSERT_TRUE(h().openPort());
    // The first reply has a bad check byte and broken parity, the second broken parity; the
    // third is right.
    const DeviceHarness::Exchange e = h().request(0x0080, {0xCE, 0x00});
    ASSERT_EQ(e.result, 2) << h().deviceLogText();
    EXPECT_EQ(h().device().receivedFrames().size(), 3u);
    const std::array<uint8_t, 5> errors = h().converterErrors();
    EXPECT_EQ(errors[3], 2) << "Rf Error";
    EXPECT_EQ(errors[0] + errors[1] + errors[2] + errors[4], 0);
}

TEST_F(StackE2eTest, RepliesCorruptedEveryTimeFailTheRequestAfterFourSends) {
    h().device().faults().corruptCheckByte = sim::FaultRate::Always();
    ASSERT_TRUE(h().openPort());
    const DeviceHarness::Exchange e = h().request(0x0080, {0x00, 0x00});
    EXPECT_EQ(e.result, kPollFailed);
    EXPECT_EQ(h().device().receivedFrames().size(), 4u);
    EXPECT_EQ(h().converterErrors()[3], 4) << "Rf Error";
    for (uint8_t b : e.reply.data) EXPECT_EQ(b, 0);
}

TEST_F(StackE2eTest, AtTheWrongBaudRateTheDeviceStaysSilent) {
    ASSERT_TRUE(h().pump().OpenChannelPort(0, 1, 9600));
    const DeviceHarness::Exchange e = h().request(0x0080, {0xFF, 0x00});
    EXPECT_EQ(e.result, kPollFailed);
    EXPECT_GE(e.tookMs, 4 * 750u);
    EXPECT_THAT(h().device().receivedFrames(), IsEmpty());
    EXPECT_EQ(h().device().counters().bytesAtWrongSpeed, 4 * 6u) << "four sends of six bytes";
    EXPECT_EQ(h().pump().fields().rxText, "");
    EXPECT_EQ(h().device().restartCount(), 0u);
    // The same port at the monitor's speed works.
    h().pump().CloseChannelPort(0);
    ASSERT_TRUE(h().openPort());
    EXPECT_EQ(h().request(0x0080, {0xFF, 0x00}).result, 2);
}

TEST_F(StackE2eTest, ErrorClearNeedsTheLongReplyWait) {
    ASSERT_TRUE(h().openPort());
    const DeviceHarness::Exchange e = h().request(0x0080, {0xD8, 0x00}, 15000);
    ASSERT_EQ(e.result, 2);
    EXPECT_GE(e.tookMs, sim::kErrorClearBusyMs);
    EXPECT_EQ(h().device().receivedFrames().size(), 1u) << "sent once: the long wait covers the erase";
    EXPECT_THAT(h().device().errorEntries(), IsEmpty());
}

TEST_F(StackE2eTest, PortClosedAndReopenedByTheShellKeepsWorking) {
    ASSERT_TRUE(h().openPort());
    EXPECT_EQ(h().request(0x0080, {0x00, 0x00}).result, 2);
    h().closePort();
    h().advance(100);
    ASSERT_TRUE(h().openPort());
    EXPECT_EQ(h().request(0x0080, {0x00, 0x00}).result, 2);
    EXPECT_EQ(h().shell().openCalls, 2);
    EXPECT_EQ(h().device().receivedFrames().size(), 2u);
}

TEST_F(StackE2eTest, NoisePrecedingRepliesIsSkippedByTheLinkDriver) {
    h().device().faults().noise = sim::FaultRate::Always();
    ASSERT_TRUE(h().openPort());
    for (int i = 0; i < 3; ++i) {
        const DeviceHarness::Exchange e = h().request(0x0080, {0xBF, 0x00});  // HardwareCode
        ASSERT_EQ(e.result, 2);
        EXPECT_EQ(e.replyWord(), h().device().deviceType().versions.hardwareCode);
    }
    EXPECT_EQ(h().device().receivedFrames().size(), 3u);
}

class RoutedStackE2eTest : public DeviceHarnessTest {
protected:
    sim::DeviceOptions deviceOptions() override {
        sim::DeviceOptions o;
        o.device = "solreg";
        return o;
    }
};

TEST_F(RoutedStackE2eTest, TunnelThenBootloadStartPutsTheUnitBehindIntoItsBootloader) {
    ASSERT_TRUE(h().openPort());
    const DeviceHarness::Exchange on = h().request(0x0080, {0xED, 0xFF});
    ASSERT_EQ(on.result, 2);
    EXPECT_EQ(on.replyWord(), 0);
    ASSERT_TRUE(h().device().tunnelOn());
    const DeviceHarness::Exchange boot = h().request(0x0080, {0xFD, 25});
    ASSERT_EQ(boot.result, 2);
    EXPECT_EQ(boot.replyWord(), 0);
    EXPECT_TRUE(h().device().inBootloader());
    EXPECT_EQ(h().device().listeningBaud(), 19200u);
}

}  // namespace
}  // namespace nvx::test
