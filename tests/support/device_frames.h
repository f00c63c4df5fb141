#pragma once
// The device's side of the line format for tests that play the device by hand: the simulator's
// frame coder, written apart from the host stack so that a mistake there cannot be mirrored here.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sim/frame_codec.h"

namespace nvx::test {

inline uint8_t DeviceCheckByte(const std::vector<uint8_t>& bytes) {
    return sim::CheckByte(bytes.data(), bytes.size());
}

inline uint16_t DeviceIdWord(uint16_t id) { return sim::EncodeIdentifierWord(id); }

// A frame of 0, 2 or 4 data bytes as the device sends it.
inline std::vector<uint8_t> DeviceFrame(uint16_t id, const std::vector<uint8_t>& data) {
    sim::Frame frame;
    frame.id = id;
    frame.length = static_cast<uint8_t>(std::min<std::size_t>(data.size(), frame.data.size()));
    std::copy_n(data.begin(), frame.length, frame.data.begin());
    return sim::EncodeFrame(frame);
}

}  // namespace nvx::test
