#include "platform/process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nvx {
namespace {

TEST(LastLineKeeper, KeepsTheLastLineThatSaysSomething) {
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        const char* last;
    } cases[] = {
        {"nothing", {}, ""},
        {"two lines", {"first\nsecond\n"}, "second"},
        {"blank lines after it", {"reason\n  \n\t\n"}, "reason"},
        {"CR LF", {"one\r\ntwo\r\n"}, "two"},
        {"split across reads", {"par", "tial line", "\n"}, "partial line"},
        {"unfinished at the end", {"done\nstill writing"}, "still writing"},
        {"only blanks unfinished", {"done\n   "}, "done"},
    };
    for (const auto& c : cases) {
        LastLineKeeper keeper;
        for (const std::string& piece : c.pieces) keeper.Feed(piece);
        EXPECT_EQ(keeper.Last(), c.last) << c.name;
    }
}

ProcessSpec Shell(const std::string& script) {
    return {"/bin/sh", {"sh", "-c", script}, ""};
}

TEST(SpawnProcessRunner, StandardErrorComesApartFromTheOutput) {
    SpawnProcessRunner runner;
    std::string error;
    auto child = runner.Start(Shell("echo PROGRESS 5; echo why >&2; exit 3"), error);
    ASSERT_NE(child, nullptr) << error;
    child->WaitForExit();
    EXPECT_EQ(child->ExitCode(), 3);
    EXPECT_EQ(child->TakeOutput(), "PROGRESS 5\n");
    EXPECT_EQ(child->TakeErrors(), "why\n");
    EXPECT_EQ(child->TakeErrors(), "");
}

TEST(SpawnProcessRunner, WaitingEmptiesThePipesSoATalkativeChildCanEnd) {
    // Far more than a pipe holds on either stream: without draining, the child would never end.
    const std::string line = "a line that is written many times";
    const std::size_t count = 4000;
    SpawnProcessRunner runner;
    std::string error;
    auto child = runner.Start(Shell("i=0; while [ $i -lt " + std::to_string(count) +
                                    " ]; do echo '" + line + "'; echo '" + line +
                                    "' >&2; i=$((i+1)); done"),
                              error);
    ASSERT_NE(child, nullptr) << error;
    child->WaitForExit();
    EXPECT_EQ(child->ExitCode(), 0);
    EXPECT_EQ(child->TakeOutput().size(), count * (line.size() + 1));
    EXPECT_EQ(child->TakeErrors().size(), count * (line.size() + 1));
}

}  // namespace
}  // namespace nvx
