// `nvx listen` as a program against norvix-sim as a program sending status frames, linked as
// com1 in a temporary start directory. Real time: each run listens for a second or two.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx::test {
namespace {

constexpr int kRunLimitMs = 20'000;
constexpr int kStatusPeriodMs = 100;

std::string BinaryDir() {
    const char* env = std::getenv("NVX_BINARY_DIR");
    return env && *env ? env : NVX_BINARY_DIR;
}

// The cells of a CSV line read without its LF (a trailing CR is left out).
std::vector<std::string> Cells(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells(1);
    for (char ch : line) {
        if (ch == ',') {
            cells.emplace_back();
        } else {
            cells.back().push_back(ch);
        }
    }
    return cells;
}

class ListenCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nvx = BinaryDir() + "/src/cli/nvx";
        sim = BinaryDir() + "/src/sim/norvix-sim";
        if (!std::filesystem::exists(nvx) || !std::filesystem::exists(sim))
            GTEST_FAIL() << "build nvx and norvix-sim first";
        // On a real wire's time (the device's default): the pump meets frames at the line's pace.
        const std::vector<std::string> argv{sim,
                                            "--device",
                                            "solbed",
                                            "--link",
                                            dir.file("com1"),
                                            "--status-ms",
                                            std::to_string(kStatusPeriodMs)};
        device = std::make_unique<Child>(sim, argv, dir.path(), std::vector<std::string>{},
                                         ChildStreams{.stderrFile = dir.file("sim.err")});
        ASSERT_TRUE(device->started());
        ASSERT_FALSE(device->ReadLine(10'000).empty()) << ReadText(dir.file("sim.err"));
    }
    void TearDown() override { device.reset(); }

    std::unique_ptr<Child> listen(const std::vector<std::string>& args) {
        std::vector<std::string> argv{nvx, "listen"};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Child>(nvx, argv, dir.path());
    }

    // Every row a status frame as the device sends it, in time order, the bytes back to back.
    static void ExpectStatusRows(const std::string& out, std::size_t atLeast, int64_t beforeMs) {
        std::istringstream in(out);
        std::string line;
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line, "ms,offset,dir,kind,word,id,parity,check,data\r");
        std::size_t rows = 0;
        int64_t lastMs = -1;
        uint64_t nextOffset = 0;
        while (std::getline(in, line)) {
            const std::vector<std::string> c = Cells(line);
            ASSERT_EQ(c.size(), 9u) << line;
            const int64_t ms = std::stoll(c[0]);
            EXPECT_GE(ms, lastMs) << line;
            EXPECT_LT(ms, beforeMs) << line;
            lastMs = ms;
            EXPECT_EQ(std::stoull(c[1]), nextOffset) << line;
            EXPECT_EQ(c[2], "Rx") << line;
            const unsigned id = static_cast<unsigned>(std::stoul(c[5], nullptr, 16));
            EXPECT_GE(id, 0x0380u) << line;
            EXPECT_LE(id, 0x03FFu) << line;
            EXPECT_EQ(c[6], "OK") << line;
            EXPECT_EQ(c[7], "OK") << line;
            const std::size_t dataBytes = c[8].empty() ? 0 : (c[8].size() + 1) / 3;
            EXPECT_EQ(c[3], std::string(1, static_cast<char>('T' + dataBytes / 2))) << line;
            nextOffset += 4 + dataBytes;
            ++rows;
        }
        EXPECT_GE(rows, atLeast) << out;
    }

    ScratchDir dir{"listen"};
    std::string nvx, sim;
    std::unique_ptr<Child> device;
};

TEST_F(ListenCliTest, PrintsTheDevicesStatusFramesForTheSecondsGiven) {
    const ProgramRun run =
        listen({"--csv", "--seconds", "2", "--port", "1"})->FinishWithin(kRunLimitMs);
    ASSERT_EQ(run.status, 0) << run.err;
    // A status frame every 100 ms for 2 s; the first may come before the port is open.
    ExpectStatusRows(run.out, 2000 / kStatusPeriodMs / 2, 2200);
}

TEST_F(ListenCliTest, CtrlCEndsItAfterTheRowsSoFar) {
    std::unique_ptr<Child> child = listen({"--csv"});  // COM 1 when no port is given
    ASSERT_TRUE(child->started());
    EXPECT_EQ(child->ReadLine(kRunLimitMs), "ms,offset,dir,kind,word,id,parity,check,data\r");
    std::string firstRow = child->ReadLine(kRunLimitMs);
    ASSERT_FALSE(firstRow.empty());
    child->Signal(SIGINT);
    const ProgramRun run = child->FinishWithin(kRunLimitMs);
    EXPECT_EQ(run.status, 0) << run.err;
    ExpectStatusRows("ms,offset,dir,kind,word,id,parity,check,data\r\n" + firstRow + "\n" + run.out,
                     1, 60'000);
}

TEST_F(ListenCliTest, WrongUsageAndAPortThatDoesNotOpen) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* errPart;
    } cases[] = {
        {{"--port", "1", "--seconds", "0"}, 2, "--seconds needs a number from 1 to 86400"},
        {{"--port", "1", "--seconds"}, 2, "--seconds needs a value"},
        {{"--port", "1", "--hex"}, 2, "unknown option '--hex'"},
        {{"--port", "1", "extra"}, 2, "unexpected argument 'extra'"},
        {{"--port", "0"}, 2, ""},
        {{"--port", "9", "--seconds", "1"}, 1, ""},
    };
    ::setenv("NORVIX_COM9", dir.file("no-such-device").c_str(), 1);
    for (const auto& c : cases) {
        const ProgramRun run = listen(c.args)->FinishWithin(kRunLimitMs);
        EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.args);
        EXPECT_EQ(run.out, "") << testing::PrintToString(c.args);
        EXPECT_NE(run.err.find(c.errPart), std::string::npos) << run.err;
    }
    ::unsetenv("NORVIX_COM9");
}

}  // namespace
}  // namespace nvx::test
