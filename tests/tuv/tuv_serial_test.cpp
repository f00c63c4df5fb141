// The pump on a real serial line: a pseudo-terminal whose slave the COM number resolves to.

#include <cstdlib>

#include "tuv_fixture.h"

namespace nvx::test {
namespace {

constexpr int32_t kPort = 41;  // resolved through NORVIX_COM41

class TuvSerialTest : public TuvCommTest {
protected:
    void SetUp() override {
        TuvCommTest::SetUp();
        ASSERT_TRUE(pty.ok());
        ::setenv("NORVIX_COM41", pty.slave().c_str(), 1);
    }
    void TearDown() override {
        TuvCommTest::TearDown();
        ::unsetenv("NORVIX_COM41");
    }

    // Pump ticks (with the stack ticking) until the master has `count` bytes; returns them.
    Bytes DeviceReads(size_t count) {
        Bytes got;
        for (int i = 0; i < 200 && got.size() < count; ++i) {
            Pump();
            uint8_t buf[64];
            const ssize_t n = ::read(pty.master(), buf, sizeof buf);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        // The pty hands bytes over asynchronously: collect what is still on its way.
        if (got.size() < count) {
            const Bytes rest = pty.ReadMaster(count - got.size());
            got.insert(got.end(), rest.begin(), rest.end());
        }
        return got;
    }

    // The device answers; returns once all its bytes are pending at the port.
    void DeviceWrites(const Bytes& bytes) {
        ASSERT_TRUE(pty.WriteMaster(bytes));
        ASSERT_TRUE(WaitPending(g_serialPort.fd(), static_cast<int>(bytes.size())));
    }

    Pty pty;
};

TEST_F(TuvSerialTest, OpenChannelPortEmptiesTheTransmitRegister) {
    g_linkTxRegister[0] = 0x55;
    ASSERT_TRUE(logic->OpenChannelPort(0, kPort, kChannelBaudRate));
    EXPECT_TRUE(g_serialPort.IsOpen());
    EXPECT_EQ(g_channelPortNumber[0], kPort);
    EXPECT_EQ(g_linkTxRegister[0], -1);
    Pump(3);
    EXPECT_EQ(Pending(pty.master()), 0);  // the stale byte never reached the line
    logic->CloseChannelPort(0);
    EXPECT_FALSE(g_serialPort.IsOpen());
    EXPECT_EQ(g_channelPortNumber[0], -1);
}

TEST_F(TuvSerialTest, FailedOpenChangesNothing) {
    ::setenv("NORVIX_COM41", (dir / "no-such-tty").c_str(), 1);
    g_linkTxRegister[0] = 0x55;
    EXPECT_FALSE(logic->OpenChannelPort(0, kPort, kChannelBaudRate));
    EXPECT_EQ(g_channelPortNumber[0], -1);
    EXPECT_EQ(g_linkTxRegister[0], 0x55);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "Error open COM41:\n" + (dir / "no-such-tty") + ": No such file or directory");
}

TEST_F(TuvSerialTest, ARequestGoesOutAndTheReplyComesInWithinOneTick) {
    ASSERT_TRUE(logic->OpenChannelPort(0, kPort, kChannelBaudRate));
    StartTickTimer(clock);
    BusMessage request{};
    MsgSetByte(request, 0, 0xFF);
    ASSERT_TRUE(g_apiRequest.Start(0x0080, request, 0));
    EXPECT_EQ(DeviceReads(6), (Bytes{0x55, 0x02, 0x02, 0xFF, 0x00, 0xA6}));

    // All pending bytes are handed to the driver on one pump tick; bytes from 0x80 up included.
    DeviceWrites({0x56, 0x02, 0x02, 0x10, 0x20, 0xF0, 0x80, 0x04});
    clock.advance(10);
    // Frame numbers are shared with the Tx trace: the request was frame 1.
    EXPECT_EQ(view.controls.rxText, "\r\n0002-0[56 02 02 10 20 F0 80 04 ]");
    BusMessage reply{};
    int32_t info = 0;
    int32_t result = kPollUnderWay;
    clock.advanceUntil([&] { return (result = g_apiRequest.Poll(reply, info, info, info)) != kPollUnderWay; }, 100, 10);
    ASSERT_EQ(result, 4);
    EXPECT_EQ(MsgGetWord(reply, 2), 0x80F0);
}

TEST_F(TuvSerialTest, ComBoxOpensThePortNamedInItsField) {
    view.controls.portText[0] = "41";
    view.controls.com[0] = 1;
    logic->OnComClicked(0);
    EXPECT_EQ(g_channelPortNumber[0], kPort);
    EXPECT_TRUE(g_serialPort.IsOpen());
    view.controls.com[0] = 0;
    logic->OnComClicked(0);
    EXPECT_EQ(g_channelPortNumber[0], -1);
    EXPECT_FALSE(g_serialPort.IsOpen());
}

TEST_F(TuvSerialTest, TransmitPipeMirrorsTheWholeFrameWhileThePortIsOpen) {
    ASSERT_TRUE(logic->OpenChannelPort(0, kPort, kChannelBaudRate));
    const std::string path = dir / "mirror.bin";
    SetTxPipe(0, path, true);
    StartTickTimer(clock);
    Queue(0x0301, {0x10, 0x20, 0xF0, 0x80});
    const Bytes frame{0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5};
    EXPECT_EQ(DeviceReads(frame.size()), frame);
    EXPECT_EQ(ReadFile(path), frame);
}

}  // namespace
}  // namespace nvx::test
