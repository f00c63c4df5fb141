#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "progtool/program_file.h"
#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;
using test::RunNvx;

class ConvertCliTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = test::FreshTestDir("progtool");
        firmware_ = test::ReadText(fs::path(NVX_FIXTURES_DIR) / "progtool" / "small_firmware.hex");
        ASSERT_FALSE(firmware_.empty());
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::vector<std::string> Names() const { return test::FileNames(dir_); }
    fs::path dir_;
    std::string firmware_;
};

TEST_F(ConvertCliTest, ScramblesToTheDefaultNameAndBack) {
    test::WriteText(dir_ / "SolBed_v3.HEXA", firmware_);
    test::ProgramRun run = RunNvx({"convert", (dir_ / "SolBed_v3.HEXA").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    const std::string npf = test::ReadText(dir_ / "SolBed_v3.npf");
    // Line 0 (an extended address record 00 00) and the end-of-file record, by hand.
    EXPECT_EQ(npf.substr(0, 17), ":020000020B0DE4\r\n");
    EXPECT_EQ(npf.substr(npf.size() - 13), ":00000001FF\r\n");

    run = RunNvx({"convert", "--to-hex", (dir_ / "SolBed_v3.npf").string(), "-o", (dir_ / "back.hex").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::ReadText(dir_ / "back.hex"), firmware_);
    EXPECT_EQ(Names(), (std::vector<std::string>{"SolBed_v3.HEXA", "SolBed_v3.npf", "back.hex"}));
}

TEST_F(ConvertCliTest, DamagedInputIsRejectedWithItsLineAndNothingWritten) {
    std::string damaged = firmware_;
    // Third line: flip one data digit, so the checksum no longer fits.
    const std::size_t third = damaged.find(":10001000");
    ASSERT_NE(third, std::string::npos);
    damaged[third + 10] = damaged[third + 10] == '0' ? '1' : '0';
    test::WriteText(dir_ / "fw.hex", damaged);
    test::WriteText(dir_ / "fw.npf", "previous");
    const test::ProgramRun run = RunNvx({"convert", (dir_ / "fw.hex").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "nvx convert: " + (dir_ / "fw.hex").string() + ": line 3: checksum wrong (nothing written)\n");
    EXPECT_EQ(test::ReadText(dir_ / "fw.npf"), "previous");
}

TEST_F(ConvertCliTest, AnOutputThatIsTheInputItselfIsRefusedAndTheInputKept) {
    test::WriteText(dir_ / "fw.hex", firmware_);
    fs::create_symlink("fw.hex", dir_ / "link.npf");
    fs::create_directory(dir_ / "sub");
    const std::string hex = (dir_ / "fw.hex").string();
    for (const std::string& out :
         {hex, (dir_ / "sub" / ".." / "fw.hex").string(), (dir_ / "link.npf").string()}) {
        SCOPED_TRACE(out);
        const test::ProgramRun run = RunNvx({"convert", hex, "-o", out});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "nvx convert: " + out + ": is the input file itself\n");
        EXPECT_EQ(test::ReadText(dir_ / "fw.hex"), firmware_);
    }
    // The same from NPF back to HEX: the scrambled file stays as it is.
    const test::ProgramRun toNpf = RunNvx({"convert", hex, "-o", (dir_ / "fw.npf").string()});
    ASSERT_EQ(toNpf.status, 0) << toNpf.err;
    const std::string npf = test::ReadText(dir_ / "fw.npf");
    const test::ProgramRun back = RunNvx(
        {"convert", "--to-hex", (dir_ / "fw.npf").string(), "-o", (dir_ / "fw.npf").string()});
    EXPECT_EQ(back.status, 1);
    EXPECT_EQ(test::ReadText(dir_ / "fw.npf"), npf);
    EXPECT_EQ(Names(), (std::vector<std::string>{"fw.hex", "fw.npf", "link.npf", "sub"}));
}

TEST_F(ConvertCliTest, ExitStatusAndMessages) {
    test::WriteText(dir_ / "fw.hex", firmware_);
    test::WriteText(dir_ / "fw.bin", firmware_);
    // Larger than any firmware of the catalogue's parts can be written.
    test::WriteText(dir_ / "big.hex", std::string(kMaxProgramFileBytes + 1, '\n'));
    const std::string hex = (dir_ / "fw.hex").string();
    const std::string out = (dir_ / "out.npf").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* errPart;
    };
    const Case cases[] = {
        {{"convert"}, 2, "no input file"},
        {{"convert", hex, hex}, 2, "more than one"},
        {{"convert", hex, "-o"}, 2, "-o needs"},
        {{"convert", "--to-hex", hex}, 2, "--to-hex needs -o"},
        {{"convert", (dir_ / "fw.bin").string()}, 2, "extension"},
        {{"convert", hex, "--fast"}, 2, "unknown option '--fast'"},
        {{"convert", (dir_ / "none.hex").string()}, 1, "none.hex"},
        {{"convert", hex, "-o", (dir_ / "no_dir" / "x.npf").string()}, 1, "x.npf"},
        {{"convert", (dir_ / "big.hex").string(), "-o", out}, 1, "big.hex: File too large"},
        {{"convert", "/dev/zero", "-o", out}, 1, "/dev/zero: not a regular file"},
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
    EXPECT_EQ(Names(), (std::vector<std::string>{"big.hex", "fw.bin", "fw.hex"}));
    // Any name is fine with -o.
    const test::ProgramRun run = RunNvx({"convert", (dir_ / "fw.bin").string(), "-o", out});
    EXPECT_EQ(run.status, 0) << run.err;
    const test::ProgramRun help = RunNvx({"convert", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: nvx convert IN.hex", 0), 0u) << help.out;
}

}  // namespace
}  // namespace nvx
