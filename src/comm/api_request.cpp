#include "comm/api_request.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "comm/tick.h"

namespace nvx {

ApiRequest g_apiRequest;

namespace {

constexpr uint32_t kSendRetries = 3;
constexpr uint32_t kReplyWaits = 4;
constexpr uint32_t kDefaultReplyWaitMs = 750;
constexpr uint32_t kHoldMs = 2000;
constexpr uint32_t kOwedRecords = 8;

// Replies still owed to copies of a finished request: they come by the settle time or never.
struct OwedReplies {
    uint32_t id;
    uint32_t count;
    uint32_t settleMs;
};

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
    // Copies of the request under way that went out, and the time since the first and the last.
    uint32_t copiesSent;
    uint32_t sinceFirstCopyMs;
    uint32_t sinceLastCopyMs;
    // A reply carries only its identifier, so one owed to an earlier copy would be taken for the
    // next request with that identifier: such a request is not sent until they have come (each
    // taken off the line and dropped) or cannot come any more.
    OwedReplies owed[kOwedRecords];
};

constexpr EngineState kFreshEngine{kRequestIdle, BusMessage{}, 0, kSendRetries, kReplyWaits,
                                   kDefaultReplyWaitMs, 0, 0, 0, 0, 0, {}};
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

// How long after the last copy an owed reply may still come. A device that answers comes within
// all default reply waits together (the longest the engine waits for an ordinary request), or
// within what it showed: the reply that completed the request came at most its time since the
// first copy after the copy it answers, and a later copy's reply comes no later after its own,
// give or take one reply wait of jitter. A request's own longer wait says nothing about the device
// and does not stretch it.
uint32_t OwedReplyWindowMs(bool answered) {
    constexpr uint32_t kSilentDeviceMs = kReplyWaits * kDefaultReplyWaitMs;
    if (!answered) return kSilentDeviceMs;
    return std::max(kSilentDeviceMs, g_engine.sinceFirstCopyMs + kDefaultReplyWaitMs);
}

// Records the replies still owed to the copies of the request that just finished: with replies
// in order and each copy answered at most once, a completed request's reply answered one copy
// and left at most the others owed; a failed one left all of them. The last copy's reply is the
// last to come.
void RecordOwedReplies(uint32_t count, bool answered) {
    EngineState& e = g_engine;
    if (count == 0) return;
    const uint32_t window = OwedReplyWindowMs(answered);
    const uint32_t settle = window > e.sinceLastCopyMs ? window - e.sinceLastCopyMs : 0;
    if (settle == 0) return;
    OwedReplies* slot = nullptr;
    for (OwedReplies& o : e.owed) {
        if (o.count > 0 && o.id == e.message.id) slot = &o;
    }
    if (slot == nullptr) {
        // A free record, else the one settling first (identifiers in use are few).
        slot = &e.owed[0];
        for (OwedReplies& o : e.owed) {
            if (o.count == 0 || o.settleMs < slot->settleMs) slot = &o;
            if (o.count == 0) break;
        }
        *slot = OwedReplies{e.message.id, 0, 0};
    }
    slot->count += count;
    slot->settleMs = std::max(slot->settleMs, settle);
}

bool RepliesOwedTo(uint32_t id) {
    for (const OwedReplies& o : g_engine.owed) {
        if (o.count > 0 && o.id == id) return true;
    }
    return false;
}

void Finish(int32_t finalState) {
    EngineState& e = g_engine;
    if (e.copiesSent > 0) {
        const bool answered = finalState == kRequestDone;
        RecordOwedReplies(answered ? e.copiesSent - 1 : e.copiesSent, answered);
    }
    e.copiesSent = 0;
    e.state = finalState;
    e.holdMs = kHoldMs;
}

// Takes owed replies off the line as they come. No request with their identifier is under way
// while any is owed, so none of them can be taken for one.
void DropStaleReplies() {
    for (OwedReplies& o : g_engine.owed) {
        if (o.count == 0) continue;
        BusMessage stale{};
        stale.id = o.id;
        while (o.count > 0) {
            const uint16_t found = ConverterReceive(stale);
            if (found == 0 || found == 0xFFFE) break;
            --o.count;
        }
        if (o.count > 0 && CountDown(o.settleMs)) o.count = 0;
    }
}

void TrySend() {
    EngineState& e = g_engine;
    if (e.message.id == 0) return;  // never sent; the request stays where it is
    if (ConverterSend(e.message) == 0) {
        if (e.copiesSent == 0) e.sinceFirstCopyMs = 0;
        ++e.copiesSent;
        e.sinceLastCopyMs = 0;
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

bool ApiRequest::RepliesOwed() {
    return std::any_of(std::begin(g_engine.owed), std::end(g_engine.owed),
                       [](const OwedReplies& o) { return o.count > 0; });
}

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
            if (RepliesOwedTo(e.message.id)) break;
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
