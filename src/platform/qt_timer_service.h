#pragma once
// Real time for the application and the CLI: every timer is a precise QTimer on the UI thread.
// Timers of one period share a single QTimer, so that they cost one wakeup of the event loop
// between them instead of one each.

#include <QElapsedTimer>
#include <QMetaObject>
#include <cstddef>
#include <map>
#include <memory>
#include <vector>

#include "platform/timer_service.h"

class QTimer;

namespace nvx {

class QtTimerService : public TimerService {
public:
    QtTimerService();
    ~QtTimerService() override;
    int start(uint32_t periodMs, Callback callback) override;
    void stop(int id) override;
    uint64_t nowMs() const override;

    // Driving QTimers alive, one per period in use.
    std::size_t drivingTimerCount() const { return periods_.size(); }

private:
    struct Entry {
        int id;
        Callback callback;
        bool stopped = false;
        bool running = false;  // on the stack, possibly inside a nested event loop
    };
    struct Period {
        std::unique_ptr<QTimer> driver;
        std::vector<std::shared_ptr<Entry>> entries;  // in start order
        int depth = 0;                                // dispatches of this period on the stack
        // reliefs[level]: runs the period's other callbacks while one of dispatch level `level`
        // waits in a nested event loop; started only then, made on first need and kept.
        std::vector<std::unique_ptr<QTimer>> reliefs;
    };

    void dispatch(uint32_t periodMs, Period& period);
    void erasePeriod(uint32_t periodMs);
    // An event loop is about to wait: every dispatch level still on the stack is stuck in a
    // nested loop, so its relief must run.
    void startReliefs();

    QElapsedTimer elapsed_;
    int nextId_ = 1;
    std::map<uint32_t, Period> periods_;  // by effective period; nodes stay put
    std::map<int, uint32_t> periodOf_;    // timer id -> its period
    QMetaObject::Connection aboutToBlock_;
};

}  // namespace nvx
