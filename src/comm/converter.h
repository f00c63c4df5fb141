#pragma once
// Converter: message queue, identifier protection, bus access with backoff and retries,
// receive slots, error counters. Driven by five tick steps.

#include <cstdint>

#include "comm/link.h"

namespace nvx {

constexpr int kTxQueueSize = 8;
constexpr int kRxSlotCount = 8;
constexpr uint8_t kAnyChannel = 255;
constexpr uint8_t kConverterTransferSteps = 32;  // transmit and receive timeout, aging steps
constexpr uint32_t kConverterAgingStepMs = 10;   // nominal length of an aging step

struct BusMessage {
    uint8_t channel;
    uint8_t length;  // low 4 bits: data bytes 0..4
    uint32_t id;     // low 14 bits are sent
    uint8_t mask;    // identifier low-byte bits ignored when matching a received message
    uint8_t data[4];
};

enum ConverterState : uint8_t {
    kConvInit = 0,
    kConvIdle = 1,
    kConvTransmitting = 2,
    kConvReceiving = 3,
    kConvBackoff = 4,
    kConvRecover = 5,
};

struct ConverterChannel {
    uint8_t state;
    uint8_t stepTimer;
    uint8_t timeout;
    uint8_t txOverflowCount;  // "Tf Overflow"
    uint8_t txErrorCount;     // "Tx Error"
    uint8_t rxOverflowCount;  // "Rx Overflow"
    uint8_t rfErrorCount;     // "Rf Error"
    uint8_t rxErrorCount;     // "Rx Error"
    uint8_t txControl;
    uint8_t txWrite;
    uint8_t txRead;
    uint32_t txId[kTxQueueSize];
    uint8_t txLen[kTxQueueSize];
    uint8_t txData[kTxQueueSize][4];
    uint8_t rxStatus[kRxSlotCount];
    uint8_t rxIdHigh[kRxSlotCount];
    uint8_t rxIdLow[kRxSlotCount];
    uint8_t rxData[kRxSlotCount][4];
};

extern ConverterChannel g_converterChannels[kChannelCount];
extern uint8_t g_enabledChannels;
extern uint32_t g_agingAccumulatorMs;

void ConverterInit();
void ConverterEnableChannel(int ch);
int8_t ConverterSend(const BusMessage& msg);
uint16_t ConverterReceive(BusMessage& msg);
void ConverterGetErrors(int ch, uint8_t out[5]);
void ConverterGetStatus(int ch, uint8_t out[4]);

void ConverterStep();
void ConverterPrepareTransmit();
void ConverterValidateReceived();
void ConverterAge(uint32_t ms);
void ConverterWatchdog();

// Exclusive-or of every second bit of a 16-bit word, from bit `first` (0 even, 1 odd) upwards.
constexpr uint8_t IdentifierParity(uint32_t word, int first) {
    uint8_t p = 0;
    for (int bit = first; bit < 16; bit += 2) p ^= static_cast<uint8_t>((word >> bit) & 1);
    return p;
}

// An identifier word is intact when both its even-position and its odd-position bits cancel out.
constexpr bool IdentifierWordIntact(uint16_t word) {
    return IdentifierParity(word, 0) == 0 && IdentifierParity(word, 1) == 0;
}

// The 14-bit identifier an identifier word carries.
constexpr uint16_t IdentifierOfWord(uint16_t word) { return static_cast<uint16_t>(word >> 2); }

// In place on the two identifier bytes (high byte first).
void EncodeIdentifier(uint8_t word[2]);
// Checks the slot's identifier word; on success stores the 14-bit identifier back and returns it.
int32_t DecodeIdentifier(ConverterChannel& channel, int slot);

}  // namespace nvx
