#pragma once
// A small stand-in for a Solvane panel at the other end of the link registers, with its own frame
// codec so that a fault in the host's codec is not mirrored here. It keeps the 30 text
// characters and records every request it understood; faults are switched on per address.

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "comm/link.h"
#include "platform/timer_service.h"

namespace nvx::test {

class FakePanel {
public:
    struct Request {
        uint16_t id;
        std::vector<uint8_t> data;
    };

    explicit FakePanel(TimerService& timers, uint32_t pumpPeriodMs = 10) : timers_(timers) {
        pumpId_ = timers_.start(pumpPeriodMs, [this] { Pump(); });
        text.assign(30, ' ');
    }
    ~FakePanel() { timers_.stop(pumpId_); }

    // Faults.
    bool silent = false;                        // answers nothing at all
    std::map<uint8_t, uint8_t> wrongEcho;       // write address -> echo sent instead
    std::map<uint8_t, int> silentFor;           // address -> how many requests to ignore
    bool shortReplies = false;                  // replies without data ("T")
    int replyDelayTicks = 2;                    // pump ticks between request and reply

    std::string text;                           // the 30 characters
    std::vector<Request> requests;              // every well-formed request, in order
    int badFrames = 0;

    static uint16_t IdentifierWord(uint16_t id) {
        uint16_t odd = 0, even = 0;
        for (int bit = 0; bit < 14; ++bit) {
            if (((id >> bit) & 1) == 0) continue;
            if (bit % 2) odd ^= 1; else even ^= 1;
        }
        return static_cast<uint16_t>(id << 2 | odd << 1 | even);
    }

    static std::vector<uint8_t> Frame(uint16_t id, const std::vector<uint8_t>& data) {
        const uint8_t kinds[] = {0x54, 0, 0x55, 0, 0x56};
        std::vector<uint8_t> f{kinds[data.size()]};
        const uint16_t word = IdentifierWord(id);
        f.push_back(static_cast<uint8_t>(word >> 8));
        f.push_back(static_cast<uint8_t>(word & 0xFF));
        f.insert(f.end(), data.begin(), data.end());
        unsigned sum = 0;
        for (uint8_t b : f) {
            sum += b;
            if (sum > 255) sum -= 255;
        }
        f.push_back(static_cast<uint8_t>(255 - sum));
        return f;
    }

private:
    void Pump() {
        if (g_linkTxRegister[0] >= 0) {
            const uint8_t b = static_cast<uint8_t>(g_linkTxRegister[0] & 0xFF);
            g_linkTxRegister[0] = -1;
            Receive(b);
            LinkTxDone(0);
        }
        if (!pending_.empty() && --pending_.front().ticks <= 0) {
            for (uint8_t b : pending_.front().bytes) {
                g_linkRxRegister[0] = b;
                LinkRxByte(0);
            }
            pending_.pop_front();
        }
    }

    void Receive(uint8_t b) {
        if (frame_.empty()) {
            const std::size_t length = b == 0x54 ? 4 : b == 0x55 ? 6 : b == 0x56 ? 8 : 0;
            if (length == 0) return;  // noise
            expected_ = length;
        }
        frame_.push_back(b);
        if (frame_.size() < expected_) return;
        std::vector<uint8_t> f;
        f.swap(frame_);
        unsigned sum = 0;
        for (uint8_t x : f) {
            sum += x;
            if (sum > 255) sum -= 255;
        }
        const uint16_t word = static_cast<uint16_t>(f[1] << 8 | f[2]);
        const uint16_t id = word >> 2;
        if (sum != 255 || IdentifierWord(id) != word) {
            ++badFrames;
            return;
        }
        Request r{id, std::vector<uint8_t>(f.begin() + 3, f.end() - 1)};
        requests.push_back(r);
        Answer(r);
    }

    void Answer(const Request& r) {
        if (silent || r.id != 0x0411 || r.data.size() != 2) return;
        const uint8_t address = r.data[0] & 0x7F;
        if (auto it = silentFor.find(address); it != silentFor.end() && it->second > 0) {
            --it->second;
            return;
        }
        uint8_t reply = 0;
        if (address < text.size()) {
            if (r.data[0] & 0x80) text[address] = static_cast<char>(r.data[1]);
            reply = static_cast<uint8_t>(text[address]);
        }
        if (r.data[0] & 0x80) {
            if (auto it = wrongEcho.find(address); it != wrongEcho.end()) reply = it->second;
        }
        std::vector<uint8_t> data;
        if (!shortReplies) data = {reply, address};
        pending_.push_back({replyDelayTicks, Frame(r.id, data)});
    }

    struct Pending {
        int ticks;
        std::vector<uint8_t> bytes;
    };
    TimerService& timers_;
    int pumpId_ = 0;
    std::vector<uint8_t> frame_;
    std::size_t expected_ = 0;
    std::deque<Pending> pending_;
};

}  // namespace nvx::test
