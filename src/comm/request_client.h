#pragma once
// A client's side of the request engine: one request queued, handed to the engine once it is free,
// polled to its end, then one settling tick before the next. A window that exists once keeps its
// record process-wide, so the client works on storage its owner keeps (StateT is the owner's
// state variable type).

#include <cstdint>

#include "comm/api_request.h"
#include "comm/converter.h"
#include "comm/tick.h"

namespace nvx {

enum RequestClientStateValue : int32_t {
    kClientIdle = 0,
    kClientPending = 1,   // queued, the engine has not taken it yet
    kClientWaiting = 2,   // started, polling
    kClientSettling = 3,  // finished; idle once the settle countdown has run out
};

// What a tick brought the owner.
enum class RequestEvent {
    None,     // nothing new
    Started,  // the engine took the request
    Replied,  // a reply of replyLength() bytes is in the message
    NoReply,  // the engine gave up: no reply
    Lost,     // the engine had no request under way (reset behind the client's back)
};

// Whether the client settles after a reply too, or goes Idle at once (a step machine that asks
// its next request on the following tick).
enum class SettleAfter { AnyEnd, FailureOnly };

template <typename StateT>
class RequestClient {
public:
    struct Record {
        StateT& state;
        uint32_t& id;
        BusMessage& message;  // request data out, reply data back
        int32_t& settleCountdownMs;
    };

    explicit RequestClient(Record record, SettleAfter settle = SettleAfter::AnyEnd)
        : r_(record), settle_(settle) {}

    // Queues a request with an empty message, the caller fills it in; false (nothing changed:
    // the message may belong to the request under way) unless Idle.
    bool Queue(uint32_t id) {
        if (!Is(kClientIdle)) return false;
        r_.id = id;
        MsgClearData(r_.message);
        r_.state = static_cast<StateT>(kClientPending);
        return true;
    }

    // A request the engine has not taken yet must not reach the device after its owner gave up.
    void Withdraw() {
        if (Is(kClientPending)) Reset();
    }

    void Reset() { r_.state = static_cast<StateT>(kClientIdle); }

    // One timer tick. ready: the owner can take the reply (a refused start waits for the next tick:
    // another window's request is under way). replyTimeoutMs 0: the engine's default wait.
    RequestEvent Tick(bool ready, uint32_t replyTimeoutMs = 0) {
        switch (static_cast<int32_t>(r_.state)) {
        case kClientPending:
            if (!ready || !g_apiRequest.Start(r_.id, r_.message, replyTimeoutMs))
                return RequestEvent::None;
            r_.state = static_cast<StateT>(kClientWaiting);
            return RequestEvent::Started;
        case kClientWaiting: {
            const int32_t result =
                g_apiRequest.Poll(r_.message, sendRetries_, replyTimeouts_, waitedMs_);
            if (result == kPollUnderWay) return RequestEvent::None;
            r_.settleCountdownMs = 0;
            const bool replied = result >= 0;
            r_.state = static_cast<StateT>(replied && settle_ == SettleAfter::FailureOnly
                                               ? kClientIdle
                                               : kClientSettling);
            replyLength_ = replied ? result : 0;
            if (replied) return RequestEvent::Replied;
            return result == kPollFailed ? RequestEvent::NoReply : RequestEvent::Lost;
        }
        case kClientSettling:
            r_.settleCountdownMs -= static_cast<int32_t>(g_tickPeriodMs);
            if (r_.settleCountdownMs < 0) Reset();
            return RequestEvent::None;
        default:
            return RequestEvent::None;
        }
    }

    bool Is(RequestClientStateValue state) const {
        return static_cast<int32_t>(r_.state) == state;
    }
    int32_t replyLength() const { return replyLength_; }

private:
    Record r_;
    SettleAfter settle_;
    int32_t replyLength_ = 0;
    // The engine's progress counters; informational only.
    int32_t sendRetries_ = 0;
    int32_t replyTimeouts_ = 0;
    int32_t waitedMs_ = 0;
};

}  // namespace nvx
