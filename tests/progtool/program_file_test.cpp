#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "progtool/program_file.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;

// A scratch directory per test, removed afterwards.
class ScratchDir : public testing::Test {
protected:
    void SetUp() override {
        dir_ = test::FreshTestDir("progtool");
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::vector<std::string> Names() const { return test::FileNames(dir_); }
    fs::path dir_;
};

struct TransformCase {
    const char* input;
    uint32_t lineIndex;
    TransformMode mode;
    const char* output;
    bool endOfFile;
};

TEST(HexRecordTransformTest, WorkedAndHandComputedExamples) {
    const TransformCase cases[] = {
        // The record 01 02 03 as line 0 and line 1 of a file, and back.
        {":03000000010203F7", 0, kTransformScramble, ":030000008B0E90D4", false},
        {":03000000010203F7", 1, kTransformScramble, ":030000004B8DCF56", false},
        {":030000008B0E90D4", 0, kTransformUnscramble, ":03000000010203F7", false},
        {":030000004B8DCF56", 1, kTransformUnscramble, ":03000000010203F7", false},
        // Line 7 rotates by 7 again, like line 0; line 14 too.
        {":03000000010203F7", 7, kTransformScramble, ":030000008B0E90D4", false},
        {":03000000010203F7", 14, kTransformScramble, ":030000008B0E90D4", false},
        // Line 3 rotates by 4: 12 -> 21, plus 11 -> 2C.
        {":0100000012ED", 3, kTransformScramble, ":010000002CD3", false},
        // Line 6 rotates by 1: 80 -> 01, plus 11 -> 0C.
        {":01000000807F", 6, kTransformScramble, ":010000000CF3", false},
        // The sum wraps: FF rotated stays FF, plus 11 -> 0A.
        {":01000000FF00", 0, kTransformScramble, ":010000000AF5", false},
        // The data of an extended address record is scrambled too.
        {":020000040001F9", 0, kTransformScramble, ":020000040B8D62", false},
        // Copy mode keeps the data and writes upper case.
        {":03000000010203F7", 5, kTransformCopy, ":03000000010203F7", false},
        {":10001000abcdef0123456789abcdef012345678960", 2, kTransformCopy,
         ":10001000ABCDEF0123456789ABCDEF012345678960", false},
        // Records without data are the same in every mode; the end-of-file record ends the file.
        {":00000001FF", 0, kTransformScramble, ":00000001FF", true},
        {":00000001FF", 3, kTransformUnscramble, ":00000001FF", true},
        {":00000001ff", 3, kTransformCopy, ":00000001FF", true},
        // Any start character.
        {"#03000000010203F7", 0, kTransformScramble, ":030000008B0E90D4", false},
    };
    for (const TransformCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.input << " line " << c.lineIndex << " mode " << c.mode);
        std::string out = "stale";
        const HexRecordResult r = HexRecordTransform(c.input, out, c.lineIndex, c.mode);
        EXPECT_EQ(r.fault, RecordFault::None);
        EXPECT_EQ(out, c.output);
        EXPECT_EQ(r.endOfFile, c.endOfFile);
    }
}

TEST(HexRecordTransformTest, UnscrambleUndoesScrambleForEveryValueAndLine) {
    // 121 data bytes (the longest record) cover every position; three records cover every value.
    for (uint32_t line = 0; line < 14; ++line) {
        for (int block = 0; block < 3; ++block) {
            std::vector<uint8_t> bytes = {121, 0x12, 0x34, 0x00};
            for (int j = 0; j < 121; ++j) bytes.push_back(static_cast<uint8_t>(block * 121 + j));
            unsigned sum = 0;
            for (uint8_t b : bytes) sum += b;
            bytes.push_back(static_cast<uint8_t>(-sum));
            std::string record = ":";
            for (uint8_t b : bytes) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", b);
                record += hex;
            }
            std::string scrambled, plain;
            ASSERT_EQ(HexRecordTransform(record, scrambled, line, kTransformScramble).fault, RecordFault::None);
            EXPECT_NE(scrambled, record);
            EXPECT_EQ(scrambled.substr(0, 9), record.substr(0, 9)) << "count, address and type stay";
            ASSERT_EQ(HexRecordTransform(scrambled, plain, line, kTransformUnscramble).fault, RecordFault::None);
            EXPECT_EQ(plain, record) << "line " << line;
        }
    }
}

TEST(HexRecordTransformTest, DamagedRecordsAreRefused) {
    struct Case {
        std::string line;
        RecordFault fault;
    };
    std::string longest = ":79000000";
    for (int i = 0; i < 121; ++i) longest += "00";
    longest += "87";  // 0x79 = 121 data bytes: 253 characters
    std::string tooLong = ":7A000000";
    for (int i = 0; i < 122; ++i) tooLong += "00";
    tooLong += "86";
    const Case cases[] = {
        {":03000000010203F7", RecordFault::None},
        {longest, RecordFault::None},
        {tooLong, RecordFault::TooLong},
        {":03000000010203F8", RecordFault::BadChecksum},
        {":03000000010203", RecordFault::LengthMismatch},
        {":03000000010203F", RecordFault::LengthMismatch},
        {":04000000010203F6", RecordFault::LengthMismatch},
        {":02000000010203F7", RecordFault::LengthMismatch},
        {":03000000010203F700", RecordFault::LengthMismatch},
        {":", RecordFault::LengthMismatch},
        {":00", RecordFault::LengthMismatch},
        {":03000000010G03F7", RecordFault::NotHex},
        {":03000000010203F7 ", RecordFault::NotHex},
        {":03000000\x01" "10203F7", RecordFault::NotHex},
        {":03000000010203F7\r", RecordFault::NotHex},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(CheckHexRecord(c.line), c.fault);
        std::string out = "stale";
        const HexRecordResult r = HexRecordTransform(c.line, out, 0, kTransformCopy);
        EXPECT_EQ(r.fault, c.fault);
        EXPECT_EQ(out.empty(), c.fault != RecordFault::None);
    }
    EXPECT_EQ(longest.size(), kMaxRecordLineLength);
}

std::string Scramble(const std::string& line, uint32_t index) {
    std::string out;
    EXPECT_EQ(HexRecordTransform(line, out, index, kTransformScramble).fault, RecordFault::None) << line;
    return out;
}

TEST(ConvertProgramTextTest, EmptyLinesAndLineEndsAreTolerated) {
    const std::string a = ":03000000010203F7", b = ":0100000012ED", eof = ":00000001FF";
    const std::string expected = Scramble(a, 0) + "\r\n" + Scramble(b, 1) + "\r\n" + eof + "\r\n";
    for (const std::string& input : {a + "\r\n" + b + "\r\n" + eof + "\r\n", a + "\n" + b + "\n" + eof,
                                    "\n" + a + "\r\n\r\n\n" + b + "\n" + eof + "\n\n"}) {
        std::string output;
        const ConversionResult r = ConvertProgramText(input, kTransformScramble, output);
        EXPECT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(output, expected);
        EXPECT_EQ(r.records, 3u);
    }
}

TEST(ConvertProgramTextTest, StopsAfterTheEndOfFileRecordOrAtTheEnd) {
    const std::string a = ":03000000010203F7";
    std::string output;
    // Nothing after the end-of-file record is read.
    ConversionResult r = ConvertProgramText(a + "\n:00000001FF\n" + a + "\nnot a record\n", kTransformCopy, output);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(output, a + "\r\n:00000001FF\r\n");
    // Without an end-of-file record every line is converted once.
    r = ConvertProgramText(a + "\n" + a + "\n" + a, kTransformScramble, output);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(output, Scramble(a, 0) + "\r\n" + Scramble(a, 1) + "\r\n" + Scramble(a, 2) + "\r\n");
    EXPECT_EQ(r.records, 3u);
    // An empty input gives an empty output.
    r = ConvertProgramText("", kTransformScramble, output);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(output, "");
}

// What decides whether a file may go to a programmer, told in every mode (the record type is not
// scrambled): the end-of-file record, and the first record of a type beyond 05 with its input line.
TEST(ConvertProgramTextTest, TellsTheEndRecordAndTheFirstUnknownRecordType) {
    struct Case {
        const char* name;
        std::string input;
        bool endRecord;
        uint32_t unknownLine;
        uint8_t unknownType;
    };
    const std::string data = ":03000000010203F7", eof = ":00000001FF";
    const std::string type9 = ":020000090102F2", type6 = ":0400000600000000F6";
    const Case cases[] = {
        {"whole", data + "\n" + eof + "\n", true, 0, 0},
        {"cut at a line boundary", data + "\n" + data + "\n", false, 0, 0},
        {"empty", "", false, 0, 0},
        {"type 09 after an empty line", data + "\n\n" + type9 + "\n" + type6 + "\n" + eof, true, 3, 9},
        {"type 06 first", type6 + "\n" + type9 + "\n", false, 1, 6},
        {"type 09 after the end record", data + "\n" + eof + "\n" + type9 + "\n", true, 0, 0},
    };
    for (const TransformMode mode : {kTransformScramble, kTransformUnscramble, kTransformCopy}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ": " << c.name);
            std::string output;
            const ConversionResult r = ConvertProgramText(c.input, mode, output);
            EXPECT_TRUE(r.ok()) << r.message;
            EXPECT_EQ(r.endRecordSeen, c.endRecord);
            EXPECT_EQ(r.unknownTypeLine, c.unknownLine);
            EXPECT_EQ(r.unknownType, c.unknownType);
        }
    }
}

TEST(ConvertProgramTextTest, DamagedInputIsRejectedWithItsLine) {
    struct Case {
        std::string input;
        uint32_t line;
        RecordFault fault;
    };
    const std::string good = ":03000000010203F7";
    const Case cases[] = {
        {good + "\n" + good + "\n:03000000010203F8\n:00000001FF\n", 3, RecordFault::BadChecksum},
        {good + "\r\n\r\n:03000000010203\r\n", 3, RecordFault::LengthMismatch},
        {":03000000010203f8\n", 1, RecordFault::BadChecksum},
        {good + "\n:0300000001020 3F7\n", 2, RecordFault::NotHex},
        {good + "\n" + good + "\n" + good + "\n:" + std::string(300, '0') + "\n", 4, RecordFault::TooLong},
    };
    for (const TransformMode mode : {kTransformScramble, kTransformUnscramble, kTransformCopy}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ": " << c.input);
            std::string output = "stale";
            const ConversionResult r = ConvertProgramText(c.input, mode, output, "fw.hex");
            EXPECT_EQ(r.status, ConversionStatus::Damaged);
            EXPECT_EQ(r.line, c.line);
            EXPECT_EQ(r.fault, c.fault);
            EXPECT_EQ(output, "");
            EXPECT_EQ(r.message, "fw.hex: line " + std::to_string(c.line) + ": " + RecordFaultText(c.fault));
        }
    }
}

TEST_F(ScratchDir, HexToNpfToHexRoundTrip) {
    const fs::path hex = fs::path(NVX_FIXTURES_DIR) / "progtool" / "small_firmware.hex";
    const fs::path npf = dir_ / "small_firmware.npf";
    const fs::path back = dir_ / "back.hex";
    const fs::path npfAgain = dir_ / "again.npf";
    ConversionResult r = ConvertProgramFile(hex.string(), npf.string(), kTransformScramble);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.records, 12u);
    r = ConvertProgramFile(npf.string(), back.string(), kTransformUnscramble);
    ASSERT_TRUE(r.ok()) << r.message;
    r = ConvertProgramFile(back.string(), npfAgain.string(), kTransformScramble);
    ASSERT_TRUE(r.ok()) << r.message;

    const std::string original = test::ReadText(hex);
    EXPECT_EQ(test::ReadText(back), original);
    EXPECT_EQ(test::ReadText(npfAgain), test::ReadText(npf));
    // Same number of lines, same counts, addresses and types; different data.
    const std::string scrambled = test::ReadText(npf);
    EXPECT_NE(scrambled, original);
    ASSERT_EQ(scrambled.size(), original.size());
    for (std::size_t at = 0; at < original.size();) {
        const std::size_t end = original.find("\r\n", at);
        EXPECT_EQ(scrambled.substr(at, 9), original.substr(at, 9));
        ASSERT_EQ(scrambled.substr(end, 2), "\r\n");
        at = end + 2;
    }
    // Copy mode rewrites the same file.
    r = ConvertProgramFile(hex.string(), (dir_ / "copy.hex").string(), kTransformCopy);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(test::ReadText(dir_ / "copy.hex"), original);
}

TEST_F(ScratchDir, FailuresLeaveTheOutputAlone) {
    const fs::path in = dir_ / "fw.hex";
    const fs::path out = dir_ / "fw.npf";
    test::WriteText(out, "old contents");

    // Damaged input: the existing output is untouched.
    test::WriteText(in, ":03000000010203F7\r\n:03000000010203F8\r\n:00000001FF\r\n");
    ConversionResult r = ConvertProgramFile(in.string(), out.string(), kTransformScramble);
    EXPECT_EQ(r.status, ConversionStatus::Damaged);
    EXPECT_EQ(r.line, 2u);
    EXPECT_NE(r.message.find(in.string()), std::string::npos) << r.message;
    EXPECT_EQ(test::ReadText(out), "old contents");

    // Missing input.
    r = ConvertProgramFile((dir_ / "missing.hex").string(), out.string(), kTransformScramble);
    EXPECT_EQ(r.status, ConversionStatus::InputUnreadable);
    EXPECT_NE(r.message.find("missing.hex"), std::string::npos) << r.message;
    EXPECT_EQ(test::ReadText(out), "old contents");

    // Output that cannot be created.
    test::WriteText(in, ":03000000010203F7\r\n");
    r = ConvertProgramFile(in.string(), (dir_ / "no_dir" / "fw.npf").string(), kTransformScramble);
    EXPECT_EQ(r.status, ConversionStatus::OutputUnwritable);
    EXPECT_FALSE(r.message.empty());
    EXPECT_EQ(Names(), (std::vector<std::string>{"fw.hex", "fw.npf"}));

    // Success replaces the old file.
    r = ConvertProgramFile(in.string(), out.string(), kTransformScramble);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(test::ReadText(out), ":030000008B0E90D4\r\n");
    EXPECT_EQ(Names(), (std::vector<std::string>{"fw.hex", "fw.npf"}));
}

TEST(ProgramFileNamesTest, ExtensionTests) {
    struct Case {
        const char* path;
        bool hex;
        bool npf;
    };
    const Case cases[] = {
        {"x.hex", true, false},          {"x.HEX", true, false},
        {"/fw/x.HEXA", true, false},     {"x.npf", false, true},
        {"x.Npf", false, true},          {"x.he", false, false},
        {"xhex", false, false},          {"x.hex.bak", false, false},
        {"/fw/x.hex", true, false},      {"", false, false},
        {"x.", false, false},            {"x.npfx", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(HasHexExtension(c.path), c.hex);
        EXPECT_EQ(HasNpfExtension(c.path), c.npf);
        EXPECT_EQ(ProgramFileMode(c.path), c.npf ? kTransformUnscramble : kTransformCopy);
    }
}

TEST(ProgramFileNamesTest, NpfOutputPath) {
    EXPECT_EQ(NpfOutputPath("x.hex"), "x.npf");
    EXPECT_EQ(NpfOutputPath("/work/fw/SolBed_v3.HEXA"), "/work/fw/SolBed_v3.npf");
    EXPECT_EQ(NpfOutputPath("/work/v1.2/fw.hex"), "/work/v1.2/fw.npf");
}

TEST(ProgramFileNamesTest, FileNameMustBeginWithTheDeviceKey) {
    struct Case {
        const char* path;
        const char* key;
        bool fits;
    };
    const Case cases[] = {
        {"/home/tech/solbed_v3.npf", "SolBed", true},
        {"/home/tech/panel_solbed.npf", "SolBed", false},
        {"/home/tech/SOLBED.hex", "SolBed", true},
        {"solbedx", "SolBed", true},
        {"solbe", "SolBed", false},
        {"/solbed/panel.npf", "SolBed", false},
        {"C:\\fw\\5362_v2.npf", "5362", true},
        {"C:\\5362\\fw.npf", "5362", false},
        {"/fw/GlenValBed1.npf", "GlenValBed", true},
        {"/fw/GlenValReg1.npf", "GlenValBed", false},
    };
    for (const Case& c : cases) EXPECT_EQ(FileNameMatchesDeviceKey(c.path, c.key), c.fits) << c.path;
}

}  // namespace
}  // namespace nvx
