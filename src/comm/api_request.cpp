#include "comm/api_request.h"

#include <algorithm>
#include <cstring>

#include "comm/tick.h"

namespace nvx {

ApiRequest g_apiRequest;

namespace {

constexpr uint32_t kSendRetries = 3;
constexpr uint32_t kReplyWaits = 4;
constexpr uint32_t kDefaultReplyWaitMs = 750;
constexpr uint32_t kHoldMs = 2000;
// The margin over the device's own reply time before a reply counts as a late one.
constexpr uint32_t kLateMarginDivisor = 4;  // of a reply wait

// The engine's state is process-wide: there is exactly one engine whatever the instances.
struct EngineState {
    int32_t state;
    BusMessage message;
    uint8_t savedLength;
    uint32_t sendRetries;
    uint32_t polls;
    uint32_t replyWaitMs;
    uint32_t replyTimeoutMs;
    uint32_t holdMs;
    // Copies of the request under way that went out, the time since the first and the last of
    // them, and the time from the first to the last.
    uint32_t copiesSent;
    uint32_t sinceFirstCopyMs;
    uint32_t sinceLastCopyMs;
    uint32_t spreadMs;
    // How long the device took to answer the last request that its first copy completed well
    // within its wait (0: none did).
    uint32_t replyTimeMs;
    // A device that answers late answers every copy: replies still owed to the copies of a
    // completed request are dropped, so they are never taken for the next request with its
    // identifier. They come within the copies' spread plus one reply wait, each one about a
    // reply wait after a copy of the next request went out, where the device's answer to that
    // copy would come much sooner.
    uint32_t staleId;
    uint32_t staleReplies;
    uint32_t staleWindowMs;
};

constexpr EngineState kFreshEngine{kRequestIdle, BusMessage{}, 0, kSendRetries, kReplyWaits,
                                   kDefaultReplyWaitMs, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
EngineState g_engine = kFreshEngine;

// Counts a millisecond countdown down by one tick; true once less than one tick is left.
bool CountDown(uint32_t& remainingMs) {
    const uint32_t period = g_tickPeriodMs;
    remainingMs = remainingMs >= period ? remainingMs - period : 0;
    return remainingMs < period;
}

uint32_t ReplyWaitMs() {
    return g_engine.replyTimeoutMs > 0 ? g_engine.replyTimeoutMs : kDefaultReplyWaitMs;
}

void Finish(int32_t finalState) {
    EngineState& e = g_engine;
    if (finalState == kRequestDone) {
        if (e.copiesSent == 1) {
            // A reply near the end of its wait (a late device, or ticks that came late) says
            // nothing about how quickly the device answers.
            const uint32_t wait = ReplyWaitMs();
            const bool wellWithin = e.sinceLastCopyMs < wait - wait / kLateMarginDivisor;
            e.replyTimeMs = wellWithin ? e.sinceLastCopyMs : 0;
        } else if (e.copiesSent > 1) {
            // A reply answered one copy; the others may still be answered.
            e.staleId = e.message.id;
            e.staleReplies = e.copiesSent - 1;
            e.staleWindowMs = e.spreadMs + ReplyWaitMs();
        }
    }
    e.copiesSent = 0;
    e.state = finalState;
    e.holdMs = kHoldMs;
}

// A reply with the identifier of a completed request that came too long after the first copy of
// the request under way (if any) to answer it: the device answers that quickly as a rule. Timed
// from the first copy, not the last: a device answers in order, so an owed reply comes before
// any answer to this request, even when it lands just after this request's next copy went out.
bool TooLateForTheRequestUnderWay() {
    const EngineState& e = g_engine;
    if (e.copiesSent == 0) return true;
    const uint32_t wait = ReplyWaitMs();
    return e.sinceFirstCopyMs >= std::max(wait / 2, e.replyTimeMs + wait / kLateMarginDivisor);
}

// Takes the replies owed to the copies of a completed request off the line while they are due.
void DropStaleReplies() {
    EngineState& e = g_engine;
    if (e.staleReplies == 0) return;
    if (CountDown(e.staleWindowMs)) e.staleReplies = 0;
    if (!TooLateForTheRequestUnderWay()) return;
    BusMessage stale{};
    stale.id = e.staleId;
    while (e.staleReplies > 0) {
        const uint16_t found = ConverterReceive(stale);
        if (found == 0 || found == 0xFFFE) break;
        --e.staleReplies;
    }
}

void TrySend() {
    EngineState& e = g_engine;
    if (e.message.id == 0) return;  // never sent; the request stays where it is
    if (ConverterSend(e.message) == 0) {
        if (e.copiesSent++ == 0) e.sinceFirstCopyMs = 0;
        e.sinceLastCopyMs = 0;
        e.spreadMs = e.sinceFirstCopyMs;
        e.replyWaitMs = ReplyWaitMs();
        e.state = kRequestWait;
        return;
    }
    if (--e.sendRetries > 0) {
        e.state = kRequestSend;
    } else {
        Finish(kRequestFailed);
    }
}

}  // namespace

ApiRequest::ApiRequest() { g_engine.replyTimeoutMs = 0; }
ApiRequest::~ApiRequest() = default;

void ApiRequest::Reset() { g_engine = kFreshEngine; }

int32_t ApiRequest::State() { return g_engine.state; }

bool ApiRequest::Start(uint32_t commandId, const BusMessage& request, uint32_t replyTimeoutMs) {
    EngineState& e = g_engine;
    if (e.state != kRequestIdle) return false;
    e.message.channel = 0;
    e.message.id = commandId;
    e.message.mask = 0;
    e.savedLength = request.length;
    std::memcpy(e.message.data, request.data, sizeof e.message.data);
    e.replyTimeoutMs = replyTimeoutMs;
    e.copiesSent = 0;
    e.state = kRequestNew;
    return true;
}

int32_t ApiRequest::Poll(BusMessage& reply, int32_t& sendRetries, int32_t& replyTimeouts,
                         int32_t& waitedMs) {
    EngineState& e = g_engine;
    switch (e.state) {
        case kRequestDone:
            reply = e.message;
            sendRetries = replyTimeouts = waitedMs = 0;
            e.state = kRequestIdle;
            return MsgDataLength(reply);
        case kRequestFailed:
            std::memset(reply.data, 0, sizeof reply.data);
            sendRetries = replyTimeouts = waitedMs = 0;
            e.state = kRequestIdle;
            return kPollFailed;
        case kRequestIdle:
            return kPollIdle;
        default:
            // The three may be one variable; the last one written wins, as for the clients.
            sendRetries = static_cast<int32_t>(kSendRetries - e.sendRetries);
            replyTimeouts = static_cast<int32_t>(kReplyWaits - e.polls);
            waitedMs = static_cast<int32_t>(kDefaultReplyWaitMs - e.replyWaitMs);
            return kPollUnderWay;
    }
}

void ApiRequest::Tick() {
    EngineState& e = g_engine;
    DropStaleReplies();
    if (e.copiesSent > 0) {
        e.sinceFirstCopyMs += g_tickPeriodMs;
        e.sinceLastCopyMs += g_tickPeriodMs;
    }
    switch (e.state) {
        case kRequestNew:
            e.polls = kReplyWaits;
            [[fallthrough]];
        case kRequestResend:
            e.sendRetries = kSendRetries;
            e.message.length = e.savedLength;
            [[fallthrough]];
        case kRequestSend:
            TrySend();
            break;
        case kRequestWait: {
            const uint16_t found = ConverterReceive(e.message);
            // 0xFFFE means the channel is not enabled: that is no reply.
            if (found != 0 && found != 0xFFFE) {
                Finish(kRequestDone);
                break;
            }
            if (CountDown(e.replyWaitMs)) {
                if (--e.polls > 0) {
                    e.state = kRequestResend;
                } else {
                    Finish(kRequestFailed);
                }
            }
            break;
        }
        case kRequestDone:
        case kRequestFailed:
            e.sendRetries = kSendRetries;
            e.polls = kReplyWaits;
            e.replyWaitMs = kDefaultReplyWaitMs;
            e.replyTimeoutMs = 0;  // a client's timeout applies to its own request only
            if (CountDown(e.holdMs)) e.state = kRequestIdle;
            break;
        default:
            break;
    }
}

uint8_t MsgDataLength(const BusMessage& msg) { return msg.length & 0x0F; }

void MsgClearData(BusMessage& msg) { msg.length = 0; }

uint8_t MsgGetByte(const BusMessage& msg, uint8_t i) { return msg.data[i & 3]; }

void MsgSetByte(BusMessage& msg, uint8_t i, uint8_t v) {
    const uint8_t k = i & 3;
    msg.data[k] = v;
    if (k % 2 == 0) {
        msg.data[k + 1] = 0;
        msg.length = static_cast<uint8_t>(k + 2);
    } else {
        msg.length = static_cast<uint8_t>(k + 1);
    }
}

uint16_t MsgGetWord(const BusMessage& msg, uint8_t i) {
    const uint8_t j = i & 2;
    return static_cast<uint16_t>(msg.data[j] | msg.data[j + 1] << 8);
}

void MsgSetWord(BusMessage& msg, uint8_t i, uint16_t v) {
    const uint8_t j = i & 2;
    msg.data[j] = static_cast<uint8_t>(v & 0xFF);
    msg.data[j + 1] = static_cast<uint8_t>(v >> 8);
    msg.length = static_cast<uint8_t>(j + 2);
}

}  // namespace nvx
