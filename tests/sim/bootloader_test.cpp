// The AVR109 command set of the bootloader, fed byte by byte as from the line.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace nvx::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class BootloaderTest : public ::testing::Test {
protected:
    // Feeds the bytes and returns everything the loader answered.
    std::vector<uint8_t> Send(const std::vector<uint8_t>& bytes) {
        last = Bootloader::Output{};
        for (uint8_t b : bytes) unit.bootloader().feed(b, unit, last);
        return last.bytes;
    }

    Unit unit = test::MakeUnit(4);  // ATmega644P: 64 KB flash in 256-byte pages
    Bootloader::Output last;
};

TEST_F(BootloaderTest, EscapesAreSilentAndSGetsTheSignOn) {
    EXPECT_THAT(Send({0x1B, 0x1B, 0x1B, 'S'}), ElementsAreArray(std::string("AVRBOOT")));
    ASSERT_TRUE(last.signOnAt.has_value());
    EXPECT_EQ(*last.signOnAt, 0u);
    EXPECT_FALSE(last.exit);
}

TEST_F(BootloaderTest, AnswersTheIdentificationCommands) {
    struct Case {
        std::vector<uint8_t> command;
        std::vector<uint8_t> answer;
    };
    const Case cases[] = {
        {{'V'}, {'1', '2'}},
        {{'v'}, {'?'}},
        {{'p'}, {'S'}},
        {{'a'}, {'Y'}},
        {{'b'}, {'Y', 0x01, 0x00}},  // block size = the page size
        {{'t'}, {0x74, 0x00}},
        {{'T', 0x74}, {'\r'}},
        {{'P'}, {'\r'}},
        {{'L'}, {'\r'}},
        {{'x', 0x01}, {'\r'}},
        {{'y', 0x01}, {'\r'}},
        {{'s'}, {0x0A, 0x96, 0x1E}},  // signature, last byte first
        {{'F'}, {0xFF}},
        {{'N'}, {0xD8}},
        {{'Q'}, {0xFD}},
        {{'r'}, {0xFF}},
        {{'Z'}, {'?'}},
    };
    for (const Case& c : cases) EXPECT_EQ(Send(c.command), c.answer) << "command " << c.command[0];
}

TEST_F(BootloaderTest, BlockWriteAndReadOfFlashAdvanceTheWordAddress) {
    unit.flash().assign(unit.flash().size(), 0xFF);
    EXPECT_THAT(Send({'A', 0x00, 0x10}), ElementsAre('\r'));
    EXPECT_THAT(Send({'B', 0x00, 0x04, 'F', 0x11, 0x22, 0x33, 0x44}), ElementsAre('\r'));
    EXPECT_THAT(Send({'B', 0x00, 0x02, 'F', 0x55, 0x66}), ElementsAre('\r'));
    const std::vector<uint8_t>& f = unit.flash();
    // Word address 0x10 is byte 0x20; the second block follows the first.
    EXPECT_THAT(std::vector<uint8_t>(f.begin() + 0x1F, f.begin() + 0x27),
                ElementsAre(0xFF, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF));
    Send({'A', 0x00, 0x10});
    EXPECT_THAT(Send({'g', 0x00, 0x03, 'F'}), ElementsAre(0x11, 0x22, 0x33));
    EXPECT_THAT(Send({'R'}), ElementsAre(0x66, 0x55)) << "word 0x12: high byte first";
}

TEST_F(BootloaderTest, BlockWriteAndReadOfEepromUseByteAddresses) {
    Send({'A', 0x00, 0x05});
    EXPECT_THAT(Send({'B', 0x00, 0x01, 'E', 0xAB}), ElementsAre('\r'));
    EXPECT_THAT(Send({'B', 0x00, 0x01, 'E', 0xCD}), ElementsAre('\r'));
    EXPECT_EQ(unit.eeprom().byte(5), 0xAB);
    EXPECT_EQ(unit.eeprom().byte(6), 0xCD);
    Send({'A', 0x00, 0x05});
    EXPECT_THAT(Send({'g', 0x00, 0x02, 'E'}), ElementsAre(0xAB, 0xCD));
    // Beyond the chip's own 2 KB the device still has its 4 KB EEPROM.
    Send({'A', 0x0F, 0xFF});
    EXPECT_THAT(Send({'g', 0x00, 0x01, 'E'}), ElementsAre(unit.eeprom().byte(0x0FFF)));
}

TEST_F(BootloaderTest, SingleByteCommands) {
    unit.flash().assign(unit.flash().size(), 0xFF);
    Send({'A', 0x00, 0x02});
    EXPECT_THAT(Send({'c', 0x34, 'C', 0x12, 'm'}), ElementsAre('\r', '\r', '\r'));
    EXPECT_EQ(unit.flash()[4], 0x34);
    EXPECT_EQ(unit.flash()[5], 0x12);
    Send({'A', 0x00, 0x02});
    EXPECT_THAT(Send({'R'}), ElementsAre(0x12, 0x34));
    Send({'A', 0x00, 0x20});
    EXPECT_THAT(Send({'D', 0x5A, 'D', 0x5B}), ElementsAre('\r', '\r'));
    Send({'A', 0x00, 0x20});
    EXPECT_THAT(Send({'d', 'd'}), ElementsAre(0x5A, 0x5B));
    EXPECT_THAT(Send({'l', 0xFC, 'r'}), ElementsAre('\r', 0xFC));
}

TEST_F(BootloaderTest, ChipEraseClearsFlashButNotEeprom) {
    const std::vector<uint8_t> eeprom = unit.eeprom().bytes();
    ASSERT_NE(unit.flash()[0], 0xFF) << "the unit starts with some application code";
    EXPECT_THAT(Send({'e'}), ElementsAre('\r'));
    for (uint8_t b : unit.flash()) ASSERT_EQ(b, 0xFF);
    EXPECT_EQ(unit.eeprom().bytes(), eeprom);
}

// What the kernel reports as the application's build after the loader's session and a restart.
struct BuildCase {
    const char* session;
    std::vector<uint8_t> bytes;
    uint8_t buildWeek;  // blue display 64K: V 3.1, build 14-09 before
};

TEST_F(BootloaderTest, ANewFirmwareRunsWithTheNextBuildNumber) {
    const BuildCase cases[] = {
        {"nothing written", {'S', 'E'}, 9},
        {"EEPROM written", {'A', 0, 5, 'B', 0, 1, 'E', 0xAB, 'E'}, 9},
        {"flash block written", {'A', 0, 0, 'B', 0, 2, 'F', 0x12, 0x34, 'E'}, 10},
        {"flash erased, then written", {'e', 'A', 0, 0, 'B', 0, 2, 'F', 0x12, 0x34, 'E'}, 10},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.session);
        Unit fresh = test::MakeUnit(4);
        fresh.enterBootloader();
        Bootloader::Output out;
        for (uint8_t b : c.bytes) fresh.bootloader().feed(b, fresh, out);
        ASSERT_TRUE(out.exit);
        fresh.startApplication(kResetBootloaderExit, 0);
        const Frame versionQuery = test::Request(kVersionQueryId, {2, 0});
        const KernelOutcome reply = fresh.handleRequest(versionQuery, 0, false);
        ASSERT_TRUE(reply.reply);
        EXPECT_THAT(reply.reply->data, ElementsAre(1, 3, c.buildWeek, 14));
        // One new build per flash write, not one per restart.
        fresh.startApplication(kResetCommand, 0);
        EXPECT_THAT(fresh.handleRequest(versionQuery, 0, false).reply->data,
                    ElementsAre(1, 3, c.buildWeek, 14));
    }
}

TEST_F(BootloaderTest, UnknownMemoryTypeIsRefused) {
    EXPECT_THAT(Send({'B', 0x00, 0x01, 'X', 0x00}), ElementsAre('?'));
    EXPECT_THAT(Send({'g', 0x00, 0x01, 'X'}), ElementsAre('?'));
}

TEST_F(BootloaderTest, ReadsBeyondTheFlashGiveErasedBytesAndWritesThereAreLost) {
    Send({'A', 0x7F, 0xFF});  // last word of 64 KB
    EXPECT_THAT(Send({'B', 0x00, 0x04, 'F', 1, 2, 3, 4}), ElementsAre('\r'));
    EXPECT_EQ(unit.flash().size(), 65536u);
    EXPECT_EQ(unit.flash()[0xFFFE], 1);
    EXPECT_EQ(unit.flash()[0xFFFF], 2);
    Send({'A', 0x7F, 0xFF});
    EXPECT_THAT(Send({'g', 0x00, 0x04, 'F'}), ElementsAre(1, 2, 0xFF, 0xFF));
}

TEST_F(BootloaderTest, ExtendedAddressReachesAboveOneHundredTwentyEightKilobytes) {
    Unit touch = test::MakeUnit(7);  // ATxmega128D3: 136 KB flash
    Bootloader::Output out;
    for (uint8_t b : std::vector<uint8_t>{'H', 0x01, 0x00, 0x08, 'B', 0x00, 0x02, 'F', 0xAA, 0xBB})
        touch.bootloader().feed(b, touch, out);
    EXPECT_THAT(out.bytes, ElementsAre('\r', '\r'));
    EXPECT_EQ(touch.flash()[0x20010], 0xAA);
    EXPECT_EQ(touch.flash()[0x20011], 0xBB);
}

TEST_F(BootloaderTest, ExitAnswersAndAsksForTheApplication) {
    EXPECT_THAT(Send({'E'}), ElementsAre('\r'));
    EXPECT_TRUE(last.exit);
}

TEST_F(BootloaderTest, ArgumentsMayArriveInPieces) {
    Bootloader::Output out;
    for (uint8_t b : std::vector<uint8_t>{'A', 0x00}) unit.bootloader().feed(b, unit, out);
    EXPECT_TRUE(out.bytes.empty());
    EXPECT_TRUE(unit.bootloader().midCommand());
    unit.bootloader().feed(0x40, unit, out);
    EXPECT_THAT(out.bytes, ElementsAre('\r'));
    EXPECT_FALSE(unit.bootloader().midCommand());
    // An ESC inside a command is an argument, not an escape.
    out = {};
    for (uint8_t b : std::vector<uint8_t>{'B', 0x00, 0x01, 'E', 0x1B}) unit.bootloader().feed(b, unit, out);
    EXPECT_THAT(out.bytes, ElementsAre('\r'));
    EXPECT_EQ(unit.eeprom().byte(0x40), 0x1B);
}

}  // namespace
}  // namespace nvx::sim
