#include "sim/frame_codec.h"

namespace nvx::sim {

size_t FrameLengthOfKind(uint8_t kind) {
    switch (kind) {
        case kKindT: return 4;
        case kKindU: return 6;
        case kKindV: return 8;
        default: return 0;
    }
}

namespace {
// XOR of the bits at positions first, first + 2, ... of value.
unsigned ParityOfEverySecondBit(uint32_t value, unsigned first) {
    unsigned p = 0;
    for (unsigned bit = first; bit < 32; bit += 2) p ^= (value >> bit) & 1u;
    return p;
}
}  // namespace

uint16_t EncodeIdentifierWord(uint16_t identifier) {
    const uint32_t v = identifier & 0x3FFFu;
    return static_cast<uint16_t>((v << 2) | (ParityOfEverySecondBit(v, 1) << 1) |
                                 ParityOfEverySecondBit(v, 0));
}

int32_t DecodeIdentifierWord(uint16_t word) {
    if (ParityOfEverySecondBit(word, 0) != 0 || ParityOfEverySecondBit(word, 1) != 0) return -1;
    return word >> 2;
}

uint8_t EndAroundSum(const uint8_t* bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += bytes[i];
        if (sum > 255) sum -= 255;
    }
    return static_cast<uint8_t>(sum);
}

uint8_t CheckByte(const uint8_t* bytes, size_t count) {
    return static_cast<uint8_t>(255 - EndAroundSum(bytes, count));
}

std::vector<uint8_t> EncodeFrame(const Frame& frame) {
    size_t n = frame.length > 4 ? 4 : frame.length;
    n = (n + 1) & ~size_t{1};
    std::vector<uint8_t> out;
    out.reserve(n + 4);
    out.push_back(static_cast<uint8_t>(kKindT + n / 2));
    const uint16_t word = EncodeIdentifierWord(frame.id);
    out.push_back(static_cast<uint8_t>(word >> 8));
    out.push_back(static_cast<uint8_t>(word & 0xFF));
    for (size_t i = 0; i < n; ++i) out.push_back(frame.data[i]);
    out.push_back(CheckByte(out.data(), out.size()));
    return out;
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 0x0F];
    }
    return s;
}

void FrameDecoder::reset() {
    have_ = 0;
    expected_ = 0;
}

FrameDecoder::Result FrameDecoder::feed(uint8_t byte) {
    Result r;
    if (expected_ == 0) {
        expected_ = FrameLengthOfKind(byte);
        if (expected_ == 0) {
            ++skipped_;
            return r;
        }
        have_ = 0;
    }
    buf_[have_++] = byte;
    if (have_ < expected_) return r;

    r.raw.assign(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(have_));
    const size_t n = have_;
    reset();
    if (EndAroundSum(r.raw.data(), n) != 255) {
        r.event = Event::BadCheckByte;
        return r;
    }
    const int32_t id = DecodeIdentifierWord(static_cast<uint16_t>((r.raw[1] << 8) | r.raw[2]));
    if (id < 0) {
        r.event = Event::BadParity;
        return r;
    }
    r.event = Event::Frame;
    r.frame.id = static_cast<uint16_t>(id);
    r.frame.length = static_cast<uint8_t>(n - 4);
    for (size_t i = 0; i < n - 4; ++i) r.frame.data[i] = r.raw[3 + i];
    return r;
}

}  // namespace nvx::sim
