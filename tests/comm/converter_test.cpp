// Converter: identifier protection, queue, bus access, receive slots, watchdog.

#include "comm_fixture.h"

namespace nvx::test {
namespace {

using ConverterTest = StackTest;

// ---- identifier word ----

TEST_F(ConverterTest, EncodeIdentifierWorkedExamples) {
    struct Case {
        uint16_t id;
        uint8_t high, low;
    };
    const Case cases[] = {{0x0123, 0x04, 0x8C}, {0x0301, 0x0C, 0x06}, {0x0080, 0x02, 0x02},
                          {0x4123, 0x04, 0x8C}, {0x0000, 0x00, 0x00}, {0x3FFF, 0xFF, 0xFF}};
    for (const Case& c : cases) {
        uint8_t word[2] = {static_cast<uint8_t>(c.id >> 8), static_cast<uint8_t>(c.id & 0xFF)};
        EncodeIdentifier(word);
        EXPECT_EQ(word[0], c.high) << std::hex << c.id;
        EXPECT_EQ(word[1], c.low) << std::hex << c.id;
    }
}

TEST_F(ConverterTest, EveryIdentifierRoundTripsAndEverySingleBitErrorIsCaught) {
    ConverterChannel& c = Conv();
    for (uint32_t id = 0; id < 0x4000; ++id) {
        uint8_t word[2] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0xFF)};
        EncodeIdentifier(word);
        const uint16_t w = static_cast<uint16_t>(word[0] << 8 | word[1]);
        ASSERT_EQ(w, DeviceIdWord(static_cast<uint16_t>(id))) << std::hex << id;

        c.rxIdHigh[0] = word[0];
        c.rxIdLow[0] = word[1];
        ASSERT_EQ(DecodeIdentifier(c, 0), static_cast<int32_t>(id));
        ASSERT_EQ(c.rxIdHigh[0] << 8 | c.rxIdLow[0], static_cast<int>(id));

        for (int bit = 0; bit < 16; ++bit) {
            const uint16_t bad = static_cast<uint16_t>(w ^ (1u << bit));
            c.rxIdHigh[1] = static_cast<uint8_t>(bad >> 8);
            c.rxIdLow[1] = static_cast<uint8_t>(bad & 0xFF);
            ASSERT_EQ(DecodeIdentifier(c, 1), -1) << std::hex << id << " bit " << bit;
            // A rejected word is left as it came.
            ASSERT_EQ(c.rxIdHigh[1] << 8 | c.rxIdLow[1], bad);
        }
    }
}

// ---- queue ----

TEST_F(ConverterTest, NinthSendInOneTickOverflows) {
    for (int i = 0; i < kTxQueueSize; ++i) EXPECT_EQ(ConverterSend(Message(0x100 + i, {1, 2})), 0) << i;
    EXPECT_EQ(ConverterSend(Message(0x200, {})), -1);
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{1, 0, 0, 0, 0}));
    EXPECT_EQ(Status()[2], 8);
    // The refused message did not overwrite the head.
    EXPECT_EQ(Conv().txId[Conv().txRead], 0x100u);
}

TEST_F(ConverterTest, SendToADisabledChannelIsRefused) {
    EXPECT_EQ(ConverterSend(Message(0x0123, {}, 1)), -2);
    ConverterInit();
    EXPECT_EQ(ConverterSend(Message(0x0123, {})), -2);
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST_F(ConverterTest, LengthAndIdentifierAreCutToWhatTheWireCarries) {
    struct Case {
        uint32_t id;
        uint8_t length;
        Bytes wire;
    };
    const Case cases[] = {
        // Three data bytes make a "U" frame with the first two.
        {0x0123, 3, DeviceFrame(0x0123, {0xA1, 0xA2})},
        // Identifier bits above 13 are not sent.
        {0x4123, 0, DeviceFrame(0x0123, {})},
        // A length nibble above 4 is limited to 4.
        {0x0123, 0x0F, DeviceFrame(0x0123, {0xA1, 0xA2, 0xA3, 0xA4})},
    };
    for (const Case& c : cases) {
        InitCommStack();
        BusMessage m = Message(c.id, {0xA1, 0xA2, 0xA3, 0xA4});
        m.length = c.length;
        ASSERT_EQ(ConverterSend(m), 0);
        ConverterPrepareTransmit();
        LinkStartTransmit(0);
        EXPECT_EQ(DrainTransmitter(), c.wire) << std::hex << c.id << " length " << int(c.length);
    }
}

TEST_F(ConverterTest, PrepareWaitsWhileAFrameIsPrepared) {
    ConverterSend(Message(0x0111, {}));
    ConverterSend(Message(0x0222, {}));
    ConverterPrepareTransmit();
    const Bytes first(Link().txFrame, Link().txFrame + 3);
    ConverterPrepareTransmit();
    EXPECT_EQ(Bytes(Link().txFrame, Link().txFrame + 3), first);
    const Bytes expected = DeviceFrame(0x0111, {});
    EXPECT_EQ(first, Bytes(expected.begin(), expected.begin() + 3));
}

// ---- bus access ----

TEST_F(ConverterTest, MessagesLeaveInQueueOrderOverTicks) {
    ConverterSend(Message(0x0111, {1, 2}));
    ConverterSend(Message(0x0222, {}));
    Bytes wire;
    for (int i = 0; i < 40; ++i) {
        TickProc();
        const Bytes b = DrainTransmitter();
        wire.insert(wire.end(), b.begin(), b.end());
    }
    Bytes expected = DeviceFrame(0x0111, {1, 2});
    const Bytes second = DeviceFrame(0x0222, {});
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(wire, expected);
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvIdle, 99, 0, 0}));
}

TEST_F(ConverterTest, BackoffDelayFollowsTheAttemptCount) {
    struct Case {
        uint32_t id;
        uint8_t attempts;
        uint8_t delay;
    };
    const Case cases[] = {{0x0123, 0, 4}, {0x0123, 1, 2}, {0x0123, 2, 9}, {0x0123, 3, 5},
                          {0x3FFF, 0, 16}, {0x3FFF, 3, 16}, {0x0000 + 0x10, 0, 1}, {0x0010, 1, 9}};
    for (const Case& c : cases) {
        InitCommStack();
        ConverterSend(Message(c.id, {}));
        ConverterPrepareTransmit();
        Conv().state = kConvReceiving;  // the line has just gone quiet after foreign traffic
        Conv().txControl = c.attempts;
        ConverterStep();
        EXPECT_EQ(Conv().state, kConvBackoff);
        EXPECT_EQ(Conv().stepTimer, c.delay) << std::hex << c.id << " after " << int(c.attempts);
    }
}

TEST_F(ConverterTest, ForeignTrafficDefersTheSendByTheBackoff) {
    ConverterSend(Message(0x0123, {}));
    TickProc();  // idle channel; the frame is prepared
    Receive({0x54});
    TickProc();  // a foreign frame is on the line
    EXPECT_EQ(Conv().state, kConvReceiving);
    Receive({0x04, 0x8C, 0x1B});
    TickProc();  // quiet again: back off by 4 steps for 0x0123
    EXPECT_EQ(Conv().state, kConvBackoff);
    int ticks = 0;
    while (g_linkTxRegister[0] < 0 && ticks < 50) {
        TickProc();
        ++ticks;
    }
    EXPECT_EQ(ticks, 4);  // the step of this tick aged the delay once already
    EXPECT_EQ(DrainTransmitter(), DeviceFrame(0x0123, {}));
}

TEST_F(ConverterTest, AReplyRightAfterTheFrameCountsTheSendAsDone) {
    ConverterSend(Message(0x0123, {}));
    Ticks(2);
    DrainTransmitter();
    Receive({0x55});  // the answer starts before the next tick
    TickProc();
    EXPECT_EQ(Conv().state, kConvReceiving);
    EXPECT_EQ(Status()[2], 0);
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST_F(ConverterTest, StalledReceptionIsCountedAndAborted) {
    TickProc();
    Receive({0x56, 0x00});
    TickProc();
    EXPECT_EQ(Conv().state, kConvReceiving);
    Ticks(32);  // 32 aging steps at one per tick
    EXPECT_EQ(Conv().state, kConvRecover);
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 1}));
    TickProc();  // recover aborts the link
    EXPECT_EQ(Link().state, kLinkIdle);
    TickProc();
    EXPECT_EQ(Conv().state, kConvIdle);
}

TEST_F(ConverterTest, RefusedStartsAreFailedAttemptsUntilTheMessageIsDropped) {
    ConverterSend(Message(0x0123, {}));
    ConverterSend(Message(0x0124, {}));
    TickProc();
    // A bad kind byte makes every start fail; four failures drop the message.
    int ticks = 0;
    while (Errors()[1] == 0 && ticks < 99) {
        Link().txFrame[0] = 0x41;
        TickProc();
        ++ticks;
    }
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 1, 0, 0, 0}));
    EXPECT_EQ(Status()[2], 1);
    EXPECT_EQ(Conv().txId[Conv().txRead], 0x0124u);
    EXPECT_EQ(Conv().txControl, 0);
}

// ---- receive slots ----

TEST_F(ConverterTest, BadParityIsRfErrorAndNeverOffered) {
    uint16_t word = DeviceIdWord(0x0123) ^ 0x0010;
    Bytes f{0x54, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF)};
    f.push_back(DeviceCheckByte(f));
    Receive(f);
    ASSERT_EQ(Conv().rxStatus[0], 0x3F);
    ConverterValidateReceived();
    EXPECT_EQ(Conv().rxStatus[0], 0);
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 1, 0}));
    for (uint32_t id : {0x0123u, 0x0127u, (uint32_t)(word >> 2)}) {
        BusMessage m = Message(id, {});
        m.mask = 0xFF;
        EXPECT_EQ(ConverterReceive(m), 0);
    }
}

TEST_F(ConverterTest, UncheckedSlotsAreNotOffered) {
    Receive(DeviceFrame(0x0123, {}));
    BusMessage m = Message(0x0123, {});
    EXPECT_EQ(ConverterReceive(m), 0);
    ConverterValidateReceived();
    EXPECT_EQ(ConverterReceive(m), 0x0123);
}

TEST_F(ConverterTest, ValidatedMessageLivesTwentyAgingSteps) {
    for (int steps : {0, 1, 19, 20, 21}) {
        SCOPED_TRACE(steps);
        InitCommStack();
        Receive(DeviceFrame(0x0123, {7, 8}));
        ConverterValidateReceived();
        EXPECT_EQ(Conv().rxStatus[0], 0x40 | 20);
        for (int i = 0; i < steps; ++i) ConverterAge(10);
        // Occupied until the step after the lifetime ran out.
        EXPECT_EQ(Status()[3], steps <= 20 ? 1 : 0);
        BusMessage m = Message(0x0123, {});
        EXPECT_EQ(ConverterReceive(m), steps < 20 ? 0x0123 : 0);
    }
}

TEST_F(ConverterTest, UntakenMessageIsGoneAfterAboutTwentyOneTicks) {
    Receive(DeviceFrame(0x0123, {1, 2}));
    int ticks = 0;
    while (Status()[3] != 0 && ticks < 100) {
        TickProc();
        ++ticks;
    }
    EXPECT_EQ(ticks, 21);
}

TEST_F(ConverterTest, AgingStepsFollowTheTickPeriod) {
    struct Case {
        uint32_t periodMs;
        int ticksPerStep;
    };
    const Case cases[] = {{1, 10}, {3, 4}, {4, 3}, {5, 2}, {9, 2}, {10, 1}, {15, 1}, {50, 1}};
    for (const Case& c : cases) {
        InitCommStack();
        Conv().stepTimer = 100;
        for (int i = 0; i < 10 * c.ticksPerStep; ++i) ConverterAge(c.periodMs);
        EXPECT_EQ(Conv().stepTimer, 90) << c.periodMs << " ms";
        ConverterAge(0);
        EXPECT_EQ(Conv().stepTimer, 90);
    }
}

TEST_F(ConverterTest, MaskIgnoresLowIdentifierBits) {
    struct Case {
        uint32_t asked;
        uint8_t mask;
        uint16_t received;
        bool taken;
    };
    const Case cases[] = {
        {0x0120, 0x0F, 0x0125, true},  {0x0120, 0x00, 0x0125, false}, {0x0125, 0x00, 0x0125, true},
        {0x0120, 0x0F, 0x0135, false}, {0x0100, 0xFF, 0x01FF, true},  {0x0200, 0xFF, 0x0125, false},
    };
    for (const Case& c : cases) {
        InitCommStack();
        Receive(DeviceFrame(c.received, {0x11, 0x22, 0x33, 0x44}));
        ConverterValidateReceived();
        BusMessage m = Message(c.asked, {});
        m.mask = c.mask;
        const uint16_t got = ConverterReceive(m);
        SCOPED_TRACE(testing::Message() << std::hex << c.asked << "/" << int(c.mask) << " vs " << c.received);
        if (c.taken) {
            EXPECT_EQ(got, c.received);
            EXPECT_EQ(m.length, 4);
            EXPECT_EQ(Bytes(m.data, m.data + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
        } else {
            EXPECT_EQ(got, 0);
        }
    }
}

TEST_F(ConverterTest, BroadcastIdentifiersStayForEveryRequest) {
    struct Case {
        uint16_t id;
        bool stays;
    };
    const Case cases[] = {{0x0385, true}, {0x0380, true}, {0x03FF, true},
                          {0x0305, false}, {0x037F, false}, {0x0185, false},
                          {0x0485, false}, {0x1380, false}, {0x0285, false}};
    for (const Case& c : cases) {
        InitCommStack();
        Receive(DeviceFrame(c.id, {}));
        ConverterValidateReceived();
        BusMessage m = Message(c.id, {});
        EXPECT_EQ(ConverterReceive(m), c.id);
        EXPECT_EQ(ConverterReceive(m), c.stays ? c.id : 0) << std::hex << c.id;
    }
}

TEST_F(ConverterTest, ShortReplyDataIsZeroFilled) {
    Receive(DeviceFrame(0x0123, {0x01, 0x02}));
    ConverterValidateReceived();
    BusMessage m = Message(0x0123, {0xEE, 0xEE, 0xEE, 0xEE});
    EXPECT_EQ(ConverterReceive(m), 0x0123);
    EXPECT_EQ(m.length, 2);
    EXPECT_EQ(Bytes(m.data, m.data + 4), (Bytes{0x01, 0x02, 0x00, 0x00}));
}

TEST_F(ConverterTest, ReceiveOnAnyChannelAndOnADisabledOne) {
    Receive(DeviceFrame(0x0123, {}));
    ConverterValidateReceived();
    BusMessage m = Message(0x0123, {}, 1);
    EXPECT_EQ(ConverterReceive(m), 0xFFFE);
    m.channel = kAnyChannel;
    EXPECT_EQ(ConverterReceive(m), 0x0123);
    EXPECT_EQ(m.channel, 0);
}

// ---- status and watchdog ----

TEST_F(ConverterTest, StatusReadsAroundTicks) {
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvInit, 0, 0, 0}));
    TickProc();
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvIdle, 99, 0, 0}));
    Ticks(500);
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvIdle, 99, 0, 0}));
}

TEST_F(ConverterTest, ChannelOutsideIdleForHundredTicksIsReset) {
    // At 1 ms an aging step takes ten ticks, so the 32-step receive timeout cannot end the stall.
    g_tickPeriodMs = 1;
    ConverterSend(Message(0x0123, {}));
    Conv().txOverflowCount = 5;
    TickProc();
    Receive({0x56, 0x00});  // a frame that never ends
    TickProc();             // tick 1 outside Idle
    EXPECT_EQ(Conv().state, kConvReceiving);
    Ticks(98);
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvReceiving, 0, 1, 0}));
    TickProc();  // the 100th
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvInit, 0, 0, 0}));
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
    EXPECT_EQ(Link().state, kLinkIdle);
    EXPECT_EQ(Link().control, 0);
    TickProc();
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvIdle, 99, 0, 0}));
}

TEST_F(ConverterTest, ErrorCountersWrapAt256) {
    for (int i = 0; i < 257; ++i) Receive({0x54, 0x00, 0x00, 0x00});
    EXPECT_EQ(Errors()[3], 1);
}

}  // namespace
}  // namespace nvx::test
