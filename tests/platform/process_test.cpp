#include "platform/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_files.h"

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

// Generous: what ends at once on an idle machine may take seconds on a loaded one.
constexpr int kEndsWithinMs = 30000;

ProcessSpec Shell(const std::string& script) {
    return {"/bin/sh", {"sh", "-c", script}, ""};
}

TEST(SpawnProcessRunner, StandardErrorComesApartFromTheOutput) {
    SpawnProcessRunner runner;
    std::string error;
    auto child = runner.Start(Shell("echo PROGRESS 5; echo why >&2; exit 3"), error);
    ASSERT_NE(child, nullptr) << error;
    ASSERT_TRUE(child->WaitForExit(kEndsWithinMs));
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
    ASSERT_TRUE(child->WaitForExit(kEndsWithinMs));
    EXPECT_EQ(child->ExitCode(), 0);
    EXPECT_EQ(child->TakeOutput().size(), count * (line.size() + 1));
    EXPECT_EQ(child->TakeErrors().size(), count * (line.size() + 1));
}

double CpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool ProcessExists(pid_t pid) { return ::kill(pid, 0) == 0; }

// The test's standard error goes into a file while it lives (what a child passes on lands there).
class StandardErrorInto {
public:
    explicit StandardErrorInto(const std::string& path) : saved_(::dup(STDERR_FILENO)) {
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~StandardErrorInto() {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

// A programmer that floods its standard error and then hangs, deaf to SIGTERM, with a child of
// its own (as the adapter has avrdude): the pid of that child is its first output line.
constexpr const char* kFloodThenHang =
    "trap '' TERM; sleep 600 & echo $!; "
    "head -c 10000000 /dev/zero | tr '\\0' x >&2; echo; echo 'last words' >&2; wait";

TEST(SpawnProcessRunner, AFloodOfErrorsIsReadAsItComesAndOnlyItsStartPassedOn) {
    test::ScratchDir dir("process");
    auto passedOnTo = std::make_unique<StandardErrorInto>(dir.file("stderr"));
    SpawnProcessRunner runner;
    std::string error;
    auto child = runner.Start(Shell(kFloodThenHang), error);
    ASSERT_NE(child, nullptr) << error;
    std::size_t received = 0;
    std::string tail;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndsWithinMs);
    while (tail.find("last words") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        ASSERT_FALSE(child->Finished()) << "it was to wait after its flood";
        const std::string errors = child->TakeErrors();
        received += errors.size();
        tail += errors;
        if (tail.size() > 64) tail.erase(0, tail.size() - 64);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    child.reset();
    passedOnTo.reset();
    // Its last words came after the whole flood: the pipe was read while it ran. What nobody took
    // in time is kept only as its newest megabyte, so a slow reader gets less than all of it.
    EXPECT_NE(tail.find("last words"), std::string::npos) << "the flood was not drained";
    EXPECT_GE(received, std::size_t{1} << 20);
    const std::string passedOn = test::ReadText(dir.file("stderr"));
    EXPECT_LT(passedOn.size(), 70u * 1024) << "passed on without limit";
    EXPECT_NE(passedOn.find("[further output of the program not shown]"), std::string::npos);
}

TEST(SpawnProcessRunner, AChildDeafToSigtermIsKilledWithItsGroupWithinSeconds) {
    test::ScratchDir dir("process");
    const StandardErrorInto passedOnTo(dir.file("stderr"));
    SpawnProcessRunner runner;
    std::string error;
    auto child = runner.Start(Shell(kFloodThenHang), error);
    ASSERT_NE(child, nullptr) << error;
    // Its own child started; the flood fills the pipe, nobody reads it while the test waits.
    std::string firstLine;
    const auto started = std::chrono::steady_clock::now();
    while (firstLine.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() - started < std::chrono::milliseconds(kEndsWithinMs)) {
        firstLine += child->TakeOutput();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const pid_t grandchild = static_cast<pid_t>(std::stol(firstLine));
    ASSERT_TRUE(ProcessExists(grandchild));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    const auto ending = std::chrono::steady_clock::now();
    child.reset();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - ending).count();
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;
    // The grace before SIGKILL is under two seconds; the rest is room for a loaded machine.
    EXPECT_LT(seconds, 10.0);
    // Waiting is not spinning (the rest of the flood read and dropped included).
    EXPECT_LT(cpu, 0.5 * seconds) << cpu << " s CPU in " << seconds << " s";
    // SIGKILL went to the group: the grandchild is gone too (reaped by init, or a zombie).
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        const std::string state = test::ReadText("/proc/" + std::to_string(grandchild) + "/stat");
        gone = state.empty() || state.find(") Z") != std::string::npos;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "the programmer's own child outlived it";
}

}  // namespace
}  // namespace nvx
