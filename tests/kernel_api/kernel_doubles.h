#pragma once
// Stand-ins for the main window and the kernel window's controls, and a fresh stack per test
// with a scripted device on an in-memory line. The device codes frames with its own small coder,
// not with the stack's, so a mistake in the stack cannot be mirrored here.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comm/api_request.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "kernel_api/kernel_api.h"
#include "platform/timer_service.h"
#include "shell/shell.h"
#include "support/scratch_start_directory.h"

namespace nvx::test {

using Bytes = std::vector<uint8_t>;

class RecordingShell : public MonitorShell {
public:
    void AppendMonitorLog(std::string message) override { log.push_back(std::move(message)); }
    bool IsComPortOpen() override { return ComPortState != kComPortClosed; }
    bool OpenComPort() override { return true; }
    void CloseComPort() override {}
    void MarkComPortOpen() override { ++markOpenCalls; }

    std::vector<std::string> log;
    int markOpenCalls = 0;
};

// Holds what the controls show; a test types into `screen` like a user.
class RecordingKernelView : public KernelApiView {
public:
    RejectedNumbers readControls(KernelApiFields& fields) override {
        ++reads;
        const int32_t slot = fields.slotNumber, timer = fields.timerNumber;
        fields = screen;
        if (rejectSlot) fields.slotNumber = slot;
        if (rejectTimer) fields.timerNumber = timer;
        return {rejectSlot, rejectTimer};
    }
    void writeControls(const KernelApiFields& fields) override {
        screen = fields;
        writes.push_back(fields);
    }
    MessageAnswer ask(const std::string& text, MessageIcon icon, MessageButtons buttons) override {
        questions.push_back({text, icon, buttons});
        if (answers.empty()) return MessageAnswer::Ok;
        const MessageAnswer a = answers.front();
        answers.pop_front();
        return a;
    }

    struct Question {
        std::string text;
        MessageIcon icon;
        MessageButtons buttons;
    };
    KernelApiFields screen;
    bool rejectSlot = false;  // the number field holds no integer
    bool rejectTimer = false;
    int reads = 0;
    std::vector<KernelApiFields> writes;
    std::vector<Question> questions;
    std::deque<MessageAnswer> answers;  // Ok when empty
};

// ---- the device's own frame coder ----

inline uint8_t DeviceCheckByte(const Bytes& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    while (sum > 0xFF) sum = (sum & 0xFF) + (sum >> 8);
    return static_cast<uint8_t>(0xFF - sum);
}

inline uint16_t DeviceIdWord(uint16_t id) {
    id &= 0x3FFF;
    const unsigned even = std::popcount(static_cast<unsigned>(id & 0x1555)) & 1;
    const unsigned odd = std::popcount(static_cast<unsigned>(id & 0x2AAA)) & 1;
    return static_cast<uint16_t>(id << 2 | odd << 1 | even);
}

inline Bytes DeviceFrame(uint16_t id, const Bytes& data) {
    const uint8_t kind = data.empty() ? 0x54 : data.size() == 2 ? 0x55 : 0x56;
    const uint16_t word = DeviceIdWord(id);
    Bytes f{kind, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF)};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(DeviceCheckByte(f));
    return f;
}

struct SeenFrame {
    uint16_t id = 0;
    bool intact = false;  // check byte and identifier parity right
    Bytes data;
    uint64_t atMs = 0;
};

// A stack as the program starts it (pump timer, then tick timer, both 10 ms) with a device that
// answers each request frame by `reply`; nullopt keeps it silent.
class KernelLineTest : public ::testing::Test {
protected:
    using Reply = std::function<std::optional<Bytes>(const SeenFrame&)>;

    void SetUp() override {
        ResetKernelApiState();
        startDirectory.Use();
        InitCommStack();
        g_tickPeriodMs = 10;
        g_startTickPeriodMs = 10;
        clock.start(10, [this] { PumpTick(); });
        StartTickTimer(clock);
    }
    void TearDown() override { ApiRequest::Reset(); }

    // Commands that change the unit are journalled there.
    ScratchStartDirectory startDirectory;

    // Answers every request with data bytes of its own choosing.
    void AnswerWith(Bytes data) {
        reply = [data](const SeenFrame&) -> std::optional<Bytes> { return data; };
    }

    void PumpTick() {
        if (g_linkTxRegister[0] >= 0) {
            const uint8_t b = static_cast<uint8_t>(g_linkTxRegister[0]);
            g_linkTxRegister[0] = -1;
            LinkTxDone(0);
            Feed(b);
        }
        while (!toHost.empty()) {
            g_linkRxRegister[0] = toHost.front();
            toHost.pop_front();
            LinkRxByte(0);
        }
    }

    void Feed(uint8_t b) {
        if (partial.empty()) {
            if (b < 0x54 || b > 0x56) return;
            need = static_cast<std::size_t>(4 + (b - 0x54) * 2);
        }
        partial.push_back(b);
        if (partial.size() < need) return;
        SeenFrame seen;
        const Bytes body(partial.begin(), partial.end() - 1);
        const uint16_t word = static_cast<uint16_t>(partial[1] << 8 | partial[2]);
        seen.id = static_cast<uint16_t>(word >> 2);
        seen.intact = DeviceCheckByte(body) == partial.back() && DeviceIdWord(seen.id) == word;
        seen.data.assign(partial.begin() + 3, partial.end() - 1);
        seen.atMs = clock.nowMs();
        partial.clear();
        frames.push_back(seen);
        if (reply) {
            if (auto data = reply(seen)) {
                const Bytes f = DeviceFrame(seen.id, *data);
                toHost.insert(toHost.end(), f.begin(), f.end());
            }
        }
    }

    // Runs until the window is no longer Busy and nothing is under way.
    bool RunToEnd(uint64_t maxMs = 10000) {
        return clock.advanceUntil(
            [] {
                return KernelWindowState != kKernelWindowBusy &&
                       KernelRequestState == kKernelRequestIdle;
            },
            maxMs, 1);
    }

    VirtualClock clock;
    Reply reply;
    std::vector<SeenFrame> frames;
    std::deque<uint8_t> toHost;
    Bytes partial;
    std::size_t need = 0;
};

}  // namespace nvx::test
