#pragma once
// Shared pieces of the stack tests: a fresh stack per test, a calendar the test sets, and an
// in-memory line with a device on the far end. The device codes frames with the simulator's
// coder (support/device_frames.h), not with the stack's, so a mistake in the stack cannot be
// mirrored here.

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "comm/api_request.h"
#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/timer_service.h"
#include "support/device_frames.h"

namespace nvx::test {

using Bytes = std::vector<uint8_t>;

class ManualCalendar : public CalendarClock {
public:
    std::time_t now() const override { return t; }
    std::time_t t = 1'400'000'000;
};

struct DeviceFrameSeen {
    uint16_t word = 0;   // identifier word as it came
    uint16_t id = 0;     // word >> 2
    bool parityOk = false;
    bool checkOk = false;
    Bytes data;
    uint64_t atMs = 0;
};

// Collects host bytes into frames, the way a device on the line would.
class DeviceDecoder {
public:
    std::optional<DeviceFrameSeen> feed(uint8_t b, uint64_t nowMs) {
        if (frame_.empty()) {
            if (b < 0x54 || b > 0x56) return std::nullopt;  // noise between frames
            need_ = static_cast<size_t>(4 + (b - 0x54) * 2);
        }
        frame_.push_back(b);
        if (frame_.size() < need_) return std::nullopt;
        DeviceFrameSeen seen;
        const Bytes body(frame_.begin(), frame_.end() - 1);
        seen.checkOk = DeviceCheckByte(body) == frame_.back();
        seen.word = static_cast<uint16_t>(frame_[1] << 8 | frame_[2]);
        seen.id = static_cast<uint16_t>(seen.word >> 2);
        seen.parityOk = DeviceIdWord(seen.id) == seen.word;
        seen.data.assign(frame_.begin() + 3, frame_.end() - 1);
        seen.atMs = nowMs;
        frame_.clear();
        return seen;
    }

private:
    Bytes frame_;
    size_t need_ = 0;
};

// ---- fresh stack per test ----

class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetCalendar(&calendar);
        InitCommStack();
        g_tickPeriodMs = 10;
        g_startTickPeriodMs = 10;
        g_measureStart = calendar.now();
        g_tickCount = 0;
    }
    void TearDown() override { SetCalendar(nullptr); }

    static BusMessage Message(uint32_t id, const Bytes& data, uint8_t channel = 0) {
        BusMessage m{};
        m.channel = channel;
        m.id = id;
        m.length = static_cast<uint8_t>(data.size());
        for (size_t i = 0; i < data.size() && i < 4; ++i) m.data[i] = data[i];
        return m;
    }

    // Hands bytes to the link driver the way the pump does.
    static void Receive(const Bytes& bytes) {
        for (uint8_t b : bytes) {
            g_linkRxRegister[0] = b;
            LinkRxByte(0);
        }
    }

    // Takes the bytes of the frame in flight out of the transmit register, one LinkTxDone each.
    static Bytes DrainTransmitter() {
        Bytes out;
        while (g_linkTxRegister[0] >= 0) {
            out.push_back(static_cast<uint8_t>(g_linkTxRegister[0]));
            g_linkTxRegister[0] = -1;
            LinkTxDone(0);
        }
        return out;
    }

    static void Ticks(int n) {
        for (int i = 0; i < n; ++i) TickProc();
    }

    static ConverterChannel& Conv() { return g_converterChannels[0]; }
    static LinkChannel& Link() { return g_linkChannels[0]; }

    static std::vector<uint8_t> Status() {
        uint8_t s[4];
        ConverterGetStatus(0, s);
        return {s[0], s[1], s[2], s[3]};
    }
    static std::vector<uint8_t> Errors() {
        uint8_t e[5];
        ConverterGetErrors(0, e);
        return {e[0], e[1], e[2], e[3], e[4]};
    }

    static std::vector<int32_t> TraceEntries(const TraceRing& ring) {
        std::vector<int32_t> out;
        for (uint8_t i = ring.readIndex; i != ring.writeIndex; i = static_cast<uint8_t>(i == kTraceRingSize - 1 ? 0 : i + 1))
            out.push_back(ring.entries[i]);
        return out;
    }

    ManualCalendar calendar;
};

// A device on an in-memory line, pumped and ticked by a virtual clock: the pump timer starts
// first (as at program start), then the tick timer, both at 10 ms.
class LineTest : public StackTest {
protected:
    // Answer for the n-th request frame seen (0-based); nullopt = stay silent.
    using Policy = std::function<std::optional<Bytes>(const DeviceFrameSeen&, int n)>;

    void SetUp() override {
        StackTest::SetUp();
        clock.start(10, [this] { PumpTick(); });
        StartTickTimer(clock);
    }

    void PumpTick() {
        if (g_linkTxRegister[0] >= 0) {
            const uint8_t b = static_cast<uint8_t>(g_linkTxRegister[0]);
            g_linkTxRegister[0] = -1;
            onLine.push_back(b);
            LinkTxDone(0);
            if (auto seen = decoder.feed(b, clock.nowMs())) {
                const int n = static_cast<int>(frames.size());
                frames.push_back(*seen);
                if (policy) {
                    if (auto reply = policy(*seen, n)) toHost.insert(toHost.end(), reply->begin(), reply->end());
                }
            }
        }
        while (!toHost.empty()) {
            g_linkRxRegister[0] = toHost.front();
            toHost.pop_front();
            LinkRxByte(0);
        }
    }

    // Polls the engine every tick until it leaves "under way"; returns the first final result.
    int32_t PollUntilFinal(BusMessage& reply, uint64_t maxMs, uint64_t* atMs = nullptr) {
        int32_t result = kPollUnderWay;
        int32_t info = 0;
        clock.advanceUntil(
            [&] {
                result = g_apiRequest.Poll(reply, info, info, info);
                return result != kPollUnderWay;
            },
            maxMs, 10);
        if (atMs) *atMs = clock.nowMs();
        return result;
    }

    VirtualClock clock;
    DeviceDecoder decoder;
    Policy policy;
    Bytes onLine;
    std::vector<DeviceFrameSeen> frames;
    std::deque<uint8_t> toHost;
};

}  // namespace nvx::test
