// norvix-monitor-start in a scratch installed tree (bin/, lib/norvix-monitor, share/norvix-monitor)
// whose norvix-monitor is a stand-in that reports where it was started and with what.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/scratch_files.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;
using test::ReadText;
using test::WriteText;

const char kStandInMonitor[] = "#!/bin/sh\npwd\nfor a in \"$@\"; do printf '<%s>\\n' \"$a\"; done\n";

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        fs::create_directories(bin_);
        fs::create_directories(lib_);
        fs::create_directories(share_ / "devices");
        fs::copy_file(fs::path(NVX_SOURCE_DIR) / "packaging/norvix-monitor-start", launcher_);
        Executable(bin_ / "norvix-monitor", kStandInMonitor);
        Executable(lib_ / "norvixosp.exe", "#!/bin/sh\necho adapter 1\n");
        WriteText(share_ / "ReadMe.txt", "read me 1\r\n");
        WriteText(share_ / "devices/atmega32.xml", "<part>32</part>\n");
        WriteText(share_ / "devices/atmega644p.xml", "<part>644p</part>\n");
    }

    static void Executable(const fs::path& path, const std::string& text) {
        WriteText(path, text);
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }

    // The launcher with these switches; the work directory is the one given, or where the
    // variables lead when it is empty.
    test::ProgramRun Launch(const std::vector<std::string>& switches, const std::string& workDir,
                            const std::string& program = {}) const {
        const std::string path = program.empty() ? launcher_.string() : program;
        std::vector<std::string> argv = {path};
        argv.insert(argv.end(), switches.begin(), switches.end());
        return test::RunProgram(path, argv, scratch_.path(),
                                {"NORVIX_WORK_DIR=" + workDir, "HOME=" + home_.string(),
                                 "XDG_DATA_HOME=" + xdg_});
    }

    // What the stand-in printed: its directory, then each switch in <>.
    static std::string Started(const fs::path& dir, const std::vector<std::string>& switches) {
        std::string out = dir.string() + "\n";
        for (const std::string& s : switches) out += "<" + s + ">\n";
        return out;
    }

    static std::vector<std::string> Shipped() {
        return {"ReadMe.txt", "atmega32.xml", "atmega644p.xml", "norvixosp.exe"};
    }

    void ExpectShippedCopies(const fs::path& work) const {
        EXPECT_EQ(ReadText(work / "ReadMe.txt"), ReadText(share_ / "ReadMe.txt"));
        EXPECT_EQ(ReadText(work / "atmega32.xml"), ReadText(share_ / "devices/atmega32.xml"));
        EXPECT_EQ(ReadText(work / "atmega644p.xml"), ReadText(share_ / "devices/atmega644p.xml"));
        EXPECT_EQ(ReadText(work / "norvixosp.exe"), ReadText(lib_ / "norvixosp.exe"));
        EXPECT_EQ(::access((work / "norvixosp.exe").c_str(), X_OK), 0);
    }

    test::ScratchDir scratch_{"launcher"};
    const fs::path root_ = fs::path(scratch_.path()) / "usr";
    const fs::path bin_ = root_ / "bin";
    const fs::path lib_ = root_ / "lib/norvix-monitor";
    const fs::path share_ = root_ / "share/norvix-monitor";
    const fs::path launcher_ = bin_ / "norvix-monitor-start";
    const fs::path home_ = fs::path(scratch_.path()) / "home";
    std::string xdg_;
};

TEST_F(LauncherTest, FirstStartMakesTheWorkDirectoryAndStartsTheMonitorThere) {
    const fs::path work = fs::path(scratch_.path()) / "a/b/work";
    const test::ProgramRun run = Launch({"/C", "1", "/P", "/home/me/SolReg fw.hex"}, work.string());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Started(work, {"/C", "1", "/P", "/home/me/SolReg fw.hex"}));
    EXPECT_EQ(test::FileNames(work), Shipped());
    ExpectShippedCopies(work);
}

TEST_F(LauncherTest, TheWorkDirectoryFollowsTheVariables) {
    const struct {
        const char* name;
        std::string workVariable;
        std::string xdg;
        fs::path expected;
    } cases[] = {
        {"explicit", (fs::path(scratch_.path()) / "w").string(), "/nowhere", fs::path(scratch_.path()) / "w"},
        {"data home", "", (fs::path(scratch_.path()) / "data").string(),
         fs::path(scratch_.path()) / "data/norvix-monitor/work"},
        {"home", "", "", home_ / ".local/share/norvix-monitor/work"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        xdg_ = c.xdg;
        const test::ProgramRun run = Launch({}, c.workVariable);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, Started(c.expected, {}));
        EXPECT_EQ(test::FileNames(c.expected), Shipped());
    }
}

TEST_F(LauncherTest, StartedThroughALinkItFindsItsOwnTree) {
    const fs::path elsewhere = fs::path(scratch_.path()) / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_symlink(launcher_, elsewhere / "norvix-monitor-start");
    const fs::path work = fs::path(scratch_.path()) / "work";
    const test::ProgramRun run = Launch({"/T"}, work.string(), (elsewhere / "norvix-monitor-start").string());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Started(work, {"/T"}));
    ExpectShippedCopies(work);
}

TEST_F(LauncherTest, ShippedFilesAreRefreshedAndTheUsersFilesStay) {
    const fs::path work = fs::path(scratch_.path()) / "work";
    ASSERT_EQ(Launch({}, work.string()).status, 0);
    WriteText(work / "monitor.ini", "[Settings]\r\nCOM_PORT=3\r\n");
    WriteText(work / "SolReg_fw.hex", ":00000001FF\n");
    fs::create_symlink("/dev/null", work / "com1");
    // A newer package, and a part description the user edited.
    Executable(lib_ / "norvixosp.exe", "#!/bin/sh\necho adapter 2\n");
    WriteText(share_ / "ReadMe.txt", "read me 2\r\n");
    WriteText(work / "atmega32.xml", "<part>edited</part>\n");

    const test::ProgramRun run = Launch({}, work.string());
    ASSERT_EQ(run.status, 0) << run.err;
    ExpectShippedCopies(work);
    EXPECT_EQ(ReadText(work / "monitor.ini"), "[Settings]\r\nCOM_PORT=3\r\n");
    EXPECT_EQ(ReadText(work / "SolReg_fw.hex"), ":00000001FF\n");
    EXPECT_EQ(fs::read_symlink(work / "com1"), "/dev/null");
    EXPECT_EQ(test::FileNames(work).size(), Shipped().size() + 3);  // nothing left behind
}

// Another monitor may be reading a shipped file in the work directory (its adapter reading a
// part description, or running from there) while a second launcher starts: it must keep the
// whole file it opened, and a file that did not change is not written at all.
TEST_F(LauncherTest, AFileOpenInTheWorkDirectoryIsReplacedNotRewritten) {
    const fs::path work = fs::path(scratch_.path()) / "work";
    ASSERT_EQ(Launch({}, work.string()).status, 0);
    struct stat before {};
    ASSERT_EQ(::stat((work / "atmega32.xml").c_str(), &before), 0);
    std::ifstream reading(work / "atmega644p.xml", std::ios::binary);
    ASSERT_TRUE(reading.is_open());
    WriteText(share_ / "devices/atmega644p.xml", "<part>644p, second edition</part>\n");

    ASSERT_EQ(Launch({}, work.string()).status, 0);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reading), std::istreambuf_iterator<char>()),
              "<part>644p</part>\n");
    EXPECT_EQ(ReadText(work / "atmega644p.xml"), "<part>644p, second edition</part>\n");
    struct stat after {};
    ASSERT_EQ(::stat((work / "atmega32.xml").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
}

TEST_F(LauncherTest, TwoLaunchersAtOnceBothStartWithWholeFiles) {
    const fs::path work = fs::path(scratch_.path()) / "work";
    // Big enough that copying takes a while, so the two overlap.
    WriteText(share_ / "devices/atmega32.xml", std::string(4 << 20, 'x'));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Executable(lib_ / "norvixosp.exe", "#!/bin/sh\necho adapter " + std::to_string(round) + "\n");
        const std::vector<std::string> env = {"NORVIX_WORK_DIR=" + work.string()};
        test::Child first(launcher_.string(), {launcher_.string(), "/C", "1"}, scratch_.path(), env);
        test::Child second(launcher_.string(), {launcher_.string(), "/C", "2"}, scratch_.path(), env);
        const test::ProgramRun a = first.Finish(), b = second.Finish();
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(a.out, Started(work, {"/C", "1"}));
        EXPECT_EQ(b.out, Started(work, {"/C", "2"}));
        EXPECT_EQ(test::FileNames(work), Shipped());
        ExpectShippedCopies(work);
    }
}

}  // namespace
}  // namespace nvx
