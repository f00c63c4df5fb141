#pragma once
// Real time for the norvix-sim program: a TimerService whose timers run in a poll() loop that
// also wakes up as soon as the pty has bytes, so a programmer's command is answered at once
// rather than on the next 10 ms step.

#include <cstdint>
#include <functional>
#include <map>

#include "platform/timer_service.h"

namespace nvx::sim {

class PollLoop : public TimerService {
public:
    PollLoop();
    ~PollLoop() override;
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    int start(uint32_t periodMs, Callback callback) override;
    void stop(int id) override;
    uint64_t nowMs() const override;

    // onReadable runs when fd has input. While the other side of a pty is closed, poll reports a
    // hang-up at once and for good; the fd is then left out for a short pause instead of spinning.
    void watch(int fd, Callback onReadable);
    // Runs until quit().
    void run();
    // Async-signal-safe: may be called from a signal handler.
    void quit();

private:
    struct Timer {
        uint64_t periodMs;
        uint64_t dueMs;
        Callback callback;
    };
    void runDueTimers();

    int wake_[2] = {-1, -1};
    int fd_ = -1;
    Callback onReadable_;
    uint64_t pausedUntilMs_ = 0;
    std::map<int, Timer> timers_;
    int nextId_ = 1;
    volatile bool quit_ = false;
    int64_t originNs_ = 0;
};

}  // namespace nvx::sim
