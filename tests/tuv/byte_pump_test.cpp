// The byte pump without any window over it, as the device commands of nvx run it: a frame of
// the stack reaches the line and the frame rows, the device's answer reaches the stack, and
// whoever sits on top hears of each tick once its bytes have moved.

#include <gtest/gtest.h>

#include <cstdlib>

#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/pty_support.h"
#include "platform/serial_port.h"
#include "platform/timer_service.h"
#include "platform/user_dialogs.h"
#include "support/recording_dialogs.h"
#include "tuv/byte_pump.h"

namespace nvx::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kPort = 43;  // resolved through NORVIX_COM43

class BytePumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetCalendar(&calendar);
        SetMessageBoxes(&boxes);
        g_tickPeriodMs = 10;
        g_startTickPeriodMs = 10;
        g_measureStart = calendar.now();
        g_tickCount = 0;
        InitCommStack();
        ASSERT_TRUE(pty.ok());
        ::setenv("NORVIX_COM43", pty.slave().c_str(), 1);
        pump.Start();
        ASSERT_TRUE(pump.OpenChannelPort(0, kPort, kChannelBaudRate));
        tickTimer = StartTickTimer(clock);
    }
    void TearDown() override {
        clock.stop(tickTimer);
        pump.CloseChannelPort(0);
        ::unsetenv("NORVIX_COM43");
        SetMessageBoxes(nullptr);
        SetCalendar(nullptr);
    }

    VirtualClock clock;
    TimerCalendarClock calendar{clock, 1'400'000'000};
    RecordingMessageBoxes boxes;
    Pty pty;
    BytePump pump{clock};
    int tickTimer = 0;
};

TEST_F(BytePumpTest, AFrameGoesOutAndTheAnswerComesInWithTheirRows) {
    BusMessage m{};
    m.id = 0x0301;
    m.length = 4;
    for (uint8_t i = 0; i < 4; ++i) m.data[i] = Bytes{0x10, 0x20, 0xF0, 0x80}[i];
    ASSERT_EQ(ConverterSend(m), 0);
    const Bytes frame{0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5};
    Bytes got;
    for (int i = 0; i < 100 && got.size() < frame.size(); ++i) {
        clock.advance(10);
        uint8_t buf[16];
        const ssize_t n = ::read(pty.master(), buf, sizeof buf);
        if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    if (got.size() < frame.size()) {
        const Bytes rest = pty.ReadMaster(frame.size() - got.size());
        got.insert(got.end(), rest.begin(), rest.end());
    }
    EXPECT_EQ(got, frame);

    const Bytes answer{0x56, 0x02, 0x02, 0x10, 0x20, 0xF0, 0x80, 0x04};
    ASSERT_TRUE(pty.WriteMaster(answer));
    ASSERT_TRUE(WaitPending(g_serialPort.fd(), static_cast<int>(answer.size())));
    const uint8_t rxTraceBefore = g_rxTrace[0].writeIndex;
    clock.advance(10);
    // The link driver took the answer: its receive trace holds the frame's bytes.
    EXPECT_NE(g_rxTrace[0].writeIndex, rxTraceBefore);
    EXPECT_EQ(Pending(g_serialPort.fd()), 0);

    ASSERT_EQ(pump.frameLog().size(), 2u);
    EXPECT_EQ(pump.frameLog().at(0).direction, FrameDirection::Tx);
    EXPECT_TRUE(pump.frameLog().at(0).checkOk);
    EXPECT_EQ(pump.frameLog().at(1).direction, FrameDirection::Rx);
    EXPECT_EQ(pump.frameLog().at(1).length, answer.size());
}

TEST_F(BytePumpTest, TheHookRunsOncePerTickAfterTheBytesMoved) {
    int ticks = 0;
    std::size_t rowsSeen = 0;
    pump.SetAfterTick([&] {
        ++ticks;
        rowsSeen = pump.frameLog().size();
    });
    const Bytes answer{0x56, 0x02, 0x02, 0x10, 0x20, 0xF0, 0x80, 0x04};
    ASSERT_TRUE(pty.WriteMaster(answer));
    ASSERT_TRUE(WaitPending(g_serialPort.fd(), static_cast<int>(answer.size())));
    clock.advance(10);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(rowsSeen, 1u);  // the answer read on this very tick is in the rows already
    clock.advance(90);
    EXPECT_EQ(ticks, 10);
}

}  // namespace
}  // namespace nvx::test
