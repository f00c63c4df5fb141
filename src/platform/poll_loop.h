#pragma once
// Real time without Qt, for norvix-sim and nvx: a TimerService whose timers run in a poll() loop
// that sleeps until the next due timer, and that can also wake up as soon as one descriptor has
// input (the virtual device answers a programmer's command at once rather than on its next step).
//
// Timers fire on a grid of their period counted from the loop's origin, so timers of one period
// share one wakeup however far apart they were started. A timer's first firing thus comes within
// one period of its start, not exactly one period after it.

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>

#include "platform/timer_service.h"

namespace nvx {

class PollLoop : public TimerService {
public:
    PollLoop();
    ~PollLoop() override;
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    int start(uint32_t periodMs, Callback callback) override;
    int startFine(uint32_t periodMs, Callback callback) override;
    void stop(int id) override;
    uint64_t nowMs() const override;

    // onReadable runs when fd has input. While the other side of a pty is closed, poll reports a
    // hang-up at once and for good; the fd is then left out for a short pause instead of spinning.
    void watch(int fd, Callback onReadable);
    // Runs until quit().
    void run();
    // Runs until done() holds, checked after every pass of due timers and every input (returns
    // true), or until timeoutMs have passed or quit() was called (returns done() once more).
    bool runUntil(const std::function<bool()>& done, uint64_t timeoutMs);
    // Async-signal-safe: may be called from a signal handler. Ends run() and runUntil() for good.
    void quit();

private:
    struct Timer {
        uint64_t periodMs;
        uint64_t dueMs;
        Callback callback;
    };
    void runDueTimers();
    int add(uint64_t periodMs, Callback callback);
    // Sleeps until the next due timer, deadlineMs, input on the watched fd or quit(), and serves
    // the input.
    void waitAndServe(uint64_t deadlineMs);

    int wake_[2] = {-1, -1};
    int fd_ = -1;
    Callback onReadable_;
    uint64_t pausedUntilMs_ = 0;
    std::map<int, Timer> timers_;
    int nextId_ = 1;
    volatile std::sig_atomic_t quit_ = 0;
    int64_t originNs_ = 0;
};

}  // namespace nvx
