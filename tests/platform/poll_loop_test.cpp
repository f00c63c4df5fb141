// The poll() loop of the console programs in real time. Nothing here depends on how fast the
// machine is: every wait ends on a condition, and the time limits only stop a broken loop.

#include "platform/poll_loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace nvx {
namespace {

constexpr uint64_t kGenerousMs = 5000;

TEST(PollLoop, DueTimersFireInStartOrderAndMayStopThemselves) {
    PollLoop loop;
    std::vector<std::string> fired;
    int selfCount = 0, otherCount = 0;
    int selfId = 0;
    selfId = loop.start(10, [&] {
        fired.push_back("self");
        if (++selfCount == 3) loop.stop(selfId);
    });
    loop.start(10, [&] {
        fired.push_back("other");
        ++otherCount;
    });
    ASSERT_TRUE(loop.runUntil([&] { return otherCount == 5; }, kGenerousMs));
    EXPECT_EQ(fired, (std::vector<std::string>{"self", "other", "self", "other", "self", "other",
                                               "other", "other"}));
}

TEST(PollLoop, TimersOfOnePeriodShareAWakeupWhenStartedApart) {
    PollLoop loop;
    // runUntil asks its condition once after every pass of due timers, so counting the questions
    // numbers the passes.
    int pass = 0;
    std::vector<int> passesOfA, passesOfB;
    loop.start(10, [&] { passesOfA.push_back(pass); });
    // B starts half a period out of A's step; it must still fire on A's wakeups.
    int starter = 0;
    starter = loop.start(15, [&] {
        loop.start(10, [&] { passesOfB.push_back(pass); });
        loop.stop(starter);
    });
    ASSERT_TRUE(loop.runUntil(
        [&] {
            ++pass;
            return passesOfB.size() >= 4;
        },
        kGenerousMs));
    for (int p : passesOfB)
        EXPECT_NE(std::find(passesOfA.begin(), passesOfA.end(), p), passesOfA.end())
            << "B fired in pass " << p << " without A";
}

TEST(PollLoop, RunUntilEndsOnItsConditionItsTimeOrQuit) {
    PollLoop loop;
    int ticks = 0;
    loop.start(10, [&] { ++ticks; });
    EXPECT_TRUE(loop.runUntil([] { return true; }, 0));
    EXPECT_TRUE(loop.runUntil([&] { return ticks >= 2; }, kGenerousMs));

    const uint64_t before = loop.nowMs();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 30));
    EXPECT_GE(loop.nowMs() - before, 30u);

    // quit() from a callback ends this and every later run at once.
    loop.start(10, [&] { loop.quit(); });
    EXPECT_FALSE(loop.runUntil([] { return false; }, kGenerousMs));
    const uint64_t afterQuit = loop.nowMs();
    EXPECT_FALSE(loop.runUntil([] { return false; }, kGenerousMs));
    loop.run();
    EXPECT_LT(loop.nowMs() - afterQuit, kGenerousMs);
}

TEST(PollLoop, InputOnTheWatchedDescriptorIsServedAtOnce) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    PollLoop loop;
    std::string received;
    loop.watch(fds[0], [&] {
        char buf[16];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) received.append(buf, static_cast<std::size_t>(n));
    });
    // No timer at all: only the input can end the wait. "At once" means long before the wait's
    // own end, on the loop's monotonic clock: a loop that looked at the input only when its
    // time ran out would take the whole wait.
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    constexpr uint64_t kLongWaitMs = 6 * kGenerousMs;
    const uint64_t before = loop.nowMs();
    EXPECT_TRUE(loop.runUntil([&] { return received == "ab"; }, kLongWaitMs));
    EXPECT_LT(loop.nowMs() - before, kGenerousMs);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace nvx
