#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "eeprom/eeprom_image.h"
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

std::string Utf8(const std::string& latin1) {
    std::string utf8;
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

TEST_F(ReportCliTest, PrintsUtf8ToAPipeAndTheBytesOnlyWithLatin1) {
    const test::ProgramRun plain = RunNvx({"report", kImage});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, Utf8(Fixture("small_image_row0.txt")));
    EXPECT_NE(plain.out.find("Heiz/K\xC3\xBC" "hlkreis"), std::string::npos);
    EXPECT_EQ(plain.err, "");
    // --row and --device name the same row; options stand anywhere, "--" ends them.
    using Args = std::vector<std::string>;
    for (const Args& args :
         {Args{"report", kImage, "--row", "24", "--details", "--latin1"},
          Args{"report", "--latin1", "--details", "--device", "PrxaBed", kImage},
          Args{"report", "--device=PrxaBed", "--latin1", "--details", "--", kImage}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const test::ProgramRun run = RunNvx(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, Fixture("small_image_row24_details.txt"));
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(ReportCliTest, AFileThatIsNoImageIsReportedWithAOneLineWarning) {
    struct Case {
        const char* name;
        std::string text;
        const char* why;  // in the warning
    };
    const Case cases[] = {
        {"notes.txt", "not an image\n", "no data records"},
        // Error section (byte 24) in front of the Exworks section (byte 25).
        {"order.hex", ":04001800010203040000\n:1000200000000000000000000000000000000000D0\n",
         "out of order"},
        // Exworks section at 0x10, inside the header.
        {"inside.hex", ":04001800040102030000\n:1000200000000000000000000000000000000000D0\n",
         "inside the header"},
        // Error memory at 0x40, but the data end at 0x2F.
        {"short.hex", ":04001800040203030000\n:1000200000000000000000000000000000000000D0\n",
         "beyond the last byte read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir_ / c.name;
        test::WriteText(file, c.text);
        const test::ProgramRun run = RunNvx({"report", file.string(), "--latin1"});
        EXPECT_EQ(run.status, 0) << run.err;
        // The report all the same, as for any image.
        EXPECT_EQ(run.out.rfind("Velmor EEPROM Content\r\n", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("Error Memory"), std::string::npos) << run.out;
        EXPECT_EQ(run.err.rfind("nvx report: warning: " + file.string(), 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.why), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.err.back(), '\n');
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
    EXPECT_EQ(run.out, Utf8(Fixture("small_image_row0.txt")));
}

TEST_F(ReportCliTest, ExitStatusAndMessages) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* errPart;  // must appear on standard error
    };
    const std::string missing = (dir_ / "missing.hex").string();
    // Larger than any image of the EEPROM can be.
    const std::string big = (dir_ / "big.hex").string();
    test::WriteText(big, std::string(EepromImage::kMaxFileBytes + 1, '\n'));
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
        {{"report", "--details=1", kImage}, 2, "--details takes no value"},
        {{"report", kImage, "-o"}, 2, "-o needs"},
        {{"report", missing}, 1, "missing.hex"},
        {{"report", dir_.string()}, 1, "eeprom"},
        {{"report", kImage, "-o", (dir_ / "no_dir" / "r.txt").string()}, 1, "r.txt"},
        {{"report", big}, 1, "big.hex: File too large"},
        {{"report", "/dev/zero"}, 1, "/dev/zero: not a regular file"},
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
