#pragma once
// Link driver: frames to bytes and bytes to frames, in the style of an interrupt-driven UART
// driver. The byte pump plays the hardware through the two registers.

#include <cstdint>

namespace nvx {

constexpr int kChannelCount = 1;
constexpr int kLinkFrameBufferSize = 7;  // kind, identifier word, up to 4 data bytes
constexpr int kTraceRingSize = 255;

constexpr uint8_t kFrameKindT = 0x54;  // no data
constexpr uint8_t kFrameKindU = 0x55;  // 2 data bytes
constexpr uint8_t kFrameKindV = 0x56;  // 4 data bytes

enum LinkState : uint8_t { kLinkClosed = 0, kLinkIdle = 1, kLinkTransmitting = 2, kLinkReceiving = 3 };

constexpr uint8_t kLinkCountMask = 0x0F;
constexpr uint8_t kLinkFramePrepared = 0x10;
constexpr uint8_t kLinkTransmitStarted = 0x20;

// Trace entry values besides plain bytes.
constexpr int32_t kTraceStartFrame = -1;  // argument to the add operations
constexpr int32_t kTraceEndFrame = -2;    // argument to the add operations
constexpr int32_t kTraceEndMarker = 65535;  // stored value of an end entry
constexpr int32_t kTraceMaxFrameNumber = 99999;

struct LinkChannel {
    uint8_t state;
    uint8_t control;
    uint32_t checksum;
    uint8_t txPos;  // index into txFrame
    uint8_t rxPos;  // index into rxFrame
    uint8_t txFrame[kLinkFrameBufferSize];
    uint8_t rxFrame[kLinkFrameBufferSize];
};

struct TraceRing {
    int32_t entries[kTraceRingSize];
    uint8_t writeIndex;
    uint8_t readIndex;
};

extern LinkChannel g_linkChannels[kChannelCount];
extern int32_t g_linkTxRegister[kChannelCount];
extern int32_t g_linkRxRegister[kChannelCount];
extern uint8_t g_linkTxByte;
extern TraceRing g_txTrace[kChannelCount];
extern TraceRing g_rxTrace[kChannelCount];
extern int32_t g_traceFrameNumber[kChannelCount];

// One's-complement running sum step used by the check byte.
constexpr uint32_t LinkChecksumAdd(uint32_t sum, uint8_t byte) {
    sum += byte;
    if (sum > 255) sum -= 255;
    return sum;
}

// Bytes in a frame of this kind, check byte included; 0 for a byte that is not a kind byte.
constexpr uint8_t LinkFrameLength(uint8_t kind) {
    switch (kind) {
        case kFrameKindT: return 4;
        case kFrameKindU: return 6;
        case kFrameKindV: return 8;
        default: return 0;
    }
}

// The running sum of a whole frame, check byte included, is this when the frame is intact.
constexpr uint32_t kLinkChecksumGood = 0xFF;

void LinkInit();
void LinkOpenChannel(int ch);
int8_t LinkStartTransmit(int ch);
void LinkTxDone(int ch);
void LinkRxByte(int ch);
int8_t LinkAbort(int ch);
void LinkAddTxTrace(int ch, int32_t value);
void LinkAddRxTrace(int ch, int32_t value);

}  // namespace nvx
