// The statistics window's logic: what each row shows and when.

#include <gtest/gtest.h>

#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "tuv/tuv_inside.h"

namespace nvx {
namespace {

class RecordingInsideView : public TuvInsideView {
public:
    void writeControls(const TuvInsideFields& f) override {
        shown = f;
        ++writes;
    }
    TuvInsideFields shown;
    int writes = 0;
};

class TuvInsideTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_tickPeriodMs = 10;
        g_startTickPeriodMs = 10;
        InitCommStack();
        logic.Initialize();
    }
    VirtualClock clock;
    RecordingInsideView view;
    TuvInsideLogic logic{clock, view};
};

TEST_F(TuvInsideTest, ControlShowsTwoUpperCaseHexDigits) {
    struct Case {
        uint8_t control;
        const char* text;
    };
    for (Case c : {Case{0x2A, "2A"}, Case{0x05, "05"}, Case{0x00, "00"}, Case{0xF0, "F0"}}) {
        g_linkChannels[0].control = c.control;
        clock.advance(10);
        EXPECT_EQ(view.shown.driverControl[0], c.text);
    }
}

TEST_F(TuvInsideTest, RowsFollowTheDriverAndConverterRecords) {
    LinkChannel& link = g_linkChannels[0];
    link.state = kLinkReceiving;
    link.txPos = 3;
    link.rxPos = 5;
    ConverterChannel& conv = g_converterChannels[0];
    conv.state = kConvBackoff;
    conv.timeout = 42;
    conv.txOverflowCount = 1;
    conv.txErrorCount = 2;
    conv.rxOverflowCount = 3;
    conv.rfErrorCount = 4;
    conv.rxErrorCount = 5;
    conv.rxStatus[2] = 0x3F;
    conv.rxStatus[6] = 0x45;
    conv.txWrite = 3;
    clock.advance(10);
    const TuvInsideFields& f = view.shown;
    EXPECT_EQ(f.driverState[0], kLinkReceiving);
    EXPECT_EQ(f.driverTxIndex[0], 3);
    EXPECT_EQ(f.driverRxIndex[0], 5);
    EXPECT_EQ(f.driverRxCounter[0], 0);
    EXPECT_EQ(f.driverCkIndex[0], 0);
    EXPECT_EQ(f.converterState[0], kConvBackoff);
    EXPECT_EQ(f.converterTimeout[0], 42);
    EXPECT_EQ(f.txQueued[0], 3);
    EXPECT_EQ(f.rxSlotsUsed[0], 2);
    EXPECT_EQ((std::vector<int32_t>{f.txOverflow[0], f.txError[0], f.rxOverflow[0], f.rfError[0], f.rxError[0]}),
              (std::vector<int32_t>{1, 2, 3, 4, 5}));
}

TEST_F(TuvInsideTest, CountersThatWrapShowZeroAgain) {
    g_converterChannels[0].rfErrorCount = 255;
    clock.advance(10);
    EXPECT_EQ(view.shown.rfError[0], 255);
    for (uint8_t b : {0x54, 0x00, 0x00, 0x00}) {  // a frame with a bad check byte
        g_linkRxRegister[0] = b;
        LinkRxByte(0);
    }
    clock.advance(10);
    EXPECT_EQ(view.shown.rfError[0], 0);
}

TEST_F(TuvInsideTest, SecondColumnNeverChanges) {
    g_linkChannels[0].control = 0x3F;
    g_linkChannels[0].state = kLinkTransmitting;
    g_converterChannels[0].rxErrorCount = 9;
    clock.advance(100);
    const TuvInsideFields start;
    const TuvInsideFields& f = view.shown;
    EXPECT_EQ(f.driverControl[1], "");
    EXPECT_EQ(f.driverState[1], start.driverState[1]);
    EXPECT_EQ(f.rxError[1], 0);
    EXPECT_EQ(f.converterTimeout[1], 0);
    EXPECT_EQ(f.driverState[0], kLinkTransmitting);  // while the first column follows
}

TEST_F(TuvInsideTest, ReadsTheRecordsOnEveryTickOfTheStartPeriod) {
    for (uint32_t period : {10u, 50u}) {
        g_startTickPeriodMs = period;
        RecordingInsideView v;
        TuvInsideLogic inside(clock, v);
        inside.Initialize();
        for (int32_t tick = 1; tick <= 20; ++tick) {
            g_linkChannels[0].txPos = static_cast<uint8_t>(tick);
            clock.advance(period - 1);
            EXPECT_EQ(v.writes, tick - 1) << period;
            clock.advance(1);
            EXPECT_EQ(v.writes, tick) << period;
            EXPECT_EQ(v.shown.driverTxIndex[0], tick) << period;
        }
    }
    EXPECT_EQ(TuvInsideFields().driverControl[0], "");  // empty until the first refresh
}

TEST_F(TuvInsideTest, ATickThatChangedNothingDoesNotReachTheWindow) {
    clock.advance(10);
    EXPECT_EQ(view.writes, 1);  // the first tick shows the start values
    clock.advance(1000);
    EXPECT_EQ(view.writes, 1);
    struct Change {
        const char* what;
        void (*apply)();
    };
    const Change changes[] = {
        {"control", [] { g_linkChannels[0].control = 0x11; }},
        {"driver state", [] { g_linkChannels[0].state = kLinkReceiving; }},
        {"rx index", [] { g_linkChannels[0].rxPos = 7; }},
        {"converter timeout", [] { g_converterChannels[0].timeout = 9; }},
        {"rx error", [] { g_converterChannels[0].rxErrorCount = 1; }},
    };
    int writes = 1;
    for (const Change& c : changes) {
        c.apply();
        clock.advance(10);
        EXPECT_EQ(view.writes, ++writes) << c.what;
        clock.advance(100);
        EXPECT_EQ(view.writes, writes) << c.what;
    }
    EXPECT_EQ(view.shown.driverControl[0], "11");
}

}  // namespace
}  // namespace nvx
