// `nvx decode` as a user runs it: a table or CSV on standard output, and what it does with files
// that are empty, missing, random or cut off.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx::test {
namespace {

class DecodeCliTest : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = dir.file(name);
        WriteText(path, bytes);
        return path;
    }
    ScratchDir dir{"decode"};
};

TEST_F(DecodeCliTest, PrintsATableOrCsv) {
    // A good T frame, a noise byte, a U frame with a wrong check byte, a V frame cut off.
    const std::string capture = write(
        "capture.bin", std::string("\x54\x04\x8C\x1B\x41\x55\x04\x8C\x01\x02\x18\x56\x0C", 13));
    const ProgramRun table = RunNvx({"decode", capture});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out,
              "      ms     offset dir kind  word id   parity check     data\n"
              "                  0 Tx  T     048C 0123 OK     OK\n"
              "                  4 Tx  noise                            41\n"
              "                  5 Tx  U     048C 0123 OK     wrong     01 02\n"
              "                 11 Tx  V                      truncated\n");
    const ProgramRun csv = RunNvx({"decode", "--csv", "--rx", capture});
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out,
              "ms,offset,dir,kind,word,id,parity,check,data\r\n"
              ",0,Rx,T,048C,0123,OK,OK,\r\n"
              ",4,Rx,noise,,,,,41\r\n"
              ",5,Rx,U,048C,0123,OK,wrong,01 02\r\n"
              ",11,Rx,V,,,,truncated,\r\n");
}

TEST_F(DecodeCliTest, BadFilesAndUsage) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string errPart;
    } cases[] = {
        {{"decode", write("empty.bin", ""), "--csv"},
         0,
         "ms,offset,dir,kind,word,id,parity,check,data\r\n",
         ""},
        {{"decode", dir.file("missing.bin")}, 1, "", "missing.bin: No such file or directory"},
        {{"decode", dir.path()}, 1, "", "Is a directory"},
        {{"decode"}, 2, "", "no capture file given"},
        {{"decode", "a.bin", "b.bin"}, 2, "", "more than one capture file"},
        {{"decode", "--hex", "a.bin"}, 2, "", "unknown option '--hex'"},
    };
    for (const auto& c : cases) {
        const ProgramRun run = RunNvx(c.args);
        EXPECT_EQ(run.status, c.status) << c.args.back();
        EXPECT_EQ(run.out, c.out) << c.args.back();
        EXPECT_NE(run.err.find(c.errPart), std::string::npos) << run.err;
    }
}

TEST_F(DecodeCliTest, RandomBytesEveryOneInARow) {
    std::mt19937 random(3);
    std::string bytes(3 << 20, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    const ProgramRun run = RunNvx({"decode", "--csv", write("random.bin", bytes)});
    ASSERT_EQ(run.status, 0) << run.err;
    // The last row starts where the bytes before it end, and reaches the end of the file.
    const std::size_t lastLine = run.out.rfind("\r\n", run.out.size() - 3) + 2;
    const std::string last = run.out.substr(lastLine);
    const std::size_t offsetStart = last.find(',') + 1;
    const uint64_t offset =
        std::stoull(last.substr(offsetStart, last.find(',', offsetStart) - offsetStart));
    EXPECT_GT(offset, bytes.size() - 17);
    EXPECT_LT(offset, bytes.size());
    EXPECT_GT(std::count(run.out.begin(), run.out.end(), '\n'), 100000);
}

}  // namespace
}  // namespace nvx::test
