#pragma once
// The device's own view of the line format: frames "T"/"U"/"V" with an identifier word carrying
// two parity bits and a one's-complement check byte. Written apart from the host stack on purpose,
// so that a mistake there cannot be mirrored here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvx::sim {

constexpr uint8_t kKindT = 0x54;  // no data
constexpr uint8_t kKindU = 0x55;  // 2 data bytes
constexpr uint8_t kKindV = 0x56;  // 4 data bytes

// Frame length on the wire for a kind byte; 0 when the byte starts no frame.
size_t FrameLengthOfKind(uint8_t kind);

// 14-bit identifier -> 16-bit word: identifier << 2, bit 1 = XOR of the identifier's odd bits,
// bit 0 = XOR of its even bits. Identifier bits above 13 are dropped.
uint16_t EncodeIdentifierWord(uint16_t identifier);
// The identifier of a word, or -1 when either parity bit does not match.
int32_t DecodeIdentifierWord(uint16_t word);

// End-around (one's-complement) byte sum as the check byte uses it: 0..255.
uint8_t EndAroundSum(const uint8_t* bytes, size_t count);
// 255 - sum over the bytes before the check byte.
uint8_t CheckByte(const uint8_t* bytes, size_t count);

struct Frame {
    uint16_t id = 0;      // 14 bits
    uint8_t length = 0;   // data bytes: 0, 2 or 4
    std::array<uint8_t, 4> data{};
};

// A frame as bytes on the wire. A length of 1 or 3 is sent as 2 or 4 (the extra byte as stored);
// more than 4 is cut to 4.
std::vector<uint8_t> EncodeFrame(const Frame& frame);

// "55 02 02 FF 00 A6": bytes as upper-case hex pairs separated by blanks.
std::string HexBytes(const uint8_t* bytes, size_t count);
inline std::string HexBytes(const std::vector<uint8_t>& bytes) {
    return HexBytes(bytes.data(), bytes.size());
}

// Byte-by-byte receiver. Bytes outside a frame that are no kind byte are skipped (noise);
// a finished frame is checked for its check byte first, then for its identifier parity.
class FrameDecoder {
public:
    enum class Event { None, Frame, BadCheckByte, BadParity };
    struct Result {
        Event event = Event::None;
        Frame frame;               // valid for Event::Frame
        std::vector<uint8_t> raw;  // the frame's bytes for every event but None
    };

    Result feed(uint8_t byte);
    bool inFrame() const { return expected_ != 0; }
    void reset();
    uint64_t skippedBytes() const { return skipped_; }

private:
    std::array<uint8_t, 8> buf_{};
    size_t have_ = 0;
    size_t expected_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace nvx::sim
