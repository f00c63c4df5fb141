#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    std::vector<std::string> Names() const { return test::FileNames(dir_); }
    // Under the system's temporary directory, not the build tree: one test writes as nobody,
    // who must be able to reach it wherever the tree was checked out.
    test::ScratchDir scratch_{"atomic-file"};
    fs::path dir_{scratch_.path()};
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


TEST_F(AtomicFileTest, ALinkIsFollowedAndStays) {
    fs::create_directory(dir_ / "real");
    test::WriteText(dir_ / "real" / "monitor.ini", "old");
    // A relative link, and a link to that link.
    fs::create_symlink("real/monitor.ini", dir_ / "link.ini");
    fs::create_symlink(dir_ / "link.ini", dir_ / "chain.ini");
    // A link whose file does not exist yet: the file is made where it points.
    fs::create_symlink("real/new.ini", dir_ / "dangling.ini");
    struct Case {
        const char* link;
        const char* file;
    };
    for (const Case& c : {Case{"link.ini", "real/monitor.ini"}, Case{"chain.ini", "real/monitor.ini"},
                          Case{"dangling.ini", "real/new.ini"}}) {
        SCOPED_TRACE(c.link);
        std::string error;
        ASSERT_TRUE(WriteFileAtomically((dir_ / c.link).string(), c.link, &error)) << error;
        EXPECT_TRUE(fs::is_symlink(dir_ / c.link));
        EXPECT_EQ(test::ReadText(dir_ / c.file), c.link);
    }
    EXPECT_EQ(test::FileNames(dir_ / "real"), (std::vector<std::string>{"monitor.ini", "new.ini"}));

    fs::create_symlink("loop.ini", dir_ / "loop.ini");
    std::string error;
    EXPECT_FALSE(WriteFileAtomically((dir_ / "loop.ini").string(), "x", &error));
    EXPECT_TRUE(fs::is_symlink(dir_ / "loop.ini")) << error;
}

TEST_F(AtomicFileTest, WhatIsNoRegularFileIsWrittenInPlace) {
    // A device behind a link (the way /dev/stdout is one): written to, never replaced.
    fs::create_symlink("/dev/null", dir_ / "null");
    std::string error;
    ASSERT_TRUE(WriteFileAtomically((dir_ / "null").string(), "discarded", &error)) << error;
    EXPECT_TRUE(fs::is_symlink(dir_ / "null"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    // A FIFO with a reader gets the bytes; without one the write fails at once.
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(WriteFileAtomically(fifo.string(), "nobody reads", &error));
    EXPECT_NE(error.find("fifo"), std::string::npos) << error;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(WriteFileAtomically(fifo.string(), "through", &error)) << error;
    char got[16] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 7);
    EXPECT_EQ(std::string(got), "through");
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(Names(), (std::vector<std::string>{"fifo", "null"}));
}

TEST_F(AtomicFileTest, AWritableFileInADirectoryThatTakesNoNewFileIsWrittenInPlace) {
    test::WriteText(dir_ / "monitor.ini", "old settings");
    test::WriteText(dir_ / "locked.ini", "locked");
    ASSERT_EQ(::chmod((dir_ / "monitor.ini").c_str(), 0666), 0);
    ASSERT_EQ(::chmod((dir_ / "locked.ini").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
    // The directory's protection binds only someone other than root: the writes run as nobody.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
        std::string error;
        if (!WriteFileAtomically((dir_ / "monitor.ini").string(), "new", &error)) ::_exit(11);
        if (WriteFileAtomically((dir_ / "locked.ini").string(), "new", &error)) ::_exit(12);
        if (WriteFileAtomically((dir_ / "absent.ini").string(), "new", &error)) ::_exit(13);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(dir_.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::ReadText(dir_ / "monitor.ini"), "new");
    EXPECT_EQ(test::ReadText(dir_ / "locked.ini"), "locked");
    EXPECT_EQ(Names(), (std::vector<std::string>{"locked.ini", "monitor.ini"}));
}

TEST_F(AtomicFileTest, AReadStopsAtItsLimit) {
    std::string read = "kept";
    std::string error;
    EXPECT_FALSE(ReadWholeFile("/dev/zero", read, &error, 100000));
    EXPECT_EQ(read, "kept");
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    test::WriteText(dir_ / "exact", std::string(100, 'x'));
    EXPECT_TRUE(ReadWholeFile((dir_ / "exact").string(), read, &error, 100)) << error;
    EXPECT_FALSE(ReadWholeFile((dir_ / "exact").string(), read, &error, 99));
}

}  // namespace
}  // namespace nvx
