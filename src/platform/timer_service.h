#pragma once
// Every periodic activity of the program registers here, so that the application runs on real
// timers and the tests on a virtual clock that fires due timers in time order.

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>

namespace nvx {

// A period below this is raised to it: a zero or tiny period must never make a busy loop.
constexpr uint32_t kMinTimerPeriodMs = 10;
// The finest period startFine() takes, for what must keep a wire's time between bytes.
constexpr uint32_t kFinestTimerPeriodMs = 1;

class TimerService {
public:
    using Callback = std::function<void()>;
    virtual ~TimerService() = default;
    // Starts a periodic timer; returns its id (> 0).
    virtual int start(uint32_t periodMs, Callback callback) = 0;
    // As start(), with periods down to kFinestTimerPeriodMs where the service can time them;
    // one that cannot runs the timer at its usual minimum.
    virtual int startFine(uint32_t periodMs, Callback callback) { return start(periodMs, std::move(callback)); }
    virtual void stop(int id) = 0;
    // Milliseconds since an arbitrary origin; monotonic.
    virtual uint64_t nowMs() const = 0;
};

constexpr uint32_t EffectivePeriodMs(uint32_t periodMs, uint32_t minimumMs = kMinTimerPeriodMs) {
    return periodMs < minimumMs ? minimumMs : periodMs;
}

// Test time: advance() fires every due timer in time order, ties in start order.
class VirtualClock : public TimerService {
public:
    int start(uint32_t periodMs, Callback callback) override;
    int startFine(uint32_t periodMs, Callback callback) override;
    void stop(int id) override;
    uint64_t nowMs() const override { return now_; }

    void advance(uint64_t ms);
    // Runs until pred() holds or maxMs have passed; returns whether pred() held.
    bool advanceUntil(const std::function<bool()>& pred, uint64_t maxMs, uint64_t stepMs = 1);
    bool isRunning(int id) const { return timers_.count(id) != 0; }
    std::size_t timerCount() const { return timers_.size(); }

private:
    struct Timer {
        uint64_t periodMs;
        uint64_t dueMs;
        Callback callback;
    };
    int add(uint64_t periodMs, Callback callback);
    uint64_t now_ = 0;
    int nextId_ = 1;
    std::map<int, Timer> timers_;
};

// Calendar time (seconds) as the program sees it; injected so tests control it.
class CalendarClock {
public:
    virtual ~CalendarClock() = default;
    virtual std::time_t now() const = 0;
};

class SystemCalendarClock : public CalendarClock {
public:
    std::time_t now() const override { return std::time(nullptr); }
};

// Calendar time that follows a TimerService's milliseconds from a fixed start.
class TimerCalendarClock : public CalendarClock {
public:
    TimerCalendarClock(const TimerService& timers, std::time_t start) : timers_(timers), start_(start) {}
    std::time_t now() const override {
        return start_ + static_cast<std::time_t>(timers_.nowMs() / 1000);
    }

private:
    const TimerService& timers_;
    std::time_t start_;
};

// The process-wide calendar clock (the system clock unless a test sets another).
const CalendarClock& Calendar();
void SetCalendar(const CalendarClock* clock);  // nullptr restores the system clock

// Operating-system family as the start-up reports it: 1 = 95/98/ME, 2 = NT, else unknown.
// Linux reports the NT family; tests inject the others.
int OsPlatformId();
void SetOsPlatformId(int id);

}  // namespace nvx
