#pragma once
// The one periodic callback that drives the whole stack, and the measured tick period.

#include <cstdint>
#include <ctime>

namespace nvx {

constexpr double kMeasureIntervalSeconds = 10.0;

extern uint32_t g_tickPeriodMs;
extern uint32_t g_startTickPeriodMs;
extern int32_t g_tickCount;
extern std::time_t g_measureStart;

// One tick: measurement, then the converter steps and the request engine, in that order.
void TickProc();

// LinkInit, ConverterInit, channel 0 enabled, request engine idle: a fresh stack.
void InitCommStack();

}  // namespace nvx
