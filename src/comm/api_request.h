#pragma once
// The one request/reply engine; clients Start a request and Poll it from their own timers.

#include <cstdint>

#include "comm/converter.h"

namespace nvx {

enum ApiRequestState : int32_t {
    kRequestIdle = 0,
    kRequestNew = 1,
    kRequestSend = 2,
    kRequestResend = 3,
    kRequestWait = 4,
    kRequestDone = 5,
    kRequestFailed = 6,
};

// Poll results besides a reply length.
constexpr int32_t kPollUnderWay = -1;
constexpr int32_t kPollIdle = -2;
constexpr int32_t kPollFailed = -3;

class ApiRequest {
public:
    ApiRequest();
    virtual ~ApiRequest();
    bool Start(uint32_t commandId, const BusMessage& request, uint32_t replyTimeoutMs);
    int32_t Poll(BusMessage& reply, int32_t& sendRetries, int32_t& replyTimeouts, int32_t& waitedMs);
    void Tick();
    // Back to Idle with all state reset (process start; tests).
    static void Reset();
    static int32_t State();
    // Replies that copies of finished requests may still be owed; the line must not be let go
    // (to another run, another program) before they have come or can no longer come.
    static bool RepliesOwed();
};

extern ApiRequest g_apiRequest;

uint8_t MsgDataLength(const BusMessage& msg);
void MsgClearData(BusMessage& msg);
uint8_t MsgGetByte(const BusMessage& msg, uint8_t i);
void MsgSetByte(BusMessage& msg, uint8_t i, uint8_t v);
uint16_t MsgGetWord(const BusMessage& msg, uint8_t i);
void MsgSetWord(BusMessage& msg, uint8_t i, uint16_t v);

}  // namespace nvx
