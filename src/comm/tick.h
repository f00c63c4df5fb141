#pragma once
// The one periodic callback that drives the whole stack, and the measured tick period.

#include <cstdint>
#include <ctime>

namespace nvx {

class TimerService;

constexpr double kMeasureIntervalSeconds = 10.0;

// Operating-system families as OsPlatformId() reports them.
constexpr int kOsFamily95 = 1;
constexpr int kOsFamilyNt = 2;

extern uint32_t g_tickPeriodMs;
extern uint32_t g_startTickPeriodMs;
extern int32_t g_tickCount;
extern std::time_t g_measureStart;

// One tick: measurement, then the converter steps and the request engine, in that order.
void TickProc();

// LinkInit, ConverterInit, channel 0 enabled, request engine idle: a fresh stack.
void InitCommStack();

// The first tick period from the operating-system family (50 ms for the 95 family, 10 ms for NT,
// else unchanged), copied into g_startTickPeriodMs.
void ChooseStartTickPeriod();

// Starts TickProc at g_tickPeriodMs (a period below 10 ms runs at 10 ms) and begins the first
// measurement interval. Returns the timer id.
int StartTickTimer(TimerService& timers);

}  // namespace nvx
