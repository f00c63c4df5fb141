// Link driver: frame bytes on the wire, reception into slots, traces.

#include "comm_fixture.h"

namespace nvx::test {
namespace {

using LinkTest = StackTest;

struct TransmitCase {
    const char* name;
    uint32_t id;
    Bytes data;
    Bytes wire;  // written out by hand
};

const TransmitCase kTransmitCases[] = {
    {"T 0x0123", 0x0123, {}, {0x54, 0x04, 0x8C, 0x1B}},
    {"U 0x0123", 0x0123, {0x01, 0x02}, {0x55, 0x04, 0x8C, 0x01, 0x02, 0x17}},
    {"V 0x0301", 0x0301, {0x10, 0x20, 0xF0, 0x80}, {0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5}},
    {"kernel reset", 0x0080, {0xFF, 0x00}, {0x55, 0x02, 0x02, 0xFF, 0x00, 0xA6}},
};

TEST_F(LinkTest, FramesGoOutByteByByteAndEndIdle) {
    for (const TransmitCase& c : kTransmitCases) {
        SCOPED_TRACE(c.name);
        InitCommStack();
        ASSERT_EQ(ConverterSend(Message(c.id, c.data)), 0);
        ConverterPrepareTransmit();
        ASSERT_EQ(Link().control & kLinkFramePrepared, kLinkFramePrepared);
        ASSERT_EQ(LinkStartTransmit(0), 0);

        Bytes wire;
        for (size_t i = 0; i < c.wire.size(); ++i) {
            ASSERT_GE(g_linkTxRegister[0], 0) << "byte " << i;
            EXPECT_EQ(Link().state, kLinkTransmitting);
            wire.push_back(static_cast<uint8_t>(g_linkTxRegister[0]));
            EXPECT_EQ(g_linkTxByte, wire.back());
            g_linkTxRegister[0] = -1;
            LinkTxDone(0);
        }
        EXPECT_EQ(wire, c.wire);
        EXPECT_EQ(wire, DeviceFrame(static_cast<uint16_t>(c.id), c.data));
        // The call after the check byte ends the frame.
        EXPECT_EQ(g_linkTxRegister[0], -1);
        EXPECT_EQ(Link().state, kLinkIdle);
        EXPECT_EQ(Link().control & (kLinkFramePrepared | kLinkTransmitStarted), 0);

        std::vector<int32_t> trace{-1};
        trace.insert(trace.end(), c.wire.begin(), c.wire.end());
        trace.push_back(kTraceEndMarker);
        EXPECT_EQ(TraceEntries(g_txTrace[0]), trace);
    }
}

TEST_F(LinkTest, EveryIdentifierAndPayloadMatchesTheDeviceCoder) {
    // Walks identifiers with a stride and all three kinds; the device's coder is independent.
    for (uint32_t id = 1; id < 0x4000; id += 37) {
        for (size_t n : {0, 2, 4}) {
            Bytes data;
            for (size_t i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>(id * 7 + i * 91));
            InitCommStack();
            ConverterSend(Message(id, data));
            ConverterPrepareTransmit();
            LinkStartTransmit(0);
            ASSERT_EQ(DrainTransmitter(), DeviceFrame(static_cast<uint16_t>(id), data)) << std::hex << id;
        }
    }
}

TEST_F(LinkTest, StartIsRefusedUnlessIdle) {
    Link().state = kLinkReceiving;
    const LinkChannel before = Link();
    EXPECT_EQ(LinkStartTransmit(0), -1);
    EXPECT_EQ(Link().control, before.control);
    EXPECT_EQ(Link().state, kLinkReceiving);
    EXPECT_EQ(g_linkTxRegister[0], -1);
}

TEST_F(LinkTest, UnknownKindIsRefusedButLeavesTheStartedBit) {
    Link().txFrame[0] = 0x41;
    EXPECT_EQ(LinkStartTransmit(0), -1);
    EXPECT_EQ(Link().state, kLinkIdle);
    EXPECT_EQ(Link().control & kLinkTransmitStarted, kLinkTransmitStarted);
    EXPECT_EQ(g_linkTxRegister[0], -1);
}

struct ReceiveCase {
    const char* name;
    Bytes wire;
    int slotStatus;  // -1: no slot filled
    uint8_t idHigh, idLow;
    Bytes data;
    std::vector<uint8_t> errors;  // Tf Overflow, Tx Error, Rx Overflow, Rf Error, Rx Error
};

const ReceiveCase kReceiveCases[] = {
    {"V frame", {0x56, 0x0C, 0x06, 0x10, 0x20, 0xF0, 0x80, 0xF5}, 0xBF, 0x0C, 0x06, {0x10, 0x20, 0xF0, 0x80}, {0, 0, 0, 0, 0}},
    {"U frame", {0x55, 0x04, 0x8C, 0x01, 0x02, 0x17}, 0x7F, 0x04, 0x8C, {0x01, 0x02, 0, 0}, {0, 0, 0, 0, 0}},
    {"T frame", {0x54, 0x04, 0x8C, 0x1B}, 0x3F, 0x04, 0x8C, {0, 0, 0, 0}, {0, 0, 0, 0, 0}},
    {"check byte off by one", {0x54, 0x04, 0x8C, 0x1C}, -1, 0, 0, {}, {0, 0, 0, 1, 0}},
    {"noise then frame", {0x41, 0x00, 0xFF, 0x54, 0x04, 0x8C, 0x1B}, 0x3F, 0x04, 0x8C, {0, 0, 0, 0}, {0, 0, 0, 0, 0}},
};

TEST_F(LinkTest, ReceivedFramesFillASlotOrAreCounted) {
    for (const ReceiveCase& c : kReceiveCases) {
        SCOPED_TRACE(c.name);
        InitCommStack();
        Receive(c.wire);
        EXPECT_EQ(Link().state, kLinkIdle);
        EXPECT_EQ(g_linkRxRegister[0], -1);
        EXPECT_EQ(Errors(), c.errors);
        if (c.slotStatus < 0) {
            for (int s = 0; s < kRxSlotCount; ++s) EXPECT_EQ(Conv().rxStatus[s], 0);
            continue;
        }
        EXPECT_EQ(Conv().rxStatus[0], c.slotStatus);
        EXPECT_EQ(Conv().rxIdHigh[0], c.idHigh);
        EXPECT_EQ(Conv().rxIdLow[0], c.idLow);
        EXPECT_EQ(Bytes(Conv().rxData[0], Conv().rxData[0] + 4), c.data);
        for (int s = 1; s < kRxSlotCount; ++s) EXPECT_EQ(Conv().rxStatus[s], 0);
    }
}

TEST_F(LinkTest, NoiseWhileIdleIsOnlyTraced) {
    const LinkChannel before = Link();
    Receive({0x41});
    EXPECT_EQ(TraceEntries(g_rxTrace[0]), std::vector<int32_t>{0x41});
    EXPECT_EQ(Link().state, before.state);
    EXPECT_EQ(Link().rxPos, before.rxPos);
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
    EXPECT_EQ(g_traceFrameNumber[0], 0);
}

TEST_F(LinkTest, BytesWhileTransmittingAreOnlyTraced) {
    ConverterSend(Message(0x0123, {}));
    ConverterPrepareTransmit();
    LinkStartTransmit(0);
    const LinkChannel before = Link();
    Receive({0x54, 0x04, 0x8C, 0x1B});
    EXPECT_EQ(TraceEntries(g_rxTrace[0]), (std::vector<int32_t>{0x54, 0x04, 0x8C, 0x1B}));
    EXPECT_EQ(Link().state, kLinkTransmitting);
    EXPECT_EQ(Link().control, before.control);
    EXPECT_EQ(Conv().rxStatus[0], 0);
}

TEST_F(LinkTest, ReceiveTraceMarksEachFrameWithItsNumber) {
    Receive({0x54, 0x04, 0x8C, 0x1B, 0x54, 0x04, 0x8C, 0x1C});
    EXPECT_EQ(TraceEntries(g_rxTrace[0]),
              (std::vector<int32_t>{-1, 0x54, 0x04, 0x8C, 0x1B, 65535, -2, 0x54, 0x04, 0x8C, 0x1C, 65535}));
}

TEST_F(LinkTest, FrameNumbersRunTo100000AndStartAgainAt1) {
    g_traceFrameNumber[0] = 99998;
    LinkAddTxTrace(0, kTraceStartFrame);
    LinkAddRxTrace(0, kTraceStartFrame);  // the number is shared by both rings
    LinkAddTxTrace(0, kTraceStartFrame);
    LinkAddTxTrace(0, kTraceEndFrame);
    EXPECT_EQ(TraceEntries(g_txTrace[0]), (std::vector<int32_t>{-99999, -1, 65535}));
    EXPECT_EQ(TraceEntries(g_rxTrace[0]), std::vector<int32_t>{-100000});
}

TEST_F(LinkTest, TraceRingWrapsAndOverwritesUnreadEntries) {
    for (int32_t v = 0; v < kTraceRingSize + 3; ++v) LinkAddTxTrace(0, v);
    EXPECT_EQ(g_txTrace[0].writeIndex, 3);
    EXPECT_EQ(g_txTrace[0].entries[0], kTraceRingSize);
    EXPECT_EQ(g_txTrace[0].entries[2], kTraceRingSize + 2);
    EXPECT_EQ(g_txTrace[0].entries[3], 3);
}

TEST_F(LinkTest, GoodFramesBeyondTheEightSlotsAreCountedAsOverflow) {
    for (int i = 0; i < kRxSlotCount + 2; ++i) Receive(DeviceFrame(static_cast<uint16_t>(0x100 + i), {}));
    for (int s = 0; s < kRxSlotCount; ++s) {
        EXPECT_EQ(Conv().rxStatus[s], 0x3F);
        EXPECT_EQ(Conv().rxIdHigh[s] << 8 | Conv().rxIdLow[s], DeviceIdWord(static_cast<uint16_t>(0x100 + s)));
    }
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 2, 0, 0}));
}

TEST_F(LinkTest, AbortReturnsToIdleExceptWhenClosed) {
    ConverterSend(Message(0x0123, {1, 2}));
    ConverterPrepareTransmit();
    LinkStartTransmit(0);
    EXPECT_EQ(LinkAbort(0), 0);
    EXPECT_EQ(Link().state, kLinkIdle);
    EXPECT_EQ(Link().control, 0);

    LinkInit();
    EXPECT_EQ(LinkAbort(0), -2);
    EXPECT_EQ(Link().state, kLinkClosed);
}

TEST_F(LinkTest, ClosedChannelIgnoresBytes) {
    LinkInit();
    Receive({0x54, 0x04, 0x8C, 0x1B});
    EXPECT_EQ(Link().state, kLinkClosed);
    EXPECT_EQ(Conv().rxStatus[0], 0);
    EXPECT_EQ(g_rxTrace[0].writeIndex, 0);
}

TEST_F(LinkTest, OutOfRangeChannelsAreIgnored) {
    EXPECT_EQ(LinkStartTransmit(kChannelCount), -1);
    EXPECT_EQ(LinkAbort(-1), -2);
    LinkTxDone(kChannelCount);
    LinkRxByte(kChannelCount);
    LinkOpenChannel(7);
    EXPECT_EQ(Link().state, kLinkIdle);
}

}  // namespace
}  // namespace nvx::test
