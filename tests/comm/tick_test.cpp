// Tick procedure: period measurement, the order of the layer steps, the timer and the start period.

#include "comm_fixture.h"

namespace nvx::test {
namespace {

using TickTest = StackTest;

TEST_F(TickTest, MeasuredPeriodIsTenSecondsOverTheTicksCounted) {
    struct Case {
        int ticks;
        uint32_t periodMs;
    };
    const Case cases[] = {{1000, 10}, {641, 15}, {200, 50}, {3, 3333}, {1, 10000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ticks);
        const std::time_t start = calendar.t;
        g_measureStart = start;
        g_tickCount = 0;
        g_tickPeriodMs = 10;
        calendar.t = start + 9;  // not yet: 9 seconds are not enough
        Ticks(c.ticks - 1);
        EXPECT_EQ(g_tickPeriodMs, 10u);
        EXPECT_EQ(g_tickCount, c.ticks - 1);
        calendar.t = start + 10;
        TickProc();
        EXPECT_EQ(g_tickPeriodMs, c.periodMs);
        EXPECT_EQ(g_tickCount, 0);
        EXPECT_EQ(g_measureStart, start + 10);
    }
}

TEST_F(TickTest, MeasuringTickAlreadyUsesTheNewPeriod) {
    // At 1 ms an aging step needs ten ticks; the measuring tick ages with the new 50 ms at once.
    g_tickPeriodMs = 1;
    Ticks(199);
    Conv().stepTimer = 20;
    g_agingAccumulatorMs = 0;
    calendar.t += 10;
    TickProc();  // the 200th tick: 10000 / 200 = 50
    EXPECT_EQ(g_tickPeriodMs, 50u);
    EXPECT_EQ(Conv().stepTimer, 19);
}

TEST_F(TickTest, LayerStepsRunInTheirOrder) {
    struct Observation {
        const char* what;
        std::function<void()> arrange;
        std::function<void()> check;  // after one TickProc
    };
    const Observation observations[] = {
        {"step before prepare: a queued message is prepared, not started",
         [] { ConverterSend(Message(0x0123, {})); },
         [] {
             EXPECT_EQ(g_linkTxRegister[0], -1);
             EXPECT_EQ(Link().control & kLinkFramePrepared, kLinkFramePrepared);
         }},
        {"prepare before the next step: started on the tick after",
         [] {
             ConverterSend(Message(0x0123, {}));
             TickProc();
         },
         [] { EXPECT_EQ(g_linkTxRegister[0], 0x54); }},
        {"validate before age: a checked slot has aged once",
         [] { Receive(DeviceFrame(0x0123, {1, 2})); },
         [] { EXPECT_EQ(Conv().rxStatus[0], 0x40 | 19); }},
        {"step before watchdog: an idle channel reads 99",
         [] {},
         [] { EXPECT_EQ(Conv().timeout, 99); }},
        {"engine after the converter: its message is queued but not yet prepared",
         [] { g_apiRequest.Start(0x0123, Message(0, {}), 0); },
         [] {
             EXPECT_EQ(ApiRequest::State(), kRequestWait);
             EXPECT_EQ(Status()[2], 1);
             EXPECT_EQ(Link().control & kLinkFramePrepared, 0);
         }},
        {"engine after validation: a reply that came in is taken on the same tick",
         [] {
             g_apiRequest.Start(0x0123, Message(0, {}), 0);
             TickProc();
             Receive(DeviceFrame(0x0123, {5, 6}));
         },
         [] { EXPECT_EQ(ApiRequest::State(), kRequestDone); }},
    };
    for (const Observation& o : observations) {
        SCOPED_TRACE(o.what);
        InitCommStack();
        TickProc();  // Init -> Idle
        o.arrange();
        TickProc();
        o.check();
    }
}

TEST_F(TickTest, TimerRunsAtTenMillisecondsWhenThePeriodIsZero) {
    VirtualClock clock;
    g_tickPeriodMs = 0;
    StartTickTimer(clock);
    clock.advance(100);
    EXPECT_EQ(g_tickCount, 10);
    EXPECT_EQ(g_tickPeriodMs, 0u);  // kept until the first measurement
}

TEST_F(TickTest, MeasurementFollowsTheRealDelivery) {
    struct Case {
        uint32_t deliveredMs;
        uint32_t measuredMs;
    };
    // A timer that is delivered late is measured at its real period.
    const Case cases[] = {{10, 10}, {16, 16}, {50, 50}};
    for (const Case& c : cases) {
        VirtualClock clock;
        TimerCalendarClock clockCalendar(clock, 1'400'000'000);
        SetCalendar(&clockCalendar);
        InitCommStack();
        g_tickPeriodMs = 0;
        g_measureStart = Calendar().now();
        g_tickCount = 0;
        clock.start(c.deliveredMs, [] { TickProc(); });
        clock.advance(10'000 + c.deliveredMs - 1);
        EXPECT_EQ(g_tickPeriodMs, c.measuredMs) << c.deliveredMs;
    }
    SetCalendar(&calendar);
}

TEST_F(TickTest, StartPeriodFollowsTheSystemFamily) {
    struct Case {
        int family;
        uint32_t before;
        uint32_t period;
    };
    const Case cases[] = {{kOsFamily95, 0, 50}, {kOsFamilyNt, 0, 10}, {0, 0, 0}, {3, 0, 0}, {3, 25, 25}};
    const int saved = OsPlatformId();
    for (const Case& c : cases) {
        SetOsPlatformId(c.family);
        g_tickPeriodMs = c.before;
        g_startTickPeriodMs = 99;
        ChooseStartTickPeriod();
        EXPECT_EQ(g_tickPeriodMs, c.period) << c.family;
        EXPECT_EQ(g_startTickPeriodMs, c.period) << c.family;
    }
    SetOsPlatformId(saved);
}

TEST_F(TickTest, InitCommStackGivesAFreshStack) {
    ConverterSend(Message(0x0123, {1, 2}));
    Ticks(2);
    Receive({0x54, 0x00, 0x00, 0x00});
    g_apiRequest.Start(0x0222, Message(0, {}), 0);
    InitCommStack();
    EXPECT_EQ(Status(), (std::vector<uint8_t>{kConvInit, 0, 0, 0}));
    EXPECT_EQ(Errors(), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
    EXPECT_EQ(g_enabledChannels, 1);
    EXPECT_EQ(Link().state, kLinkIdle);
    EXPECT_EQ(Link().control, 0);
    EXPECT_EQ(g_linkTxRegister[0], -1);
    EXPECT_EQ(g_linkRxRegister[0], -1);
    EXPECT_EQ(ApiRequest::State(), kRequestIdle);
}

}  // namespace
}  // namespace nvx::test
