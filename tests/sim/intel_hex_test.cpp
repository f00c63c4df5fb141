#include "sim/intel_hex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include <unistd.h>
#include <algorithm>

namespace nvx::sim {
namespace {

TEST(IntelHex, ReadsDataRecordsWithLfAndCrLfAndLowerCaseDigits) {
    const std::string text =
        ":0400100001020304E2\r\n"
        ":02001400aabb85\n"
        "\n"
        ":00000001FF\r\n";
    std::vector<uint8_t> mem(32, 0xFF);
    std::string error;
    ASSERT_TRUE(ParseIntelHex(text, mem, error)) << error;
    EXPECT_EQ(mem[0x0F], 0xFF);
    EXPECT_EQ(mem[0x10], 0x01);
    EXPECT_EQ(mem[0x13], 0x04);
    EXPECT_EQ(mem[0x14], 0xAA);
    EXPECT_EQ(mem[0x15], 0xBB);
    EXPECT_EQ(mem[0x16], 0xFF);
}

TEST(IntelHex, StopsAtTheEndOfFileRecord) {
    std::vector<uint8_t> mem(16, 0xFF);
    std::string error;
    ASSERT_TRUE(ParseIntelHex(":00000001FF\n:0100000055AA\n", mem, error)) << error;
    EXPECT_EQ(mem[0], 0xFF);
}

TEST(IntelHex, ExtendedLinearAddressMovesTheBase) {
    std::vector<uint8_t> mem(0x20000, 0xFF);
    std::string error;
    ASSERT_TRUE(ParseIntelHex(":020000040001F9\n:0100050042B8\n:00000001FF\n", mem, error)) << error;
    EXPECT_EQ(mem[0x10005], 0x42);
    EXPECT_EQ(mem[0x00005], 0xFF);
}

struct BadHex {
    const char* name;
    const char* text;
    const char* reason;
};

void PrintTo(const BadHex& c, std::ostream* os) { *os << c.name; }

class BadHexTest : public ::testing::TestWithParam<BadHex> {};

TEST_P(BadHexTest, IsRefusedWithItsLineAndReason) {
    std::vector<uint8_t> mem(64, 0xFF);
    std::string error;
    EXPECT_FALSE(ParseIntelHex(GetParam().text, mem, error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadHexTest,
    ::testing::Values(BadHex{"Checksum", ":0100000055AB\n", "line 1: checksum"},
                      BadHex{"NoColon", ":0100000055AA\r\n0100000055AA\n", "line 2: no record mark"},
                      BadHex{"NotHex", ":01000000G5AA\n", "hexadecimal"},
                      BadHex{"CountMismatch", ":0200000055A9\n", "byte count"},
                      BadHex{"BeyondMemory", ":01004000AA15\n", "beyond"},
                      BadHex{"UnknownType", ":00000007F9\n", "record type"},
                      BadHex{"Truncated", ":0100\n", "record length"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(IntelHex, FormatThenParseGivesTheSameMemory) {
    std::vector<uint8_t> mem(0x10040);
    std::iota(mem.begin(), mem.end(), uint8_t{7});
    const std::string text = FormatIntelHex(mem, false);
    EXPECT_NE(text.find(":020000040001F9\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");
    std::vector<uint8_t> back(mem.size(), 0);
    std::string error;
    ASSERT_TRUE(ParseIntelHex(text, back, error)) << error;
    EXPECT_EQ(back, mem);
}

TEST(IntelHex, SkipsBlankRowsOnlyWhenAsked) {
    std::vector<uint8_t> mem(64, 0xFF);
    mem[33] = 0x12;
    const std::string sparse = FormatIntelHex(mem, true);
    EXPECT_EQ(sparse,
              ":10002000FF12FFFFFFFFFFFFFFFFFFFFFFFFFFFFCD\r\n"
              ":00000001FF\r\n");
    const std::string full = FormatIntelHex(mem, false);
    EXPECT_EQ(std::count(full.begin(), full.end(), '\n'), 5);
}

TEST(IntelHex, WriteTextFileReplacesTheFileWhole) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("nvx_sim_hex_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "out.hex").string();
    std::string error;
    ASSERT_TRUE(WriteTextFile(path, "old contents that are longer", error)) << error;
    ASSERT_TRUE(WriteTextFile(path, "new", error)) << error;
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_FALSE(WriteTextFile((dir / "missing" / "x.hex").string(), "x", error));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace nvx::sim
