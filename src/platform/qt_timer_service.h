#pragma once
// Real time for the application and the CLI: every timer is a precise QTimer on the UI thread.

#include <QElapsedTimer>
#include <QObject>
#include <map>
#include <memory>

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

private:
    QElapsedTimer elapsed_;
    int nextId_ = 1;
    std::map<int, std::unique_ptr<QTimer>> timers_;
};

}  // namespace nvx
