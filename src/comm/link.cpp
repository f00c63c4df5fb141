#include "comm/link.h"

#include <cstring>

#include "comm/converter.h"

namespace nvx {

LinkChannel g_linkChannels[kChannelCount];
int32_t g_linkTxRegister[kChannelCount] = {-1};
int32_t g_linkRxRegister[kChannelCount] = {-1};
uint8_t g_linkTxByte = 0;
TraceRing g_txTrace[kChannelCount];
TraceRing g_rxTrace[kChannelCount];
int32_t g_traceFrameNumber[kChannelCount];

namespace {

bool ValidChannel(int ch) { return ch >= 0 && ch < kChannelCount; }

void AddTrace(TraceRing& ring, int ch, int32_t value) {
    int32_t stored = value;
    if (value == kTraceStartFrame) {
        stored = -(++g_traceFrameNumber[ch]);
    } else if (value == kTraceEndFrame) {
        stored = kTraceEndMarker;
    }
    ring.entries[ring.writeIndex] = stored;
    ring.writeIndex = static_cast<uint8_t>(ring.writeIndex >= kTraceRingSize - 1 ? 0 : ring.writeIndex + 1);
    if (g_traceFrameNumber[ch] > kTraceMaxFrameNumber) g_traceFrameNumber[ch] = 0;
}

void SetCount(LinkChannel& link, uint8_t count) {
    link.control = static_cast<uint8_t>((link.control & ~kLinkCountMask) | (count & kLinkCountMask));
}

// A complete frame with a good check byte goes into the first free slot of the converter channel.
void DeliverFrame(int ch, const LinkChannel& link) {
    ConverterChannel& conv = g_converterChannels[ch];
    for (int slot = 0; slot < kRxSlotCount; ++slot) {
        if (conv.rxStatus[slot] != 0) continue;
        const uint8_t length = LinkFrameLength(link.rxFrame[0]);
        const uint8_t n = static_cast<uint8_t>(length > 4 ? length - 4 : 0);
        conv.rxIdHigh[slot] = link.rxFrame[1];
        conv.rxIdLow[slot] = link.rxFrame[2];
        std::memset(conv.rxData[slot], 0, sizeof conv.rxData[slot]);
        std::memcpy(conv.rxData[slot], &link.rxFrame[3], n);
        conv.rxStatus[slot] = static_cast<uint8_t>((n << 5) | 0x3F);  // identifier not yet checked
        return;
    }
    ++conv.rxOverflowCount;
}

}  // namespace

void LinkAddTxTrace(int ch, int32_t value) {
    if (ValidChannel(ch)) AddTrace(g_txTrace[ch], ch, value);
}

void LinkAddRxTrace(int ch, int32_t value) {
    if (ValidChannel(ch)) AddTrace(g_rxTrace[ch], ch, value);
}

void LinkInit() {
    std::memset(g_linkChannels, 0, sizeof g_linkChannels);
    std::memset(g_txTrace, 0, sizeof g_txTrace);
    std::memset(g_rxTrace, 0, sizeof g_rxTrace);
    std::memset(g_traceFrameNumber, 0, sizeof g_traceFrameNumber);
    // A fresh stack has nothing in flight; a stale byte must not reach the line.
    for (int ch = 0; ch < kChannelCount; ++ch) {
        g_linkTxRegister[ch] = -1;
        g_linkRxRegister[ch] = -1;
    }
    g_linkTxByte = 0;
}

void LinkOpenChannel(int ch) {
    if (!ValidChannel(ch)) return;
    LinkChannel& link = g_linkChannels[ch];
    link.txPos = 0;
    link.rxPos = 0;
    link.state = kLinkIdle;
    g_traceFrameNumber[ch] = 0;
}

int8_t LinkStartTransmit(int ch) {
    if (!ValidChannel(ch)) return -1;
    LinkChannel& link = g_linkChannels[ch];
    if (link.state != kLinkIdle) return -1;
    link.state = kLinkTransmitting;
    link.control = static_cast<uint8_t>((link.control | kLinkTransmitStarted) & ~kLinkCountMask);
    const uint8_t length = LinkFrameLength(link.txFrame[0]);
    if (length == 0) {
        // The started bit stays set: the converter sees a start that never completes.
        link.state = kLinkIdle;
        return -1;
    }
    SetCount(link, length);
    link.checksum = 0;
    link.txPos = 0;
    LinkAddTxTrace(ch, kTraceStartFrame);
    LinkTxDone(ch);
    return 0;
}

void LinkTxDone(int ch) {
    if (!ValidChannel(ch)) return;
    LinkChannel& link = g_linkChannels[ch];
    if (link.state != kLinkTransmitting) return;
    const uint8_t count = link.control & kLinkCountMask;
    if (count == 0) {
        // The check byte has been taken: the frame is on the line.
        link.control = static_cast<uint8_t>(link.control & ~(kLinkFramePrepared | kLinkTransmitStarted));
        link.state = kLinkIdle;
        LinkAddTxTrace(ch, kTraceEndFrame);
        return;
    }
    SetCount(link, static_cast<uint8_t>(count - 1));
    uint8_t byte;
    if (count == 1) {
        byte = static_cast<uint8_t>(~link.checksum & 0xFF);
    } else {
        if (link.txPos < kLinkFrameBufferSize) {
            byte = link.txFrame[link.txPos++];
        } else {
            byte = 0xFF;
        }
        link.checksum = LinkChecksumAdd(link.checksum, byte);
    }
    g_linkTxByte = byte;
    g_linkTxRegister[ch] = byte;
    LinkAddTxTrace(ch, byte);
}

void LinkRxByte(int ch) {
    if (!ValidChannel(ch)) return;
    LinkChannel& link = g_linkChannels[ch];
    const uint8_t b = static_cast<uint8_t>(g_linkRxRegister[ch] & 0xFF);
    g_linkRxRegister[ch] = -1;
    switch (link.state) {
        case kLinkIdle: {
            SetCount(link, 0);
            const uint8_t length = LinkFrameLength(b);
            if (length == 0) {
                LinkAddRxTrace(ch, b);  // noise between frames
                return;
            }
            SetCount(link, static_cast<uint8_t>(length - 1));
            link.state = kLinkReceiving;
            link.rxFrame[0] = b;
            link.rxPos = 1;
            link.checksum = b;
            LinkAddRxTrace(ch, kTraceStartFrame);
            LinkAddRxTrace(ch, b);
            return;
        }
        case kLinkTransmitting:
            LinkAddRxTrace(ch, b);  // echo or collision; the converter sorts out the timing
            return;
        case kLinkReceiving: {
            LinkAddRxTrace(ch, b);
            link.checksum = LinkChecksumAdd(link.checksum, b);
            const uint8_t count = link.control & kLinkCountMask;
            const uint8_t left = count == 0 ? 0 : static_cast<uint8_t>(count - 1);
            SetCount(link, left);
            if (left != 0) {
                if (link.rxPos < kLinkFrameBufferSize) link.rxFrame[link.rxPos++] = b;
                return;
            }
            if (link.checksum == kLinkChecksumGood) {
                DeliverFrame(ch, link);
            } else {
                ++g_converterChannels[ch].rfErrorCount;
            }
            link.state = kLinkIdle;
            LinkAddRxTrace(ch, kTraceEndFrame);
            return;
        }
        default:  // closed
            return;
    }
}

int8_t LinkAbort(int ch) {
    if (!ValidChannel(ch)) return -2;
    LinkChannel& link = g_linkChannels[ch];
    if (link.state == kLinkClosed) return -2;
    link.control = 0;
    link.state = kLinkIdle;
    return 0;
}

}  // namespace nvx
