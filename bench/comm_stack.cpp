// Cost of the communication stack: one TickProc with a busy channel, and one whole request
// exchange over an in-memory line under virtual time (with its latency in pump ticks against
// the least that one byte per pump tick allows).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "comm/api_request.h"
#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/timer_service.h"

namespace {

using namespace nvx;

class FixedCalendar : public CalendarClock {
public:
    std::time_t now() const override { return 1'400'000'000; }
};

FixedCalendar g_fixedCalendar;

void FreshStack() {
    SetCalendar(&g_fixedCalendar);
    InitCommStack();
    g_tickPeriodMs = 10;
    g_startTickPeriodMs = 10;
    g_measureStart = g_fixedCalendar.now();
    g_tickCount = 0;
}

// The far end of the line: answers every complete frame with the same frame (its own coding is
// not needed here; the request engine takes a reply that carries the request's identifier).
class EchoDevice {
public:
    void Take(uint8_t b) {
        if (frame_.empty() && (b < 0x54 || b > 0x56)) return;
        if (frame_.empty()) need_ = static_cast<size_t>(4 + (b - 0x54) * 2);
        frame_.push_back(b);
        if (frame_.size() == need_) {
            pending.insert(pending.end(), frame_.begin(), frame_.end());
            frame_.clear();
        }
    }
    std::deque<uint8_t> pending;

private:
    std::vector<uint8_t> frame_;
    size_t need_ = 0;
};

// What the pump does on one tick, against the echo device.
void PumpTick(EchoDevice& device) {
    if (g_linkTxRegister[0] >= 0) {
        const uint8_t b = static_cast<uint8_t>(g_linkTxRegister[0]);
        g_linkTxRegister[0] = -1;
        LinkTxDone(0);
        device.Take(b);
    }
    while (!device.pending.empty()) {
        g_linkRxRegister[0] = device.pending.front();
        device.pending.pop_front();
        LinkRxByte(0);
    }
}

BusMessage Request(uint32_t id) {
    BusMessage m{};
    m.id = id;
    MsgSetWord(m, 0, 0x1234);
    return m;
}

void BM_TickProcIdle(benchmark::State& state) {
    FreshStack();
    for (auto _ : state) TickProc();
    SetCalendar(nullptr);
}
BENCHMARK(BM_TickProcIdle);

// Requests back to back, the queue kept full, frames going out and echoes coming in: every step
// of the converter and the engine has work. The pump's share is measured separately below.
void BM_TickProcBusyChannel(benchmark::State& state) {
    FreshStack();
    EchoDevice device;
    const BusMessage filler = Request(0x0300);
    BusMessage reply{};
    int32_t info = 0;
    for (auto _ : state) {
        while (ConverterSend(filler) == 0) {
        }
        if (g_apiRequest.Poll(reply, info, info, info) != kPollUnderWay) g_apiRequest.Start(0x0081, filler, 0);
        // Only TickProc is timed (the two clock reads are included in the figure).
        const auto start = std::chrono::steady_clock::now();
        TickProc();
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        PumpTick(device);
    }
    SetCalendar(nullptr);
}
BENCHMARK(BM_TickProcBusyChannel)->UseManualTime();

void BM_TickAndPumpBusyChannel(benchmark::State& state) {
    FreshStack();
    EchoDevice device;
    const BusMessage filler = Request(0x0300);
    BusMessage reply{};
    int32_t info = 0;
    for (auto _ : state) {
        while (ConverterSend(filler) == 0) {
        }
        if (g_apiRequest.Poll(reply, info, info, info) != kPollUnderWay) g_apiRequest.Start(0x0081, filler, 0);
        TickProc();
        PumpTick(device);
    }
    SetCalendar(nullptr);
}
BENCHMARK(BM_TickAndPumpBusyChannel);

// One whole exchange with a "U" request and a "U" reply on a quiet line, pump and tick both at
// 10 ms on a virtual clock, the pump started first as in the program.
void BM_RequestExchange(benchmark::State& state) {
    FreshStack();
    VirtualClock clock;
    EchoDevice device;
    clock.start(10, [&] { PumpTick(device); });
    StartTickTimer(clock);
    clock.advance(10);  // channel Idle
    const BusMessage request = Request(0x0081);
    BusMessage reply{};
    int32_t info = 0;
    uint64_t virtualMs = 0;
    int64_t exchanges = 0;
    for (auto _ : state) {
        g_apiRequest.Start(0x0081, request, 0);
        const uint64_t start = clock.nowMs();
        int32_t result = kPollUnderWay;
        while ((result = g_apiRequest.Poll(reply, info, info, info)) == kPollUnderWay) clock.advance(10);
        if (result != 2) state.SkipWithError("exchange failed");
        virtualMs += clock.nowMs() - start;
        ++exchanges;
    }
    // Least possible: queued on tick 1, prepared on tick 2, started on tick 3; the 6 request
    // bytes leave on the next 6 pump ticks, an answer sent at once comes in whole on the pump tick
    // of the check byte, and the tick right after that pump tick takes it: 3 + 6 periods.
    const double leastTicks = 3 + 6;
    const double ticks = static_cast<double>(virtualMs) / 10.0 / static_cast<double>(exchanges);
    state.counters["latency_ms"] = ticks * 10.0;
    state.counters["least_ms"] = leastTicks * 10.0;
    state.counters["latency_ratio"] = ticks / leastTicks;
    SetCalendar(nullptr);
}
BENCHMARK(BM_RequestExchange);

}  // namespace

BENCHMARK_MAIN();
