#pragma once
// Small helpers shared by the virtual device's unit tests.

#include <gtest/gtest.h>

#include <string>

#include "sim/device_types.h"
#include "sim/part_description.h"
#include "sim/unit.h"

namespace nvx::sim::test {

inline std::string DevicesDir() { return std::string(NVX_SOURCE_DIR) + "/devices"; }

inline PartDescription PartOf(const DeviceType& type) {
    PartDescription p;
    std::string error;
    EXPECT_TRUE(LoadPartDescription(type.chip, DevicesDir(), p, error)) << error;
    return p;
}

inline Unit MakeUnit(int row) {
    const DeviceType* type = FindDeviceByRow(row);
    EXPECT_NE(type, nullptr) << "row " << row;
    return Unit(*type, PartOf(*type));
}

inline Frame Request(uint16_t id, std::initializer_list<uint8_t> data) {
    Frame f;
    f.id = id;
    f.length = static_cast<uint8_t>(data.size());
    size_t i = 0;
    for (uint8_t b : data) f.data[i++] = b;
    return f;
}

inline uint16_t ReplyWord(const Frame& f) { return static_cast<uint16_t>(f.data[0] | f.data[1] << 8); }

}  // namespace nvx::sim::test
