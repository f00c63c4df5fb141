// Work directories: the lock that keeps two procedures apart, the private directory and the test
// whether two paths name one file.

#include "platform/work_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
