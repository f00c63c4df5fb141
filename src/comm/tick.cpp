#include "comm/tick.h"

#include "comm/api_request.h"
#include "comm/converter.h"
#include "comm/link.h"
#include "platform/timer_service.h"

namespace nvx {

uint32_t g_tickPeriodMs = 0;
uint32_t g_startTickPeriodMs = 0;
int32_t g_tickCount = 0;
std::time_t g_measureStart = 0;

void TickProc() {
    // Counted first, so the division below never sees 0.
    ++g_tickCount;
    // Whole calendar seconds are coarse: the measured period follows the real timer delivery
    // closely enough for the millisecond countdowns, which is all it is for.
    if (std::difftime(Calendar().now(), g_measureStart) >= kMeasureIntervalSeconds) {
        g_tickPeriodMs = static_cast<uint32_t>(10000 / g_tickCount);
        g_measureStart = Calendar().now();
        g_tickCount = 0;
    }
    ConverterStep();
    ConverterPrepareTransmit();
    ConverterValidateReceived();
    ConverterAge(g_tickPeriodMs);
    ConverterWatchdog();
    g_apiRequest.Tick();
}

void InitCommStack() {
    LinkInit();
    ConverterInit();
    ConverterEnableChannel(0);
    ApiRequest::Reset();
}

void ChooseStartTickPeriod() {
    switch (OsPlatformId()) {
        case kOsFamily95: g_tickPeriodMs = 50; break;
        case kOsFamilyNt: g_tickPeriodMs = 10; break;
        default: break;  // stays as it is until the first measurement
    }
    g_startTickPeriodMs = g_tickPeriodMs;
}

int StartTickTimer(TimerService& timers) {
    const int id = timers.start(g_tickPeriodMs, [] { TickProc(); });
    g_measureStart = Calendar().now();
    g_tickCount = 0;
    return id;
}

}  // namespace nvx
