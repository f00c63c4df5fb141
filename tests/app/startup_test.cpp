#include "app/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/serial_port.h"
#include "platform/timer_service.h"
#include "shell/shell.h"

namespace nvx {
namespace {

// What the process looks like at the moment a window step runs.
struct Snapshot {
    std::string step;
    int32_t stepWait;
    int32_t switchComPort;
    std::string startDirectory;
    uint32_t tickPeriodMs;
    uint32_t startTickPeriodMs;
    uint8_t linkState;
    uint8_t enabledChannels;
    uint8_t txErrorCount;
    std::size_t timers;
    int32_t tickCount;
    std::time_t measureStart;
};

class RecordingSteps : public StartupSteps {
public:
    explicit RecordingSteps(VirtualClock& clock) : clock_(clock) {}
    void EnableControls() override { Record("controls"); }
    void CreateTuvCommWindow() override { Record("tuv"); }
    void RunMainWindow() override {
        Record("main");
        // The main window's message loop serves the tick timer.
        clock_.advance(100);
        ticksWhileMainRan = g_tickCount;
        if (autoStartWhenMainEnds) AutoStartState = *autoStartWhenMainEnds;
    }

    // Where an automatic update stands when the main window ends; unset: as the start left it.
    std::optional<int32_t> autoStartWhenMainEnds;

    std::vector<Snapshot> seen;
    int32_t ticksWhileMainRan = -1;

private:
    void Record(const char* step) {
        seen.push_back({step, StepWait, SwitchComPort, StartDirectory, g_tickPeriodMs,
                        g_startTickPeriodMs, g_linkChannels[0].state, g_enabledChannels,
                        g_converterChannels[0].txErrorCount, clock_.timerCount(), g_tickCount,
                        g_measureStart});
    }
    VirtualClock& clock_;
};

std::vector<const char*> Argv(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"norvix-monitor"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return argv;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetShellSettings();
        SetComStartDirectory("");
        // Marks that only the start-up's own steps can clear.
        g_tickPeriodMs = 0;
        g_startTickPeriodMs = 0;
        g_tickCount = 99;
        g_measureStart = 0;
        g_linkChannels[0].state = kLinkTransmitting;
        g_enabledChannels = 0;
        g_converterChannels[0].txErrorCount = 7;
        clock.advance(1500);  // the calendar reads 5000001 when the start-up begins
        SetCalendar(&calendar);
    }
    void TearDown() override {
        SetCalendar(nullptr);
        SetOsPlatformId(kOsFamilyNt);
        SetComStartDirectory("");
        ResetShellSettings();
    }
    bool Run(const std::vector<std::string>& args) {
        const auto argv = Argv(args);
        return app.InitInstance(static_cast<int>(argv.size() - 1), argv.data());
    }

    VirtualClock clock;
    TimerCalendarClock calendar{clock, 5000000};
    RecordingSteps steps{clock};
    CMonitorApp app{steps, clock};
};

TEST_F(StartupTest, AnAutomaticUpdateThatDidNotFinishEndsWithStatusOne) {
    const struct {
        std::vector<std::string> args;
        std::optional<int32_t> whenMainEnds;
        int exitCode;
    } cases[] = {
        {{"/A", "/D", "solreg", "/P", "a.hex"}, kAutoStartFinished, 0},
        {{"/A", "/D", "solreg", "/P", "a.hex"}, kAutoStartRunning, 1},  // aborted, window closed
        {{"/A", "/D", "solreg", "/P", "a.hex"}, kAutoStartShown, 1},    // closed before it began
        {{"/C", "2"}, std::nullopt, 0},                                 // no automatic update
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ResetShellSettings();
        steps.autoStartWhenMainEnds = c.whenMainEnds;
        EXPECT_FALSE(Run(c.args));
        EXPECT_EQ(app.ExitCode(), c.exitCode);
    }
}

TEST_F(StartupTest, StepsRunInOrderAndTheMainWindowRunsLast) {
    SetOsPlatformId(kOsFamilyNt);
    EXPECT_FALSE(Run({"/W", "5", "/C", "3"}));
    EXPECT_EQ(app.ExitCode(), 0);
    const std::string cwd = std::filesystem::current_path().string() + "/";

    ASSERT_EQ(steps.seen.size(), 3u);
    const Snapshot& controls = steps.seen[0];
    EXPECT_EQ(controls.step, "controls");
    EXPECT_EQ(controls.stepWait, kDefaultStepWait);  // switches not yet read
    EXPECT_EQ(controls.startDirectory, "");

    const Snapshot& tuv = steps.seen[1];
    EXPECT_EQ(tuv.step, "tuv");
    EXPECT_EQ(tuv.stepWait, 500);
    EXPECT_EQ(tuv.switchComPort, 3);
    EXPECT_EQ(tuv.startDirectory, cwd);
    EXPECT_EQ(tuv.tickPeriodMs, 10u);
    EXPECT_EQ(tuv.startTickPeriodMs, 10u);
    EXPECT_EQ(tuv.linkState, kLinkTransmitting);  // stack not yet initialised
    EXPECT_EQ(tuv.enabledChannels, 0);
    EXPECT_EQ(tuv.txErrorCount, 7);
    EXPECT_EQ(tuv.timers, 0u);
    EXPECT_EQ(tuv.tickCount, 99);

    const Snapshot& main = steps.seen[2];
    EXPECT_EQ(main.step, "main");
    EXPECT_EQ(main.linkState, kLinkIdle);  // link channel 0 opened by the converter
    EXPECT_EQ(main.enabledChannels, 1);
    EXPECT_EQ(main.txErrorCount, 0);
    EXPECT_EQ(main.timers, 1u);
    EXPECT_EQ(main.tickCount, 0);
    EXPECT_EQ(main.measureStart, 5000001);
    EXPECT_EQ(steps.ticksWhileMainRan, 10);  // TickProc every 10 ms

    EXPECT_EQ(StartDirectory, cwd);
    // COM links are looked for where the program started, wherever it goes later.
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_EQ(ComStartDirectory(), cwd);
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

struct FamilyCase {
    const char* name;
    int platformId;
    uint32_t tickPeriodMs;
    int32_t ticksIn100Ms;
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class StartupFamilyTest : public StartupTest, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(StartupFamilyTest, TheFirstTickPeriodComesFromTheSystemFamily) {
    const FamilyCase& c = GetParam();
    SetOsPlatformId(c.platformId);
    EXPECT_FALSE(Run({}));
    EXPECT_EQ(g_tickPeriodMs, c.tickPeriodMs);
    EXPECT_EQ(g_startTickPeriodMs, c.tickPeriodMs);
    // A period of 0 runs at the shortest timer period, 10 ms.
    EXPECT_EQ(steps.ticksWhileMainRan, c.ticksIn100Ms);
    EXPECT_EQ(SwitchComPort, 0);  // without /C the settings-file port stands
}

INSTANTIATE_TEST_SUITE_P(Families, StartupFamilyTest,
                         ::testing::Values(FamilyCase{"Nt", 2, 10, 10}, FamilyCase{"Win95", 1, 50, 2},
                                           FamilyCase{"Unknown", 0, 0, 10},
                                           FamilyCase{"Other", 3, 0, 10}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartupTest, TheTickTimerOutlivesTheStartUp) {
    SetOsPlatformId(kOsFamily95);
    Run({});
    const int32_t before = g_tickCount;
    clock.advance(500);
    EXPECT_EQ(g_tickCount, before + 10);
    EXPECT_EQ(clock.timerCount(), 1u);
}

TEST_F(StartupTest, StartDirectoryIsTheCurrentDirectoryWithASlash) {
    const std::filesystem::path home = std::filesystem::current_path();
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_EQ(CurrentStartDirectory(), "/");

    char tmpl[] = "/tmp/nvx-start-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    ASSERT_EQ(::chdir(tmpl), 0);
    EXPECT_EQ(CurrentStartDirectory(), std::string(tmpl) + "/");
    // A directory removed under the program cannot be named; relative paths still work.
    ASSERT_EQ(::rmdir(tmpl), 0);
    EXPECT_EQ(CurrentStartDirectory(), "./");
    ASSERT_EQ(::chdir(home.c_str()), 0);
}

}  // namespace
}  // namespace nvx
