// Whatever arrives on the line: garbage, cut frames, wrong check bytes and parity, bursts.

#include "comm_fixture.h"

namespace nvx::test {
namespace {

using BadInputTest = StackTest;

void ExpectSane() {
    const LinkChannel& link = g_linkChannels[0];
    const ConverterChannel& conv = g_converterChannels[0];
    ASSERT_LE(link.state, kLinkReceiving);
    ASSERT_LE(link.txPos, kLinkFrameBufferSize);
    ASSERT_LE(link.rxPos, kLinkFrameBufferSize);
    ASSERT_LE(link.control & kLinkCountMask, 8);
    ASSERT_LE(conv.state, kConvRecover);
    ASSERT_LT(conv.txRead, kTxQueueSize);
    ASSERT_LT(conv.txWrite, kTxQueueSize);
    ASSERT_LE(conv.txControl & 0x0F, 4);
    ASSERT_LT(g_txTrace[0].writeIndex, kTraceRingSize);
    ASSERT_LT(g_rxTrace[0].writeIndex, kTraceRingSize);
    ASSERT_EQ(g_linkRxRegister[0], -1);
    ASSERT_GE(g_traceFrameNumber[0], 0);
    ASSERT_LE(g_traceFrameNumber[0], kTraceMaxFrameNumber);
    for (uint8_t s : conv.rxStatus) {
        const uint8_t timer = s & 0x3F;
        ASSERT_TRUE(timer <= 20 || timer == 0x3F) << int(s);
    }
}

TEST_F(BadInputTest, SignExtendedBytesAreTakenByTheirLowEightBits) {
    for (uint8_t b : Bytes{0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5}) {
        g_linkRxRegister[0] = static_cast<int8_t>(b);  // the pump sign-extends
        LinkRxByte(0);
    }
    EXPECT_EQ(Conv().rxStatus[0], 0xBF);
    EXPECT_EQ(Bytes(Conv().rxData[0], Conv().rxData[0] + 4), (Bytes{0x10, 0x20, 0xF0, 0x80}));
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST_F(BadInputTest, CutFrameSwallowsTheNextBytesThenTheLineResynchronises) {
    TickProc();
    // "54 04" then a whole frame: the cut frame takes the next kind byte as its last identifier
    // byte and the byte after it as its check byte; the rest of that frame is noise.
    Receive({0x54, 0x04});
    Receive(DeviceFrame(0x0123, {}));
    EXPECT_EQ(Errors()[3], 1);  // Rf Error for the cut frame
    EXPECT_EQ(Conv().rxStatus[0], 0);
    // The line is in step again from the next frame on.
    Receive(DeviceFrame(0x0124, {1, 2}));
    TickProc();
    BusMessage m = Message(0x0124, {});
    EXPECT_EQ(ConverterReceive(m), 0x0124);
    ExpectSane();
}

TEST_F(BadInputTest, CutFrameWithNothingAfterItTimesOut) {
    TickProc();
    Receive({0x56, 0x0C, 0x06});
    int ticks = 0;
    while (Errors()[4] == 0 && ticks < 100) {
        TickProc();
        ++ticks;
    }
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 1}));
    Ticks(2);
    EXPECT_EQ(Link().state, kLinkIdle);
    EXPECT_EQ(Status()[0], kConvIdle);
    Receive(DeviceFrame(0x0123, {}));
    TickProc();
    BusMessage m = Message(0x0123, {});
    EXPECT_EQ(ConverterReceive(m), 0x0123);
}

TEST_F(BadInputTest, WrongCheckBytesAndParityAreCountedOncePerFrame) {
    struct Case {
        const char* name;
        Bytes wire;
        std::vector<uint8_t> errors;
    };
    Bytes badParity = DeviceFrame(0x0123, {1, 2});
    badParity[2] ^= 0x01;
    badParity.back() = DeviceCheckByte(Bytes(badParity.begin(), badParity.end() - 1));
    Bytes badCheck = DeviceFrame(0x0301, {1, 2, 3, 4});
    badCheck.back() ^= 0x80;
    const Case cases[] = {
        {"bad parity", badParity, {0, 0, 0, 1, 0}},
        {"bad check byte", badCheck, {0, 0, 0, 1, 0}},
        {"both, three times", [&] {
             Bytes b;
             for (int i = 0; i < 3; ++i) {
                 b.insert(b.end(), badParity.begin(), badParity.end());
                 b.insert(b.end(), badCheck.begin(), badCheck.end());
             }
             return b;
         }(), {0, 0, 0, 6, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InitCommStack();
        TickProc();
        Receive(c.wire);
        TickProc();
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(Status()[3], 0);
    }
}

TEST_F(BadInputTest, BurstLongerThanTheSlots) {
    TickProc();
    for (int i = 0; i < 20; ++i) Receive(DeviceFrame(static_cast<uint16_t>(0x0200 + i), {static_cast<uint8_t>(i), 0}));
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 12, 0, 0}));
    TickProc();
    for (int i = 0; i < 8; ++i) {
        BusMessage m = Message(static_cast<uint32_t>(0x0200 + i), {});
        EXPECT_EQ(ConverterReceive(m), 0x0200 + i);
        EXPECT_EQ(m.data[0], i);
    }
    BusMessage late = Message(0x0208, {});
    EXPECT_EQ(ConverterReceive(late), 0);
}

// A long run of garbage mixed with ticks, requests and good frames never leaves the records
// inconsistent, and good frames still get through afterwards.
TEST_F(BadInputTest, GarbageStreamKeepsTheRecordsConsistent) {
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    BusMessage req = Message(0, {1, 2});
    for (int round = 0; round < 20000; ++round) {
        const uint8_t op = next();
        if (op < 150) {
            Receive({next()});
        } else if (op < 200) {
            TickProc();
        } else if (op < 230) {
            if (g_linkTxRegister[0] >= 0) {
                g_linkTxRegister[0] = -1;
                LinkTxDone(0);
            }
        } else if (op < 245) {
            g_apiRequest.Start(0x0100u + next(), req, 0);
        } else {
            BusMessage reply{};
            int32_t info = 0;
            g_apiRequest.Poll(reply, info, info, info);
        }
        ExpectSane();
        if (HasFatalFailure()) return;
    }
    // Once the engine is stopped and the line has gone quiet, a good frame is taken.
    ApiRequest::Reset();
    for (int i = 0; i < 2000; ++i) {
        TickProc();
        DrainTransmitter();
        if (Status()[0] == kConvIdle && Status()[2] == 0 && Link().state == kLinkIdle) break;
    }
    ASSERT_EQ(Link().state, kLinkIdle);
    Receive(DeviceFrame(0x0155, {}));
    TickProc();
    BusMessage m = Message(0x0155, {});
    EXPECT_EQ(ConverterReceive(m), 0x0155);
}

}  // namespace
}  // namespace nvx::test
