#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;
using test::RunNvx;

const std::string kImage = NVX_FIXTURES_DIR "/eeprom/small_image.hex";

std::string Fixture(const char* name) { return test::ReadText(fs::path(NVX_FIXTURES_DIR) / "eeprom" / name); }

class ReportCliTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = test::FreshTestDir("eeprom");
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(ReportCliTest, PrintsTheReportBytesWhenNotATerminal) {
    const test::ProgramRun plain = RunNvx({"report", kImage});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, Fixture("small_image_row0.txt"));
    EXPECT_EQ(plain.err, "");
    // --row and --device name the same row; options may come before the file.
    for (const auto& args : {std::vector<std::string>{"report", kImage, "--row", "24", "--details"},
                             std::vector<std::string>{"report", "--details", "--device", "PrxaBed", kImage}}) {
        const test::ProgramRun run = RunNvx(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, Fixture("small_image_row24_details.txt"));
    }
}

TEST_F(ReportCliTest, WritesTheBytesToAFile) {
    const fs::path out = dir_ / "report.txt";
    const test::ProgramRun run = RunNvx({"report", kImage, "--row", "24", "--details", "-o", out.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(test::ReadText(out), Fixture("small_image_row24_details.txt"));
}

TEST_F(ReportCliTest, ATerminalGetsUtf8) {
    const test::ProgramRun run = RunNvx({"report", kImage}, true);
    EXPECT_EQ(run.status, 0) << run.err;
    std::string expected;
    for (unsigned char c : Fixture("small_image_row0.txt")) {
        if (c < 0x80) {
            expected += static_cast<char>(c);
        } else {
            expected += static_cast<char>(0xC0 | (c >> 6));
            expected += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    EXPECT_EQ(run.out, expected);
    EXPECT_NE(run.out.find("Heiz/K\xC3\xBC" "hlkreis"), std::string::npos);
}

TEST_F(ReportCliTest, ExitStatusAndMessages) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* errPart;  // must appear on standard error
    };
    const std::string missing = (dir_ / "missing.hex").string();
    const Case cases[] = {
        {{"report"}, 2, "no image file"},
        {{"report", kImage, kImage}, 2, "more than one"},
        {{"report", kImage, "--row"}, 2, "--row needs a value"},
        {{"report", kImage, "--row", "35"}, 2, "from 0 to 34"},
        {{"report", kImage, "--row", "-1"}, 2, "from 0 to 34"},
        {{"report", kImage, "--row", "2x"}, 2, "from 0 to 34"},
        {{"report", kImage, "--device", "solgrb"}, 2, "unknown device 'solgrb'"},
        {{"report", kImage, "--row", "3", "--device", "solbed"}, 2, "once"},
        {{"report", kImage, "--verbose"}, 2, "unknown option '--verbose'"},
        {{"report", kImage, "-o"}, 2, "-o needs"},
        {{"report", missing}, 1, "missing.hex"},
        {{"report", dir_.string()}, 1, "eeprom"},
        {{"report", kImage, "-o", (dir_ / "no_dir" / "r.txt").string()}, 1, "r.txt"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);
        const test::ProgramRun run = RunNvx(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.errPart), std::string::npos) << run.err;
    }
    // A file error is one line.
    const test::ProgramRun run = RunNvx({"report", missing});
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_FALSE(fs::exists(dir_ / "no_dir"));
}

TEST_F(ReportCliTest, Help) {
    const test::ProgramRun run = RunNvx({"report", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("usage: nvx report IMAGE.hex", 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");
    const test::ProgramRun listed = RunNvx({"--help"});
    EXPECT_NE(listed.out.find("report"), std::string::npos);
    EXPECT_NE(listed.out.find("convert"), std::string::npos);
}

}  // namespace
}  // namespace nvx
