#include "sim/device_eeprom.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

namespace nvx::sim {
namespace {

using ::testing::ElementsAre;

const DeviceType& Row(int row) {
    const DeviceType* t = FindDeviceByRow(row);
    EXPECT_NE(t, nullptr);
    return *t;
}

TEST(FactoryEeprom, HeaderGivesTheSectionStartsInUnitsOf16) {
    const DeviceEeprom e = FactoryEeprom(Row(3));
    const std::vector<uint8_t>& b = e.bytes();
    ASSERT_EQ(b.size(), 4096u);
    EXPECT_THAT(std::vector<uint8_t>(b.begin() + 24, b.begin() + 28), ElementsAre(0x18, 0x04, 0x08, 0x0C));
    const SectionStarts s = e.sections();
    EXPECT_EQ(s.error, 0x180u);
    EXPECT_EQ(s.exworks, 0x040u);
    EXPECT_EQ(s.text, 0x080u);
    EXPECT_EQ(s.parameter, 0x0C0u);
    EXPECT_TRUE(e.formatted());
    // Signature 0x4e58, low byte first.
    EXPECT_EQ(b[2], 0x58);
    EXPECT_EQ(b[3], 0x4E);
}

TEST(FactoryEeprom, HeaderFieldsDecodeToPlausibleValues) {
    for (const DeviceType& type : DeviceTypes()) {
        SCOPED_TRACE(type.row);
        const DeviceEeprom e = FactoryEeprom(type);
        const std::vector<uint8_t>& b = e.bytes();
        unsigned sum = 0;
        for (int i = 6; i < 16; ++i) sum += b[i];
        EXPECT_EQ(e.word(4), sum & 0xFFFF) << "checksum over bytes 6..15";
        // Build date: month number from January 2001, day in the low five bits.
        const unsigned n = 100u * (b[6] >> 5) + b[7];
        ASSERT_GT(n, 0u);
        EXPECT_EQ(2001 + (n - 1) / 12, 2000u + type.versions.buildYear);
        EXPECT_GE(b[6] & 0x1F, 1);
        EXPECT_LE(b[6] & 0x1F, 28);
        EXPECT_EQ(e.word(10), 0x001F) << "all five production steps done";
        const unsigned prodMonth = b[13] & 0x0F;
        EXPECT_GE(prodMonth, 1u);
        EXPECT_LE(prodMonth, 12u);
        EXPECT_EQ(e.word(18), type.versions.hardwareCode);
        const uint32_t serial = b[14] | b[15] << 8 | b[16] << 16 | uint32_t{b[17]} << 24;
        EXPECT_EQ(serial, type.serialNumber);
        EXPECT_EQ(e.errors().size(), 5u);
    }
}

TEST(FactoryEeprom, PrxaPanelsStartExworksWithTheTemperatureLog) {
    for (int row : {24, 26}) {
        const DeviceEeprom e = FactoryEeprom(Row(row));
        unsigned total = 0;
        for (uint32_t i = 0; i < 12; ++i) total += e.word(0x040 + 2 * i);
        EXPECT_EQ(total, 1520u + 2210 + 3104 + 4105 + 2890 + 1450 + 612 + 220 + 75 + 12 + 3 + 0);
    }
    // Elsewhere the first words are calibration values around 0x0200.
    const DeviceEeprom other = FactoryEeprom(Row(25));
    EXPECT_GE(other.word(0x040), 0x0200);
    EXPECT_LT(other.word(0x040), 0x0200 + 61);
}

TEST(FactoryEeprom, TextSectionHoldsTheTwoStartingTexts) {
    const DeviceEeprom e = FactoryEeprom(Row(3));
    EXPECT_EQ(e.texts(), std::string("Norvix Solvane ") + "  W\xE4rmetechnik ");
    EXPECT_EQ(e.byte(0x080), 'N');
}

TEST(FactoryEeprom, ErrorMemoryListsNewestFirst) {
    const DeviceEeprom e = FactoryEeprom(Row(3));
    EXPECT_EQ(e.byte(0x180), 5) << "Entries";
    EXPECT_EQ(e.byte(0x181), 5) << "Pointer";
    EXPECT_EQ(e.byte(0x182), 12);
    EXPECT_EQ(e.byte(0x183), 0x43);
    const std::vector<ErrorEntry> list = e.errors();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list.front(), (ErrorEntry{1, 3, 2, 0x57}));
    EXPECT_EQ(list.back(), (ErrorEntry{16, 17, 21, 0x43}));
    // Ring index 0 holds the oldest entry.
    EXPECT_EQ(e.byte(0x184), 16);
    EXPECT_EQ(e.byte(0x185), 17);
}

TEST(DeviceEeprom, ErrorRingWrapsAtItsCapacityAndKeepsTheNewest) {
    DeviceEeprom e = FactoryEeprom(Row(3));
    e.clearErrors(1, 0x51);
    for (uint8_t i = 1; i <= 30; ++i) e.addError({i, 9, i, 0x51});
    EXPECT_EQ(e.errorCount(), kErrorRingCapacity);
    EXPECT_EQ(e.errorPointer(), 30u % kErrorRingCapacity);
    const std::vector<ErrorEntry> list = e.errors();
    ASSERT_EQ(list.size(), kErrorRingCapacity);
    for (size_t k = 0; k < list.size(); ++k) EXPECT_EQ(list[k].code, 30 - k) << k;
}

TEST(DeviceEeprom, ListingFollowsTheRingWalkOfTheAnalysis) {
    // Entries 3, Pointer 1: the list shows ring indexes 0, 2, 1.
    DeviceEeprom e = FactoryEeprom(Row(3));
    const uint32_t s = e.sections().error;
    e.setByte(s, 3);
    e.setByte(s + 1, 1);
    for (uint8_t i = 0; i < 3; ++i) e.setByte(s + 4 + 4 * i, static_cast<uint8_t>(100 + i));
    const std::vector<ErrorEntry> list = e.errors();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].code, 100);
    EXPECT_EQ(list[1].code, 102);
    EXPECT_EQ(list[2].code, 101);
}

TEST(DeviceEeprom, ClearEmptiesTheRingAndStampsTheDate) {
    DeviceEeprom e = FactoryEeprom(Row(3));
    e.clearErrors(17, 0x65);
    EXPECT_EQ(e.errorCount(), 0u);
    EXPECT_TRUE(e.errors().empty());
    EXPECT_EQ(e.byte(0x182), 17);
    EXPECT_EQ(e.byte(0x183), 0x65);
    EXPECT_EQ(e.byte(0x184), 0xFF);
}

TEST(DeviceEeprom, ErasedEepromFallsBackToTheFirmwareLayoutAndFormats) {
    DeviceEeprom e = FactoryEeprom(Row(3));
    e.erase();
    EXPECT_FALSE(e.formatted());
    EXPECT_EQ(e.sections().text, kDefaultTextStart);
    EXPECT_EQ(e.errorCount(), 0u) << "an erased head (FF) counts as empty";
    e.addError({5, 6, 7, 0x58});
    EXPECT_EQ(e.errors().size(), 1u);
    e.format();
    EXPECT_TRUE(e.formatted());
    EXPECT_EQ(e.texts(), std::string(30, ' '));
    EXPECT_EQ(e.errorCount(), 0u);
    EXPECT_EQ(e.word(4), 10 * 0xFF) << "checksum over the still erased production data";
}

TEST(DeviceEeprom, NonsensicalSectionStartsFallBackToTheFirmwareLayout) {
    DeviceEeprom e = FactoryEeprom(Row(3));
    e.setByte(26, 0x02);  // text before exworks
    EXPECT_EQ(e.sections().text, kDefaultTextStart);
    EXPECT_EQ(e.sections().error, kDefaultErrorStart);
    DeviceEeprom moved = FactoryEeprom(Row(3));
    moved.setByte(24, 0x20);  // error memory at 0x200 is fine
    EXPECT_EQ(moved.sections().error, 0x200u);
}

TEST(DeviceEeprom, AddressesWrapInsideTheFourKilobytes) {
    DeviceEeprom e;
    e.setWord(0x0FFF, 0x1234);
    EXPECT_EQ(e.byte(0x0FFF), 0x34);
    EXPECT_EQ(e.byte(0x0000), 0x12);
    EXPECT_EQ(e.word(0x1FFF), 0x1234);
}

}  // namespace
}  // namespace nvx::sim
