#include "comm/converter.h"

#include <cstring>

namespace nvx {

ConverterChannel g_converterChannels[kChannelCount];
uint8_t g_enabledChannels = 0;
uint32_t g_agingAccumulatorMs = 0;

namespace {

constexpr uint8_t kAttemptMask = 0x0F;
constexpr uint8_t kQueueFull = 0x80;
constexpr uint8_t kMaxAttempts = 4;
constexpr uint8_t kWatchdogTicks = 100;
constexpr uint8_t kSlotTimerMask = 0x3F;
constexpr uint8_t kSlotUnchecked = 0x3F;
constexpr uint8_t kSlotLifetime = 20;

bool Enabled(int ch) { return ch >= 0 && ch < kChannelCount && (g_enabledChannels & (1u << ch)) != 0; }

bool QueueEmpty(const ConverterChannel& c) {
    return c.txWrite == c.txRead && (c.txControl & kQueueFull) == 0;
}

int QueuedCount(const ConverterChannel& c) {
    if (c.txControl & kQueueFull) return kTxQueueSize;
    return (c.txWrite - c.txRead + kTxQueueSize) % kTxQueueSize;
}

void DropHead(int ch) {
    ConverterChannel& c = g_converterChannels[ch];
    g_linkChannels[ch].control &= static_cast<uint8_t>(~kLinkFramePrepared);
    // Only a queued message can be dropped; moving the read index of an empty queue would
    // make it look full of stale entries.
    if (!QueueEmpty(c)) c.txRead = static_cast<uint8_t>((c.txRead + 1) % kTxQueueSize);
    c.txControl = 0;
}

void FailedAttempt(int ch) {
    ConverterChannel& c = g_converterChannels[ch];
    const uint8_t attempts = static_cast<uint8_t>((c.txControl & kAttemptMask) + 1);
    c.txControl = static_cast<uint8_t>((c.txControl & ~kAttemptMask) | (attempts & kAttemptMask));
    if (attempts >= kMaxAttempts) {
        DropHead(ch);
        ++c.txErrorCount;
    }
}

// Identifier-derived wait: each node picks a different 4-bit field after each failed attempt.
uint8_t BackoffDelay(const ConverterChannel& c) {
    const uint32_t shift = c.txControl & kAttemptMask;
    return static_cast<uint8_t>(((c.txId[c.txRead] >> shift) & 0x0F) + 1);
}

void StartTransmission(int ch) {
    LinkStartTransmit(ch);  // a refused start shows up as a transmission that never completes
    ConverterChannel& c = g_converterChannels[ch];
    c.stepTimer = kConverterTransferSteps;
    c.state = kConvTransmitting;
}

void EnterReceiving(ConverterChannel& c) {
    c.stepTimer = kConverterTransferSteps;
    c.state = kConvReceiving;
}

void EnterBackoffOrIdle(int ch) {
    ConverterChannel& c = g_converterChannels[ch];
    if (g_linkChannels[ch].control & kLinkFramePrepared) {
        c.stepTimer = BackoffDelay(c);
        c.state = kConvBackoff;
    } else {
        c.state = kConvIdle;
    }
}

void StepChannel(int ch) {
    ConverterChannel& c = g_converterChannels[ch];
    const LinkChannel& link = g_linkChannels[ch];
    if (link.state == kLinkClosed) return;
    const bool prepared = (link.control & kLinkFramePrepared) != 0;
    const bool started = (link.control & kLinkTransmitStarted) != 0;
    switch (c.state) {
        case kConvInit:
            c.state = kConvIdle;
            c.timeout = kWatchdogTicks;
            break;
        case kConvIdle:
            if (link.state == kLinkIdle) {
                c.timeout = kWatchdogTicks;
                if (prepared) StartTransmission(ch);
            } else if (link.state == kLinkTransmitting) {
                c.state = kConvRecover;
            } else {
                EnterReceiving(c);
            }
            break;
        case kConvTransmitting:
            if (link.state == kLinkIdle) {
                if (!started) {
                    DropHead(ch);
                    c.state = kConvIdle;
                } else {
                    FailedAttempt(ch);
                    c.state = kConvRecover;
                }
            } else if (link.state == kLinkTransmitting) {
                if (c.stepTimer == 0) {
                    FailedAttempt(ch);
                    c.state = kConvRecover;
                }
            } else {
                // The line turned round: the answer started right after our frame.
                if (!started) {
                    DropHead(ch);
                } else {
                    FailedAttempt(ch);
                }
                EnterReceiving(c);
            }
            break;
        case kConvReceiving:
            if (link.state == kLinkIdle) {
                EnterBackoffOrIdle(ch);
            } else if (link.state == kLinkTransmitting) {
                c.state = kConvRecover;
            } else if (c.stepTimer == 0) {
                ++c.rxErrorCount;
                c.state = kConvRecover;
            }
            break;
        case kConvBackoff:
            if (link.state == kLinkReceiving) {
                EnterReceiving(c);
            } else if (c.stepTimer == 0) {
                StartTransmission(ch);
            }
            break;
        case kConvRecover:
            if (link.state == kLinkIdle) {
                EnterBackoffOrIdle(ch);
            } else {
                LinkAbort(ch);
            }
            break;
        default:
            break;  // cannot happen; the watchdog resets the channel
    }
}

void ResetChannel(int ch) {
    std::memset(&g_converterChannels[ch], 0, sizeof g_converterChannels[ch]);
    std::memset(&g_linkChannels[ch], 0, sizeof g_linkChannels[ch]);
    g_linkChannels[ch].state = kLinkIdle;
}

uint16_t ReceiveOnChannel(BusMessage& msg) {
    const int ch = msg.channel;
    if (!Enabled(ch)) return 0xFFFE;
    ConverterChannel& c = g_converterChannels[ch];
    const uint8_t idHigh = static_cast<uint8_t>((msg.id >> 8) & 0xFF);
    const uint8_t idLow = static_cast<uint8_t>(msg.id & 0xFF);
    const uint8_t care = static_cast<uint8_t>(~msg.mask);
    for (int slot = 0; slot < kRxSlotCount; ++slot) {
        const uint8_t timer = c.rxStatus[slot] & kSlotTimerMask;
        if (timer == 0 || timer == kSlotUnchecked) continue;
        if (c.rxIdHigh[slot] != idHigh) continue;
        if (((c.rxIdLow[slot] ^ idLow) & care) != 0) continue;
        const uint8_t n = static_cast<uint8_t>((c.rxStatus[slot] >> 5) & 0x06);
        msg.length = n;
        std::memset(msg.data, 0, sizeof msg.data);
        std::memcpy(msg.data, c.rxData[slot], n);
        const uint16_t id = static_cast<uint16_t>(c.rxIdHigh[slot] << 8 | c.rxIdLow[slot]);
        // Identifiers 0x0380..0x03FF are broadcasts: they answer every request while they live.
        const bool keep = c.rxIdHigh[slot] == 3 && (c.rxIdLow[slot] & 0x80) != 0;
        if (!keep) c.rxStatus[slot] = 0;
        return id;
    }
    return 0;
}

}  // namespace

void ConverterInit() {
    g_enabledChannels = 0;
    g_agingAccumulatorMs = 0;
    std::memset(g_converterChannels, 0, sizeof g_converterChannels);
}

void ConverterEnableChannel(int ch) {
    if (ch < 0 || ch >= kChannelCount) return;
    g_enabledChannels = static_cast<uint8_t>(g_enabledChannels | (1u << ch));
    LinkOpenChannel(ch);
}

int8_t ConverterSend(const BusMessage& msg) {
    if (!Enabled(msg.channel)) return -2;
    ConverterChannel& c = g_converterChannels[msg.channel];
    uint8_t n = msg.length & 0x0F;
    if (n > 4) n = 4;
    if (c.txControl & kQueueFull) {
        ++c.txOverflowCount;
        return -1;
    }
    c.txId[c.txWrite] = msg.id & 0x3FFF;
    std::memcpy(c.txData[c.txWrite], msg.data, n);
    c.txLen[c.txWrite] = n;
    c.txWrite = static_cast<uint8_t>((c.txWrite + 1) % kTxQueueSize);
    if (c.txWrite == c.txRead) c.txControl |= kQueueFull;
    return 0;
}

uint16_t ConverterReceive(BusMessage& msg) {
    if (msg.channel != kAnyChannel) return ReceiveOnChannel(msg);
    for (int ch = 0; ch < kChannelCount; ++ch) {
        msg.channel = static_cast<uint8_t>(ch);
        const uint16_t id = ReceiveOnChannel(msg);
        if (id != 0) return id;
    }
    return 0;
}

void ConverterGetErrors(int ch, uint8_t out[5]) {
    if (ch < 0 || ch >= kChannelCount) return;
    const ConverterChannel& c = g_converterChannels[ch];
    out[0] = c.txOverflowCount;
    out[1] = c.txErrorCount;
    out[2] = c.rxOverflowCount;
    out[3] = c.rfErrorCount;
    out[4] = c.rxErrorCount;
}

void ConverterGetStatus(int ch, uint8_t out[4]) {
    if (ch < 0 || ch >= kChannelCount) return;
    const ConverterChannel& c = g_converterChannels[ch];
    out[0] = c.state;
    out[1] = c.timeout;
    out[2] = static_cast<uint8_t>(QueuedCount(c));
    uint8_t used = 0;
    for (uint8_t status : c.rxStatus) used = static_cast<uint8_t>(used + (status != 0));
    out[3] = used;
}

void ConverterStep() {
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (Enabled(ch)) StepChannel(ch);
    }
}

void ConverterPrepareTransmit() {
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (!Enabled(ch)) continue;
        ConverterChannel& c = g_converterChannels[ch];
        LinkChannel& link = g_linkChannels[ch];
        if ((link.control & kLinkFramePrepared) || QueueEmpty(c)) continue;
        const uint32_t id = c.txId[c.txRead];
        const uint8_t n = c.txLen[c.txRead] > 4 ? 4 : c.txLen[c.txRead];
        link.txFrame[0] = static_cast<uint8_t>(kFrameKindT + n / 2);
        link.txFrame[1] = static_cast<uint8_t>((id >> 8) & 0xFF);
        link.txFrame[2] = static_cast<uint8_t>(id & 0xFF);
        std::memcpy(&link.txFrame[3], c.txData[c.txRead], n);
        EncodeIdentifier(&link.txFrame[1]);
        link.control |= kLinkFramePrepared;
    }
}

void ConverterValidateReceived() {
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (!Enabled(ch)) continue;
        ConverterChannel& c = g_converterChannels[ch];
        for (int slot = 0; slot < kRxSlotCount; ++slot) {
            if ((c.rxStatus[slot] & kSlotTimerMask) != kSlotUnchecked) continue;
            if (DecodeIdentifier(c, slot) >= 0) {
                c.rxStatus[slot] = static_cast<uint8_t>((c.rxStatus[slot] & ~kSlotTimerMask) | kSlotLifetime);
            } else {
                c.rxStatus[slot] = 0;
                ++c.rfErrorCount;
            }
        }
    }
}

void ConverterAge(uint32_t ms) {
    g_agingAccumulatorMs += ms;
    if (g_agingAccumulatorMs < kConverterAgingStepMs) return;
    g_agingAccumulatorMs = 0;  // not reduced by a step: one step per tick at most
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (!Enabled(ch)) continue;
        ConverterChannel& c = g_converterChannels[ch];
        if (c.stepTimer != 0) --c.stepTimer;
        for (uint8_t& status : c.rxStatus) {
            const uint8_t timer = status & kSlotTimerMask;
            if (timer == 0) {
                status = 0;
            } else if (timer != kSlotUnchecked) {
                --status;
            }
        }
    }
}

void ConverterWatchdog() {
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (!Enabled(ch)) continue;
        ConverterChannel& c = g_converterChannels[ch];
        if (c.timeout != 0) {
            --c.timeout;
        } else {
            ResetChannel(ch);
        }
    }
}

void EncodeIdentifier(uint8_t word[2]) {
    const uint32_t v = (static_cast<uint32_t>(word[0]) << 8 | word[1]) & 0x3FFF;
    const uint32_t odd = IdentifierParity(v, 1);
    const uint32_t even = IdentifierParity(v, 0);
    const uint32_t w = v << 2 | odd << 1 | even;
    word[0] = static_cast<uint8_t>(w >> 8);
    word[1] = static_cast<uint8_t>(w & 0xFF);
}

int32_t DecodeIdentifier(ConverterChannel& channel, int slot) {
    if (slot < 0 || slot >= kRxSlotCount) return -1;
    const uint32_t w = static_cast<uint32_t>(channel.rxIdHigh[slot]) << 8 | channel.rxIdLow[slot];
    if (!IdentifierWordIntact(static_cast<uint16_t>(w))) return -1;
    const uint32_t v = IdentifierOfWord(static_cast<uint16_t>(w));
    channel.rxIdHigh[slot] = static_cast<uint8_t>(v >> 8);
    channel.rxIdLow[slot] = static_cast<uint8_t>(v & 0xFF);
    return static_cast<int32_t>(v);
}

}  // namespace nvx
