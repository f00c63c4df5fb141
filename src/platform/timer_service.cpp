#include "platform/timer_service.h"

#include <limits>

namespace nvx {

int VirtualClock::start(uint32_t periodMs, Callback callback) {
    return add(EffectivePeriodMs(periodMs), std::move(callback));
}

int VirtualClock::startFine(uint32_t periodMs, Callback callback) {
    return add(EffectivePeriodMs(periodMs, kFinestTimerPeriodMs), std::move(callback));
}

int VirtualClock::add(uint64_t periodMs, Callback callback) {
    const int id = nextId_++;
    timers_.emplace(id, Timer{periodMs, now_ + periodMs, std::move(callback)});
    return id;
}

void VirtualClock::stop(int id) { timers_.erase(id); }

void VirtualClock::advance(uint64_t ms) {
    const uint64_t end = now_ + ms;
    for (;;) {
        // Earliest due timer; ties go to the lower id, i.e. the one started first.
        int dueId = 0;
        uint64_t due = std::numeric_limits<uint64_t>::max();
        for (const auto& [id, t] : timers_) {
            if (t.dueMs < due) {
                due = t.dueMs;
                dueId = id;
            }
        }
        if (dueId == 0 || due > end) break;
        now_ = due;
        auto it = timers_.find(dueId);
        it->second.dueMs += it->second.periodMs;
        Callback cb = it->second.callback;  // the callback may stop its own timer
        cb();
    }
    now_ = end;
}

bool VirtualClock::advanceUntil(const std::function<bool()>& pred, uint64_t maxMs,
                                uint64_t stepMs) {
    for (uint64_t waited = 0; waited < maxMs; waited += stepMs) {
        if (pred()) return true;
        advance(stepMs);
    }
    return pred();
}

namespace {
const SystemCalendarClock kSystemCalendar;
const CalendarClock* g_calendar = &kSystemCalendar;
int g_osPlatformId = 2;
}  // namespace

const CalendarClock& Calendar() { return *g_calendar; }
void SetCalendar(const CalendarClock* clock) { g_calendar = clock ? clock : &kSystemCalendar; }

int OsPlatformId() { return g_osPlatformId; }
void SetOsPlatformId(int id) { g_osPlatformId = id; }

}  // namespace nvx
