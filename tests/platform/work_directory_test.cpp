// Work directories: the lock that keeps two procedures apart, the private directory and the test
// whether two paths name one file.

#include "platform/work_directory.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/scratch_files.h"

namespace nvx::test {
namespace {

namespace fs = std::filesystem;

TEST(DirectoryLock, OneHolderAtATimeAndTheFileGoesWithItsHolder) {
    ScratchDir dir("lock");
    const std::string path = dir.file("update.lock");
    DirectoryLock first(path), second(path);
    std::string error;
    ASSERT_TRUE(first.TryAcquire(error)) << error;
    EXPECT_TRUE(first.TryAcquire(error));  // held already
    EXPECT_FALSE(second.TryAcquire(error));
    EXPECT_NE(error.find("locked"), std::string::npos) << error;
    EXPECT_FALSE(second.held());

    EXPECT_TRUE(second.busy());

    first.Release();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(second.TryAcquire(error)) << error;
    EXPECT_TRUE(fs::exists(path));
    {
        DirectoryLock scoped(dir.file("other.lock"));
        ASSERT_TRUE(scoped.TryAcquire(error));
    }
    DirectoryLock afterScope(dir.file("other.lock"));
    EXPECT_TRUE(afterScope.TryAcquire(error)) << "the destructor gives the lock back";
}

TEST(DirectoryLock, ADirectoryThatCannotHoldTheFileSaysWhyAndIsNotBusy) {
    DirectoryLock lock("/nonexistent-dir/update.lock");
    std::string error;
    EXPECT_FALSE(lock.TryAcquire(error));
    EXPECT_FALSE(lock.busy());
    EXPECT_NE(error.find("/nonexistent-dir/update.lock"), std::string::npos) << error;
}

TEST(DirectoryLock, AHolderRemovesOnlyItsOwnFile) {
    ScratchDir dir("lock");
    const std::string path = dir.file("update.lock");
    DirectoryLock holder(path);
    std::string error;
    ASSERT_TRUE(holder.TryAcquire(error)) << error;
    // Somebody put another file under the name meanwhile: it is not the holder's to remove.
    fs::remove(path);
    WriteText(path, "");
    holder.Release();
    EXPECT_TRUE(fs::exists(path));
    DirectoryLock next(path);
    EXPECT_TRUE(next.TryAcquire(error)) << error;
}

TEST(PrivateWorkDirectory, FreshForEachAndRemovedWithItsLinksButNotTheirTargets) {
    ScratchDir dir("work");
    const std::string target = dir.file("atmega64.xml");
    WriteText(target, "<part/>");
    PrivateWorkDirectory a, b;
    std::string error;
    ASSERT_TRUE(a.Create(error)) << error;
    ASSERT_TRUE(b.Create(error)) << error;
    EXPECT_NE(a.path(), b.path());
    EXPECT_EQ(a.path().back(), '/');
    EXPECT_TRUE(fs::is_empty(a.path()));

    ASSERT_TRUE(a.Link("atmega64.xml", target, error)) << error;
    EXPECT_EQ(ReadText(a.path() + "atmega64.xml"), "<part/>");
    EXPECT_FALSE(a.Link("atmega64.xml", target, error));
    EXPECT_FALSE(error.empty());
    WriteText(a.path() + "temp.ntf", "image");

    const std::string gone = a.path();
    a.Remove();
    EXPECT_FALSE(fs::exists(gone));
    EXPECT_TRUE(a.path().empty());
    EXPECT_EQ(ReadText(target), "<part/>");
}

// A process killed mid-update leaves its directory (with the whole flash image) behind; the next
// one removes it, and only it: a living owner's directory and one whose owner cannot be told stay.
TEST(PrivateWorkDirectory, TheNextOneRemovesTheDirectoriesOfOwnersThatAreGone) {
    ScratchDir dir("sweep");
    const char* saved = std::getenv("TMPDIR");
    const std::string keep = saved ? saved : "";
    ::setenv("TMPDIR", dir.path().c_str(), 1);

    // Left by a killed program: its lock file is there, nobody holds it.
    fs::create_directory(dir.file("nvx-work-dead01"));
    WriteText(dir.file("nvx-work-dead01/temp.ntf"), "image");
    WriteText(dir.file("nvx-work-dead01.lock"), "");
    // Without a lock file: an owner may be making it.
    fs::create_directory(dir.file("nvx-work-young1"));
    // Not a work directory.
    fs::create_directory(dir.file("other-dead01"));
    WriteText(dir.file("other-dead01.lock"), "");

    PrivateWorkDirectory living;
    std::string error;
    ASSERT_TRUE(living.Create(error)) << error;
    WriteText(living.path() + "temp.ntf", "image");
    EXPECT_FALSE(fs::exists(dir.file("nvx-work-dead01")));
    EXPECT_FALSE(fs::exists(dir.file("nvx-work-dead01.lock")));

    // Another process beside it leaves it alone, and dies without removing its own.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PrivateWorkDirectory third;
        std::string ignored;
        if (!third.Create(ignored) || !fs::exists(living.path() + "temp.ntf")) ::_exit(1);
        ::_exit(fs::exists(third.path()) ? 0 : 2);  // no destructor runs: as if killed
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(FileNames(dir.path()).size(), 7u);
    // The next one removes what the dead process left, and not the living one's.
    PrivateWorkDirectory second;
    ASSERT_TRUE(second.Create(error)) << error;
    EXPECT_EQ(ReadText(living.path() + "temp.ntf"), "image");
    EXPECT_TRUE(fs::is_directory(second.path()));
    EXPECT_TRUE(fs::is_directory(dir.file("nvx-work-young1")));
    EXPECT_TRUE(fs::is_directory(dir.file("other-dead01")));

    // Removed with its lock file.
    const std::string path = living.path();
    living.Remove();
    second.Remove();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(path.substr(0, path.size() - 1) + ".lock"));
    std::vector<std::string> left = FileNames(dir.path());
    EXPECT_EQ(left, (std::vector<std::string>{"nvx-work-young1", "other-dead01", "other-dead01.lock"}));

    if (saved)
        ::setenv("TMPDIR", keep.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

TEST(SameFilePath, LinksAndDotsAreResolvedAndMissingFilesComparedByPlace) {
    ScratchDir dir("same");
    WriteText(dir.file("temp.hex"), "x");
    fs::create_directory(dir.file("sub"));
    fs::create_symlink(dir.file("temp.hex"), dir.file("link.hex"));
    fs::create_directory_symlink(dir.path(), dir.file("again"));
    struct Case {
        std::string a, b;
        bool same;
    };
    const Case cases[] = {
        {dir.file("temp.hex"), dir.file("temp.hex"), true},
        {dir.file("sub/../temp.hex"), dir.file("temp.hex"), true},
        {dir.file("link.hex"), dir.file("temp.hex"), true},
        {dir.file("again/temp.hex"), dir.file("temp.hex"), true},
        {dir.file("again/new.hex"), dir.file("new.hex"), true},
        {dir.file("sub/temp.hex"), dir.file("temp.hex"), false},
        {dir.file("new.hex"), dir.file("temp.hex"), false},
    };
    for (const Case& c : cases) EXPECT_EQ(SameFilePath(c.a, c.b), c.same) << c.a << " / " << c.b;
}

}  // namespace
}  // namespace nvx::test
