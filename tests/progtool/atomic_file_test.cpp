#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = test::FreshTestDir("progtool");
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::vector<std::string> Names() const { return test::FileNames(dir_); }
    fs::path dir_;
};

TEST_F(AtomicFileTest, WritesAndReplacesKeepingPermissions) {
    const fs::path target = dir_ / "out.txt";
    const std::string bytes("a\r\nb\0c\xFF", 7);
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(target.string(), bytes, &error)) << error;
    EXPECT_EQ(test::ReadText(target), bytes);

    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_TRUE(WriteFileAtomically(target.string(), "second", &error)) << error;
    EXPECT_EQ(test::ReadText(target), "second");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_TRUE(WriteFileAtomically(target.string(), "", &error)) << error;
    EXPECT_EQ(test::ReadText(target), "");
    EXPECT_EQ(Names(), std::vector<std::string>{"out.txt"});
}

TEST_F(AtomicFileTest, FailuresLeaveNothingBehind) {
    std::string error;
    EXPECT_FALSE(WriteFileAtomically((dir_ / "missing" / "out.txt").string(), "x", &error));
    EXPECT_NE(error.find("out.txt"), std::string::npos) << error;

    fs::create_directory(dir_ / "sub");
    error.clear();
    EXPECT_FALSE(WriteFileAtomically((dir_ / "sub").string(), "x", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
    EXPECT_FALSE(WriteFileAtomically("", "x", &error));
    EXPECT_EQ(Names(), std::vector<std::string>{"sub"});
}

TEST_F(AtomicFileTest, AWriteThatFailsHalfwayKeepsTheOldFile) {
    const fs::path target = dir_ / "image.hex";
    ASSERT_TRUE(WriteFileAtomically(target.string(), "old"));
    // A file size limit makes the write fail after the first bytes, as a full disk would.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 1000;
    void (*previous)(int) = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string error;
    const bool written = WriteFileAtomically(target.string(), std::string(5000, 'x'), &error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(test::ReadText(target), "old");
    EXPECT_EQ(Names(), std::vector<std::string>{"image.hex"});
}

TEST_F(AtomicFileTest, ReadsWholeFiles) {
    const std::string bytes = std::string(200000, 'a') + std::string("\0\xFF\r\n", 4);
    ASSERT_TRUE(WriteFileAtomically((dir_ / "big").string(), bytes));
    std::string read = "stale";
    std::string error;
    ASSERT_TRUE(ReadWholeFile((dir_ / "big").string(), read, &error)) << error;
    EXPECT_EQ(read, bytes);

    for (const fs::path& bad : {dir_ / "absent", dir_}) {
        read = "kept";
        error.clear();
        EXPECT_FALSE(ReadWholeFile(bad.string(), read, &error)) << bad;
        EXPECT_EQ(read, "kept");
        EXPECT_NE(error.find(bad.string()), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace nvx
