#include "platform/qt_timer_service.h"

#include <QAbstractEventDispatcher>
#include <QTimer>
#include <algorithm>

namespace nvx {

QtTimerService::QtTimerService() { elapsed_.start(); }
QtTimerService::~QtTimerService() { QObject::disconnect(aboutToBlock_); }

int QtTimerService::start(uint32_t periodMs, Callback callback) {
    const uint32_t ms = EffectivePeriodMs(periodMs);
    Period& period = periods_[ms];
    if (!period.driver) {
        period.driver = std::make_unique<QTimer>();
        period.driver->setTimerType(Qt::PreciseTimer);
        period.driver->setInterval(static_cast<int>(ms));
        QObject::connect(period.driver.get(), &QTimer::timeout, [this, ms] {
            auto it = periods_.find(ms);
            if (it != periods_.end()) dispatch(ms, it->second);
        });
    }
    // Also after the last timer of the period was stopped earlier in this very dispatch.
    if (!period.driver->isActive()) period.driver->start();
    const int id = nextId_++;
    period.entries.push_back(std::make_shared<Entry>(Entry{id, std::move(callback)}));
    periodOf_.emplace(id, ms);
    return id;
}

void QtTimerService::stop(int id) {
    auto it = periodOf_.find(id);
    if (it == periodOf_.end()) return;
    const uint32_t ms = it->second;
    periodOf_.erase(it);
    Period& period = periods_.at(ms);
    auto& entries = period.entries;
    auto entry = std::find_if(entries.begin(), entries.end(), [id](const auto& e) { return e->id == id; });
    // A dispatch on the stack holds its own reference, so a running callback outlives this.
    (*entry)->stopped = true;
    entries.erase(entry);
    if (entries.empty()) {
        period.driver->stop();
        if (period.depth == 0) erasePeriod(ms);  // else when the outermost dispatch returns
    }
}

void QtTimerService::dispatch(uint32_t periodMs, Period& period) {
    // Qt delivers no timer event to a QTimer whose handler is still running. When a callback
    // opens a modal dialog, the timer that called it is stuck until the dialog closes, yet the
    // other timers of its period must keep running meanwhile, as they would on QTimers of their
    // own. This level's relief timer does that: started once the nested loop waits, it runs the
    // callbacks that are not on the stack at a level of its own (which has its own relief in
    // turn). A dispatch whose callbacks all return costs no timer of its own.
    if (!aboutToBlock_) {
        if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance())
            aboutToBlock_ = QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock,
                                             [this] { startReliefs(); });
    }
    const std::size_t level = static_cast<std::size_t>(period.depth++);
    // Timers started by a callback wait for the next dispatch, a whole period as on their own.
    const std::vector<std::shared_ptr<Entry>> due = period.entries;
    for (const auto& entry : due) {
        if (entry->stopped || entry->running) continue;
        entry->running = true;
        entry->callback();
        entry->running = false;
    }
    --period.depth;
    if (level < period.reliefs.size() && period.reliefs[level]) period.reliefs[level]->stop();
    if (period.depth == 0 && period.entries.empty()) erasePeriod(periodMs);
}

void QtTimerService::startReliefs() {
    for (auto& [periodMs, period] : periods_) {
        for (std::size_t level = 0; level < static_cast<std::size_t>(period.depth); ++level) {
            if (period.reliefs.size() <= level) period.reliefs.resize(level + 1);
            std::unique_ptr<QTimer>& relief = period.reliefs[level];
            if (!relief) {
                relief = std::make_unique<QTimer>();
                relief->setTimerType(Qt::PreciseTimer);
                relief->setInterval(static_cast<int>(periodMs));
                const uint32_t ms = periodMs;
                QObject::connect(relief.get(), &QTimer::timeout, [this, ms] {
                    auto it = periods_.find(ms);
                    if (it != periods_.end()) dispatch(ms, it->second);
                });
            }
            if (!relief->isActive()) relief->start();
        }
    }
}

void QtTimerService::erasePeriod(uint32_t periodMs) {
    auto it = periods_.find(periodMs);
    // We may be inside the driver's or a relief's own timeout: let the event loop delete them.
    it->second.driver.release()->deleteLater();
    for (std::unique_ptr<QTimer>& relief : it->second.reliefs)
        if (relief) relief.release()->deleteLater();
    periods_.erase(it);
}

uint64_t QtTimerService::nowMs() const { return static_cast<uint64_t>(elapsed_.elapsed()); }

}  // namespace nvx
