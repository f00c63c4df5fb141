// Real Qt timers: every wait runs the event loop until a condition holds, with a generous deadline
// only as a guard, so that a loaded machine makes the tests slower, never wrong.
#include "platform/qt_timer_service.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace nvx {
namespace {

constexpr int kDeadlineMs = 5000;

// Runs the event loop (nested, when called from a callback) until done() or the deadline.
bool RunUntil(const std::function<bool()>& done, int deadlineMs = kDeadlineMs) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || clock.hasExpired(deadlineMs)) loop.quit();
    });
    poll.start(1);
    loop.exec();
    return done();
}

class QtTimerServiceTest : public ::testing::Test {
protected:
    QtTimerServiceTest() {
        if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    }
    ~QtTimerServiceTest() override {
        timers_.reset();
        // Driving timers freed by stop() go through deleteLater.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QtTimerService& timers() { return *timers_; }

private:
    int argc_ = 1;
    char name_[16] = "platform_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;

protected:
    std::unique_ptr<QtTimerService> timers_ = std::make_unique<QtTimerService>();
};

TEST_F(QtTimerServiceTest, TimersOfOnePeriodShareOneDriverAndFireInStartOrder) {
    std::string log;
    timers().start(10, [&] { log += 'a'; });
    timers().start(10, [&] { log += 'b'; });
    timers().start(3, [&] { log += 'c'; });  // raised to 10 ms: same period
    EXPECT_EQ(timers().drivingTimerCount(), 1u);
    int slow = 0;
    timers().start(30, [&] { ++slow; });
    EXPECT_EQ(timers().drivingTimerCount(), 2u);

    ASSERT_TRUE(RunUntil([&] { return log.size() >= 15 && slow >= 1; }));
    log.resize(log.size() - log.size() % 3);
    std::string expected;
    while (expected.size() < log.size()) expected += "abc";
    EXPECT_EQ(log, expected);
}

TEST_F(QtTimerServiceTest, ACallbackMayStopItselfOrAnotherOfItsPeriod) {
    int self = 0, stopper = 0, victim = 0, after = 0;
    int selfId = 0, victimId = 0;
    selfId = timers().start(10, [&] {
        if (++self == 3) timers().stop(selfId);
    });
    timers().start(10, [&] {
        if (++stopper == 2) timers().stop(victimId);
    });
    // Comes after its stopper in the same dispatch: once stopped it must not run even there.
    victimId = timers().start(10, [&] { ++victim; });
    timers().start(10, [&] { ++after; });

    ASSERT_TRUE(RunUntil([&] { return after >= 8; }));
    EXPECT_EQ(self, 3);
    EXPECT_EQ(victim, 1);
    EXPECT_GE(stopper, 8);
    timers().stop(selfId);  // stopping twice is harmless
    timers().stop(12345);   // as is an id never given

    const int next = timers().start(10, [] {});
    EXPECT_GT(next, victimId);  // ids are never reused
    EXPECT_EQ(timers().drivingTimerCount(), 1u);
}

TEST_F(QtTimerServiceTest, ANestedEventLoopInACallbackLeavesTheOthersOfItsPeriodRunning) {
    int modal = 0, other = 0, otherInsideModal = 0;
    bool inModal = false, reentered = false, modalEndedByDeadline = false;
    timers().start(10, [&] {
        if (inModal) reentered = true;
        if (++modal != 1) return;
        // As a message box would: a nested loop while this callback is still on the stack.
        inModal = true;
        const int before = other;
        modalEndedByDeadline = !RunUntil([&] { return other >= before + 10; }, kDeadlineMs);
        otherInsideModal = other - before;
        inModal = false;
    });
    timers().start(10, [&] { ++other; });

    ASSERT_TRUE(RunUntil([&] { return modal >= 3; }));
    EXPECT_FALSE(modalEndedByDeadline);
    EXPECT_GE(otherInsideModal, 10);
    EXPECT_FALSE(reentered);
    EXPECT_EQ(timers().drivingTimerCount(), 1u);
}

TEST_F(QtTimerServiceTest, NestedLoopsTwoDeepStillLeaveTheRestRunning) {
    int a = 0, b = 0, c = 0, cInsideB = 0;
    std::set<char> onStack;
    bool reentered = false;
    auto enter = [&](char who) { reentered = reentered || !onStack.insert(who).second; };
    timers().start(10, [&] {
        enter('a');
        if (++a == 1) RunUntil([&] { return b >= 3; });
        onStack.erase('a');
    });
    timers().start(10, [&] {
        enter('b');
        if (++b == 1) {
            const int before = c;
            RunUntil([&] { return c >= before + 5; });
            cInsideB = c - before;
        }
        onStack.erase('b');
    });
    timers().start(10, [&] {
        enter('c');
        ++c;
        onStack.erase('c');
    });

    ASSERT_TRUE(RunUntil([&] { return a >= 3; }));
    EXPECT_GE(b, 3);
    EXPECT_GE(cInsideB, 5);
    EXPECT_FALSE(reentered);
}

TEST_F(QtTimerServiceTest, StoppingTheOneInTheNestedLoopEndsItForGood) {
    int modal = 0, stopper = 0;
    int modalId = 0;
    modalId = timers().start(10, [&] {
        if (++modal == 1) RunUntil([&] { return stopper >= 3; });
    });
    timers().start(10, [&] {
        if (++stopper == 2) timers().stop(modalId);
    });

    ASSERT_TRUE(RunUntil([&] { return stopper >= 10; }));
    EXPECT_EQ(modal, 1);
}

TEST_F(QtTimerServiceTest, TheDrivingTimerGoesWithTheLastStopOfItsPeriod) {
    // From outside any callback.
    const int lone = timers().start(20, [] {});
    EXPECT_EQ(timers().drivingTimerCount(), 1u);
    timers().stop(lone);
    EXPECT_EQ(timers().drivingTimerCount(), 0u);

    // From inside its own dispatch: the last one stops both.
    int first = 0, second = 0;
    int firstId = 0, secondId = 0;
    firstId = timers().start(10, [&] { ++first; });
    secondId = timers().start(10, [&] {
        if (++second == 2) {
            timers().stop(firstId);
            timers().stop(secondId);
        }
    });
    ASSERT_TRUE(RunUntil([&] { return second >= 2; }));
    EXPECT_EQ(timers().drivingTimerCount(), 0u);

    // Nothing of that period fires any more: watch on a timer of Qt's own.
    int watch = 0;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] { ++watch; });
    watcher.start(10);
    ASSERT_TRUE(RunUntil([&] { return watch >= 10; }));
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 2);

    // A period emptied in a dispatch and refilled in the same one keeps running.
    int again = 0, restarted = 0;
    int againId = 0;
    againId = timers().start(10, [&] {
        if (++again == 1) {
            timers().stop(againId);
            timers().start(10, [&] { ++restarted; });
        }
    });
    ASSERT_TRUE(RunUntil([&] { return restarted >= 5; }));
    EXPECT_EQ(again, 1);
    EXPECT_EQ(timers().drivingTimerCount(), 1u);
}

}  // namespace
}  // namespace nvx
