#include "platform/timer_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nvx {
namespace {

TEST(VirtualClock, FiresDueTimersInTimeOrderWithTiesInStartOrder) {
    VirtualClock clock;
    std::vector<std::string> fired;
    clock.start(30, [&] { fired.push_back("b30@" + std::to_string(clock.nowMs())); });
    clock.start(20, [&] { fired.push_back("a20@" + std::to_string(clock.nowMs())); });
    clock.start(30, [&] { fired.push_back("c30@" + std::to_string(clock.nowMs())); });
    clock.advance(60);
    EXPECT_EQ(fired, (std::vector<std::string>{"a20@20", "b30@30", "c30@30", "a20@40", "b30@60",
                                               "a20@60", "c30@60"}));
    EXPECT_EQ(clock.nowMs(), 60u);
}

TEST(VirtualClock, APeriodBelowTenMillisecondsRunsAtTen) {
    VirtualClock clock;
    int zero = 0, five = 0, ten = 0;
    clock.start(0, [&] { ++zero; });
    clock.start(5, [&] { ++five; });
    clock.start(10, [&] { ++ten; });
    clock.advance(100);
    EXPECT_EQ(zero, 10);
    EXPECT_EQ(five, 10);
    EXPECT_EQ(ten, 10);
    EXPECT_EQ(EffectivePeriodMs(0), kMinTimerPeriodMs);
    EXPECT_EQ(EffectivePeriodMs(50), 50u);
}

TEST(VirtualClock, ATimerMayStopItselfOrAnotherFromItsCallback) {
    VirtualClock clock;
    int self = 0, other = 0;
    int otherId = 0;
    int selfId = 0;
    selfId = clock.start(10, [&] {
        if (++self == 3) clock.stop(selfId);
    });
    clock.start(25, [&] { clock.stop(otherId); });
    otherId = clock.start(10, [&] { ++other; });
    clock.advance(100);
    EXPECT_EQ(self, 3);
    EXPECT_EQ(other, 2);  // at 10 and 20; stopped at 25
    EXPECT_FALSE(clock.isRunning(selfId));
    EXPECT_FALSE(clock.isRunning(otherId));
    EXPECT_EQ(clock.timerCount(), 1u);
}

TEST(VirtualClock, AdvanceUntilStopsAsSoonAsTheConditionHolds) {
    VirtualClock clock;
    int ticks = 0;
    clock.start(10, [&] { ++ticks; });
    EXPECT_TRUE(clock.advanceUntil([&] { return ticks == 4; }, 1000));
    EXPECT_EQ(clock.nowMs(), 40u);
    EXPECT_FALSE(clock.advanceUntil([&] { return ticks == 1000; }, 50));
    EXPECT_EQ(clock.nowMs(), 90u);
}

TEST(CalendarClock, FollowsTheTimerServiceAndCanBeInjected) {
    VirtualClock clock;
    const TimerCalendarClock calendar(clock, 1000000);
    SetCalendar(&calendar);
    clock.advance(2999);
    EXPECT_EQ(Calendar().now(), 1000002);
    SetCalendar(nullptr);
    EXPECT_NE(Calendar().now(), 1000002);
}

}  // namespace
}  // namespace nvx
