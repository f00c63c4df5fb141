#pragma once
// Faults the virtual device can be told to make, each with how often it strikes.

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace nvx::sim {

// A fault strikes on the next `count` occasions, then on each further occasion with probability
// `rate` (0..1). Both 0: never. The count runs down as the fault strikes.
struct FaultRate {
    uint32_t count = 0;
    double rate = 0.0;

    static FaultRate Never() { return {}; }
    static FaultRate Times(uint32_t n) { return {n, 0.0}; }
    static FaultRate Always() { return {0, 1.0}; }
    static FaultRate Chance(double p) { return {0, p}; }
    bool armed() const { return count > 0 || rate > 0.0; }
};

// "3" = the next three occasions, "25%" = each occasion with probability 0.25, "always".
bool ParseFaultRate(std::string_view text, FaultRate& rate);
std::string DescribeFaultRate(const FaultRate& rate);

// Occasions: a reply (drop, delay, jitter, corruptCheckByte, breakParity, wrongLength, noise); a byte
// received (echo); a BootloadStart the device accepts (neverEnterBootloader); an "AVRBOOT"
// answer (splitSignOn).
struct Faults {
    FaultRate dropReply;          // the reply is never sent
    FaultRate delayReply;         // the reply goes out delayMs later
    uint32_t delayMs = 0;
    FaultRate jitterReply;        // the reply goes out up to jitterMs later, never before an earlier one
    uint32_t jitterMs = 0;
    FaultRate corruptCheckByte;   // check byte off by one
    FaultRate breakParity;        // identifier parity bit flipped (check byte still right)
    FaultRate wrongLength;        // 2 data bytes become 4, 4 become 2, none become 2
    FaultRate noise;              // 1 to 3 bytes that start no frame, before the reply
    FaultRate echo;               // each byte received is sent straight back
    FaultRate neverEnterBootloader;  // BootloadStart is acknowledged but the device stays
    FaultRate splitSignOn;        // "AVR" now, "BOOT" 20 ms later
    uint32_t vanishAfterFrames = 0;  // after this many frames the next one finds the pty closed; 0 = never
    // After answering this many frames and bootloader commands together, nothing more is
    // answered or sent while the terminal stays open (a frozen device, a cut return wire); 0 = never.
    uint32_t muteAfter = 0;
};

// Decides whether a fault strikes, from a seeded generator so runs repeat.
class FaultDice {
public:
    explicit FaultDice(uint32_t seed) : rng_(seed) {}
    bool strikes(FaultRate& rate);
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

private:
    std::mt19937 rng_;
};

}  // namespace nvx::sim
