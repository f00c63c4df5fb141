// The pure parts: the command list, the parses of the Parameter text and of the number fields,
// and the result lines.

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <set>
#include <string>

#include "kernel_api/kernel_api.h"
#include "kernel_api/kernel_commands.h"

namespace nvx {
namespace {

TEST(KernelCommandTableTest, SeparatorsSitBetweenTheGroupsAndIssueNothing) {
    const std::set<std::size_t> separators{0, 6, 10, 15, 20, 25, 30};
    for (std::size_t row = 0; row < KernelCommandTable.size(); ++row) {
        const KernelCommand& c = KernelCommandTable[row];
        EXPECT_EQ(c.separator, separators.count(row) == 1) << row;
        if (c.separator) {
            EXPECT_STREQ(c.label, "----------------------") << row;
        }
    }
}

TEST(KernelCommandTableTest, ConfirmationAndWaitByRow) {
    struct Case {
        const char* label;
        KernelConfirm confirm;
        uint32_t waitMs;
    };
    const Case asked[] = {
        {"EepromClear", KernelConfirm::Parameter, 0},
        {"ErrorSet", KernelConfirm::Parameter, 0},
        {"ErrorClear", KernelConfirm::Always, 15000},
        {"RtimeErrorFlags", KernelConfirm::Parameter, 0},
        {"ProductionStatus", KernelConfirm::Parameter, 0},
        {"ProductionDate", KernelConfirm::Parameter, 0},
        {"ConfigCode", KernelConfirm::Parameter, 0},
    };
    std::set<std::string> askedLabels;
    for (const Case& c : asked) {
        const int row = FindKernelCommand(c.label);
        ASSERT_GE(row, 0) << c.label;
        EXPECT_EQ(KernelCommandTable[row].confirm, c.confirm) << c.label;
        EXPECT_EQ(KernelCommandTable[row].replyTimeoutMs, c.waitMs) << c.label;
        askedLabels.insert(c.label);
    }
    for (const KernelCommand& c : KernelCommandTable) {
        if (c.separator || askedLabels.count(c.label)) continue;
        EXPECT_EQ(c.confirm, KernelConfirm::No) << c.label;
        EXPECT_EQ(c.replyTimeoutMs, 0u) << c.label;
    }
}

TEST(KernelCommandTableTest, FindMatchesExactLabelsOnly) {
    EXPECT_EQ(FindKernelCommand("Reset"), 1);
    EXPECT_EQ(FindKernelCommand("Null"), 31);
    EXPECT_EQ(FindKernelCommand("ErrorClear"), 19);
    EXPECT_EQ(FindKernelCommand("reset"), -1);
    EXPECT_EQ(FindKernelCommand("RESET"), -1);
    EXPECT_EQ(FindKernelCommand("Reset "), -1);
    EXPECT_EQ(FindKernelCommand(""), -1);
    EXPECT_EQ(FindKernelCommand("----------------------"), -1);
}

TEST(KernelParameterTest, ParsesSignBaseAndRefusesLeftovers) {
    const struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"0", 0},
        {"00", 0},
        {"12", 12},
        {"+7", 7},
        {"-12", -12},
        {"0x1F4", 500},
        {"0X1f4", 500},
        {"-0x10", -16},
        {"010", 8},
        {"-017", -15},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"0xFFFFFFFF", -1},
        {"4294967295", -1},
        {"0x80000000", INT32_MIN},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"+", std::nullopt},
        {"0x", std::nullopt},
        {"08", std::nullopt},
        {"09", std::nullopt},
        {"0x1G", std::nullopt},
        {"12a", std::nullopt},
        {"abc", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"1.5", std::nullopt},
        {"--5", std::nullopt},
        {"4294967296", std::nullopt},
        {"0x100000000", std::nullopt},
        {"99999999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseKernelParameter(c.text), c.value) << '"' << c.text << '"';
}

TEST(KernelFieldIntegerTest, DecimalWithinThirtyTwoBits) {
    const struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"0", 0},          {"300", 300},          {" 42 ", 42},
        {"-3", -3},        {"+3", 3},             {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},               {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},            {"", std::nullopt},
        {"  ", std::nullopt},                     {"0x10", std::nullopt},
        {"12b", std::nullopt},                    {"1 2", std::nullopt},
        {"-", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseFieldInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(KernelResultLineTest, LinesByCode) {
    const struct {
        int code;
        uint32_t id;
        const char* line;
    } cases[] = {
        {1, 0x80, "E> COM Port NOT Open"},
        {3, 0x80, "E> Command in Progress"},
        {4, 0x80, "E> Error Initiating Transfer"},
        {5, 0x80, "E> No Reply from Kernel"},
        {7, 0x80, "E> Wrong Format Response at ID: 0080"},
        {7, 0x81, "E> Wrong Format Response at ID: 0081"},
        {7, 0x8F, "E> Wrong Format Response at ID: 008F"},
        {7, 0x2BC, "E> Wrong Format Response at ID: 02BC"},
        {8, 0x80, "I> Communication OK"},
        {9, 0x80, "I> API Command OK"},
        {10, 0x80, "E> Parameter not a number"},
        {0, 0x80, "E> Unknown Error"},
        {2, 0x80, "E> Unknown Error"},
        {6, 0x80, "E> Unknown Error"},
        {11, 0x80, "E> Unknown Error"},
        {-1, 0x80, "E> Unknown Error"},
    };
    for (const auto& c : cases) EXPECT_EQ(KernelResultLine(c.code, c.id), c.line) << c.code;
}

}  // namespace
}  // namespace nvx
