#include "platform/qt_timer_service.h"

#include <QTimer>

namespace nvx {

QtTimerService::QtTimerService() { elapsed_.start(); }
QtTimerService::~QtTimerService() = default;

int QtTimerService::start(uint32_t periodMs, Callback callback) {
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(EffectivePeriodMs(periodMs)));
    QObject::connect(timer.get(), &QTimer::timeout, [cb = std::move(callback)] { cb(); });
    timer->start();
    const int id = nextId_++;
    timers_.emplace(id, std::move(timer));
    return id;
}

void QtTimerService::stop(int id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second->stop();
    // The callback may be stopping its own timer: delete it once control is back in the loop.
    it->second.release()->deleteLater();
    timers_.erase(it);
}

uint64_t QtTimerService::nowMs() const { return static_cast<uint64_t>(elapsed_.elapsed()); }

}  // namespace nvx
