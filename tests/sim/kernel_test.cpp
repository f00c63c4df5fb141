// The kernel of one unit: every command of the command list, the version, debug and starting-text
// requests, each with its reply and its effect on the unit.

#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "platform/timer_service.h"
#include "sim_test_util.h"

namespace nvx::sim {
namespace {

using test::MakeUnit;
using test::ReplyWord;
using test::Request;

// 2024-06-15 12:00 UTC: the same calendar day in every time zone.
class FixedCalendar : public CalendarClock {
public:
    std::time_t now() const override { return 1718452800; }
};

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { SetCalendar(&calendar_); }
    void TearDown() override { SetCalendar(nullptr); }

    // Kernel command with a byte parameter (2 data bytes) or a word parameter (4 data bytes).
    KernelOutcome Byte(uint8_t code, uint8_t p = 0) {
        return unit.handleRequest(Request(kKernelCommandId, {code, p}), nowMs, false);
    }
    KernelOutcome Word(uint8_t code, uint16_t p) {
        return unit.handleRequest(
            Request(kKernelCommandId,
                    {code, 0, static_cast<uint8_t>(p & 0xFF), static_cast<uint8_t>(p >> 8)}),
            nowMs, false);
    }

    FixedCalendar calendar_;
    Unit unit = MakeUnit(3);
    uint64_t nowMs = 0;
};

struct CommandCase {
    const char* name;
    uint8_t code;
    uint16_t parameter;  // sent as a word when wordMode
    bool wordMode;
    uint16_t reply;
    AfterReply after;
    std::function<void(Unit&)> check;  // the effect on the unit
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class KernelCommandTest : public KernelTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(KernelCommandTest, RepliesWithItsWordAndChangesTheUnit) {
    const CommandCase& c = GetParam();
    const KernelOutcome out = c.wordMode ? Word(c.code, c.parameter)
                                         : Byte(c.code, static_cast<uint8_t>(c.parameter));
    ASSERT_TRUE(out.reply.has_value());
    EXPECT_EQ(out.reply->id, kKernelCommandId);
    EXPECT_EQ(out.reply->length, 2);
    EXPECT_EQ(ReplyWord(*out.reply), c.reply);
    EXPECT_EQ(out.after, c.after);
    if (c.check) c.check(unit);
}

const CommandCase kCommands[] = {
    {"Null", kCodeNull, 0, false, 0, AfterReply::Nothing, nullptr},
    {"Reset", kCodeReset, 0, false, 0, AfterReply::Restart, nullptr},
    {"Reboot", kCodeReboot, 0, false, 0, AfterReply::Restart, nullptr},
    {"BootloadStartOwnTarget", kCodeBootloadStart, 0, false, 0, AfterReply::EnterBootloader, nullptr},
    {"BootloadStartOtherTarget", kCodeBootloadStart, 25, false, 1, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.mode(), UnitMode::Application); }},
    {"MonitorStart", kCodeMonitorStart, 3, false, 3, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().parameterByte(kParamMonitorMode), 3); }},
    {"EepromClearZeroIsHarmless", kCodeEepromClear, 0, false, 0, AfterReply::Nothing,
     [](Unit& u) { EXPECT_TRUE(u.eeprom().formatted()); }},
    {"EepromClear", kCodeEepromClear, 1, false, 1, AfterReply::Nothing,
     [](Unit& u) {
         for (uint8_t b : u.eeprom().bytes()) ASSERT_EQ(b, 0xFF);
     }},
    {"TuvOpen", kCodeTuvOpen, 2, false, 0x04, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.tuvOpenMask(), 0x04); }},
    {"TuvCloseNothingOpen", kCodeTuvClose, 2, false, 0x00, AfterReply::Nothing, nullptr},
    {"TuvTunnelWithoutUnitBehind", kCodeTuvTunnel, 0xFF, false, 1, AfterReply::Nothing, nullptr},
    {"AnzCode", kCodeAnzCode, 42, false, 42, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().parameterByte(kParamDisplayCode), 42); }},
    {"AnzFlagOn", kCodeAnzFlagOn, 0x06, false, 0x07, AfterReply::Nothing, nullptr},
    {"AnzFlagOff", kCodeAnzFlagOff, 0x01, false, 0x00, AfterReply::Nothing, nullptr},
    {"AnzFlagToggle", kCodeAnzFlagToggle, 0x81, false, 0x80, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().parameterByte(kParamDisplayFlags), 0x80); }},
    {"ErrorSet", kCodeErrorSet, 0x2011, true, 6, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().errors().front(), (ErrorEntry{0x11, 0x20, 15, 0x46})); }},
    {"ErrorSetZeroOnlyCounts", kCodeErrorSet, 0, true, 5, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().errors().size(), 5u); }},
    {"ErrorModNumNewest", kCodeErrorModNum, 1, false, 0x0301, AfterReply::Nothing, nullptr},
    {"ErrorModNumOldest", kCodeErrorModNum, 5, false, 0x1110, AfterReply::Nothing, nullptr},
    {"ErrorModNumBeyond", kCodeErrorModNum, 6, false, 0xFFFF, AfterReply::Nothing, nullptr},
    {"ErrorDate", kCodeErrorDate, 2, false, 0x520E, AfterReply::Nothing, nullptr},
    {"ErrorClear", kCodeErrorClear, 0, false, 0, AfterReply::Nothing,
     [](Unit& u) {
         EXPECT_TRUE(u.eeprom().errors().empty());
         const uint32_t s = u.eeprom().sections().error;
         EXPECT_EQ(u.eeprom().byte(s + 2), 15) << "deletion day";
         EXPECT_EQ(u.eeprom().byte(s + 3), 0x46) << "deletion year digit and month";
     }},
    {"ResetCondition", kCodeResetCondition, 0, false, kResetPowerOn, AfterReply::Nothing, nullptr},
    {"BootNumber", kCodeBootNumber, 0, false, 37 + 3, AfterReply::Nothing, nullptr},
    {"RtimeErrorFlagsRead", kCodeRtimeErrorFlags, 0, true, 0x0004, AfterReply::Nothing, nullptr},
    {"RtimeErrorFlagsAcknowledge", kCodeRtimeErrorFlags, 0x0004, true, 0x0000, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().parameterWord(kParamRuntimeErrorFlags), 0); }},
    {"EepromRead", kCodeEepromRead, 0x0018, true, 0x0418, AfterReply::Nothing, nullptr},
    {"HardwareCode", kCodeHardwareCode, 0, false, 0x0103, AfterReply::Nothing, nullptr},
    {"ProductionStatusRead", kCodeProductionStatus, 0, true, 0x001F, AfterReply::Nothing, nullptr},
    {"ProductionStatusWrite", kCodeProductionStatus, 0x0003, true, 0x0003, AfterReply::Nothing,
     [](Unit& u) {
         unsigned sum = 0;
         for (int i = 6; i < 16; ++i) sum += u.eeprom().byte(i);
         EXPECT_EQ(u.eeprom().word(4), sum) << "header checksum follows";
     }},
    {"ProductionDateWrite", kCodeProductionDate, 0x5A11, true, 0x5A11, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().byte(12), 0x11); }},
    {"ConfigCodeWrite", kCodeConfigCode, 0x0815, true, 0x0815, AfterReply::Nothing,
     [](Unit& u) { EXPECT_EQ(u.eeprom().word(8), 0x0815); }},
    {"UnknownCode", 0x42, 0, false, 0xFFFF, AfterReply::Nothing, nullptr},
};

INSTANTIATE_TEST_SUITE_P(CommandList, KernelCommandTest, ::testing::ValuesIn(kCommands),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(KernelTest, ResetAndRebootCarryTheirReason) {
    EXPECT_EQ(Byte(kCodeReset).reason, kResetCommand);
    EXPECT_EQ(Byte(kCodeReboot).reason, kResetReboot);
}

TEST_F(KernelTest, ErrorClearKeepsTheKernelBusyForAWhile) {
    EXPECT_EQ(Byte(kCodeErrorClear, 1).delayMs, kErrorClearBusyMs);
    EXPECT_EQ(Byte(kCodeNull).delayMs, 0u);
}

TEST_F(KernelTest, RestartCountsBootsAndRemembersWhy) {
    unit.startApplication(kResetCommand, 100);
    EXPECT_EQ(unit.restarts(), 1u);
    EXPECT_EQ(ReplyWord(*Byte(kCodeBootNumber).reply), 41);
    EXPECT_EQ(ReplyWord(*Byte(kCodeResetCondition).reply), kResetCommand);
}

TEST_F(KernelTest, RestartAfterEepromClearFormatsTheEeprom) {
    Byte(kCodeEepromClear, 1);
    // Erased: the text reads 0xFF until the firmware starts again.
    EXPECT_EQ(unit.eeprom().textChar(0), 0xFF);
    unit.startApplication(kResetCommand, 0);
    EXPECT_TRUE(unit.eeprom().formatted());
    EXPECT_EQ(unit.eeprom().texts(), std::string(30, ' '));
    EXPECT_EQ(ReplyWord(*Byte(kCodeBootNumber).reply), 1);
    EXPECT_EQ(ReplyWord(*Word(kCodeErrorSet, 0).reply), 0);
}

TEST_F(KernelTest, BootloadStartNeedsTheRowsTarget) {
    Unit sensor = MakeUnit(16);  // room sensor 4417: target 7
    auto start = [&](uint8_t target) {
        return sensor.handleRequest(Request(kKernelCommandId, {kCodeBootloadStart, target}), 0, false);
    };
    EXPECT_EQ(start(0).after, AfterReply::Nothing);
    EXPECT_EQ(ReplyWord(*start(0).reply), kReplyRefused);
    EXPECT_EQ(start(7).after, AfterReply::EnterBootloader);
}

TEST_F(KernelTest, TunnelCommandWorksOnlyWithAUnitBehind) {
    auto tunnel = [&](uint8_t p) {
        return unit.handleRequest(Request(kKernelCommandId, {kCodeTuvTunnel, p}), 0, true);
    };
    EXPECT_EQ(tunnel(0xFF).after, AfterReply::TunnelOn);
    EXPECT_EQ(tunnel(0).after, AfterReply::TunnelOff);
    EXPECT_EQ(ReplyWord(*tunnel(0x12).reply), kReplyRefused);
}

TEST_F(KernelTest, ShortRequestsReadMissingBytesAsZero) {
    // A "T" frame to 0x0080 is the communication test; a "U" frame of ErrorSet carries no
    // parameter word and only reads the count.
    const KernelOutcome t = unit.handleRequest(Request(kKernelCommandId, {}), 0, false);
    ASSERT_TRUE(t.reply);
    EXPECT_EQ(ReplyWord(*t.reply), 0);
    EXPECT_EQ(ReplyWord(*Byte(kCodeErrorSet, 0x55).reply), 5);
}

struct VersionCase {
    uint8_t selector;
    std::array<uint8_t, 4> reply;
};

TEST_F(KernelTest, VersionQueriesAnswerFourBytesPerSelector) {
    // Solvane green display: P 1, V 2, H 0x01/03; kernel V 3.12, App# 1; application V 2.7,
    // build 12-14.
    const VersionCase cases[] = {{0, {1, 2, 0x03, 0x01}}, {1, {12, 3, 1, 0}}, {2, {7, 2, 14, 12}},
                                 {9, {0, 0, 0, 0}}};
    for (const VersionCase& c : cases) {
        const KernelOutcome out = unit.handleRequest(Request(kVersionQueryId, {c.selector, 0}), 0, false);
        ASSERT_TRUE(out.reply);
        EXPECT_EQ(out.reply->id, kVersionQueryId);
        EXPECT_EQ(out.reply->length, 4);
        EXPECT_EQ(out.reply->data, c.reply) << "selector " << int(c.selector);
    }
}

TEST_F(KernelTest, VersionsDifferPerDeviceType) {
    Unit controller = MakeUnit(12);
    const KernelOutcome a = unit.handleRequest(Request(kVersionQueryId, {2, 0}), 0, false);
    const KernelOutcome b = controller.handleRequest(Request(kVersionQueryId, {2, 0}), 0, false);
    EXPECT_NE(a.reply->data, b.reply->data);
}

TEST_F(KernelTest, DebugQueriesReadSlotsTimersAndBytes) {
    const uint64_t uptime = 1234;
    auto debug = [&](uint8_t b0, uint8_t b1) {
        return *unit.handleRequest(Request(kDebugQueryId, {b0, b1}), uptime, false).reply;
    };
    EXPECT_EQ(ReplyWord(debug(0, 0)), 1234 / 10) << "slot 0 runs every 10 ms";
    EXPECT_EQ(ReplyWord(debug(0, 4)), 1234 / 50);
    EXPECT_EQ(ReplyWord(debug(0, 12)), 0xFFFF) << "no slot 12";
    EXPECT_EQ(ReplyWord(debug(0, 255 - 3)), 4000 - 1234) << "timer 3: 4 s period";
    EXPECT_EQ(ReplyWord(debug(0, 255 - 8)), 0xFFFF) << "no timer 8";
    const Frame bytes = debug(1, 0);
    EXPECT_EQ(bytes.length, 4);
    EXPECT_EQ(bytes.data[0] | bytes.data[1] << 8, 0x0312 + 3 * 3);
    EXPECT_EQ(debug(2, 0).length, 2);
}

TEST_F(KernelTest, StartingTextsReadAndWriteOneCharacterEach) {
    auto text = [&](uint8_t b0, uint8_t b1) {
        return *unit.handleRequest(Request(kStartTextId, {b0, b1}), 0, false).reply;
    };
    EXPECT_EQ(text(0, 0).data[0], 'N');
    EXPECT_EQ(text(17, 0).data[0], 'W');
    EXPECT_EQ(text(18, 0).data[0], 0xE4);
    const Frame echo = text(0x80 | 29, 'Z');
    EXPECT_EQ(echo.id, kStartTextId);
    EXPECT_EQ(echo.length, 2);
    EXPECT_EQ(echo.data[0], 'Z');
    EXPECT_EQ(unit.eeprom().texts()[29], 'Z');
    EXPECT_EQ(unit.eeprom().byte(unit.eeprom().sections().text + 29), 'Z');
    EXPECT_EQ(text(30, 0).data[1], 0xFF) << "no address 30";
    EXPECT_EQ(unit.eeprom().texts().substr(0, 29), "Norvix Solvane   W\xE4rmetechnik");
}

TEST_F(KernelTest, StaysSilentForForeignIdentifiersAndInTheBootloader) {
    EXPECT_FALSE(unit.handleRequest(Request(0x0123, {0, 0}), 0, false).reply);
    EXPECT_FALSE(unit.handleRequest(Request(0x0385, {0, 0}), 0, false).reply);
    unit.enterBootloader();
    EXPECT_FALSE(unit.handleRequest(Request(kKernelCommandId, {0, 0}), 0, false).reply);
}

}  // namespace
}  // namespace nvx::sim
