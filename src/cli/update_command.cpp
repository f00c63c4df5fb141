// nvx update, nvx eeprom: the Programming Tool's firmware update and EEPROM transfers on a
// terminal, through the programming service in real time.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/console_session.h"
#include "cli/parallel_runner.h"
#include "cli/update_command_line.h"
#include "comm/tick.h"
#include "journal/service_journal.h"
#include "platform/format.h"
#include "platform/serial_port.h"
#include "platform/text_encoding.h"
#include "platform/user_dialogs.h"
#include "platform/work_directory.h"
#include "progtool/device_catalogue.h"
#include "progtool/programming_service.h"
#include "shell/shell.h"

namespace nvx::cli {

namespace {

// Longest a procedure may take: every wait at its longest, plus the programmer's own time.
constexpr uint32_t kProgrammerAllowanceMs = 30 * 60 * 1000;

std::string StartDirectoryOfProcess() {
    char buffer[4096];
    if (!::getcwd(buffer, sizeof buffer)) return "./";
    std::string dir = buffer;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

enum class ProgressShown { None, Bar, Lines };

// The procedure's progress on a terminal: a bar under the log lines (terminals only) or progress
// lines for a parent nvx. Every log line passes through here on its way to the session's shell,
// so the bar is taken out of its way.
class ConsoleProgress : public ProgrammingObserver, public MonitorShell {
public:
    ConsoleProgress(MonitorShell& session, ProgressShown progress)
        : session_(session), progress_(progress) {}

    void finishProgress() {
        if (barShown_) {
            std::fputs("\r\033[K", stdout);
            std::fflush(stdout);
            barShown_ = false;
        }
    }

    // ProgrammingObserver: no buttons to disable on a terminal.
    void SetBusy(bool) override {}
    void ShowProgrammerProgress(int percent) override {
        percent = std::clamp(percent, 0, 100);
        if (progress_ == ProgressShown::Lines && percent != lastPercent_) {
            std::printf("PROGRESS %d\n", percent);
            std::fflush(stdout);
            lastPercent_ = percent;
        }
        if (progress_ != ProgressShown::Bar) return;
        constexpr int kWidth = 40;
        const int filled = percent * kWidth / 100;
        std::printf("\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                    std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), percent);
        std::fflush(stdout);
        barShown_ = true;
        lastPercent_ = percent;
    }

    // MonitorShell
    void AppendMonitorLog(std::string message) override {
        const bool redraw = barShown_;
        finishProgress();
        session_.AppendMonitorLog(std::move(message));
        if (redraw) ShowProgrammerProgress(lastPercent_);
    }
    bool IsComPortOpen() override { return session_.IsComPortOpen(); }
    bool OpenComPort() override { return session_.OpenComPort(); }
    void CloseComPort() override { session_.CloseComPort(); }
    void MarkComPortOpen() override { session_.MarkComPortOpen(); }

private:
    MonitorShell& session_;
    ProgressShown progress_;
    bool barShown_ = false;
    int lastPercent_ = 0;
};

// Message boxes on standard error in UTF-8. A question reaches here only after the command line
// has answered it (--yes), so it is answered without being shown.
class TerminalMessageBoxes : public MessageBoxes {
public:
    MessageAnswer show(const std::string& text, const std::string& caption, MessageIcon,
                       MessageButtons buttons) override {
        switch (buttons) {
        case MessageButtons::YesNo: return MessageAnswer::Yes;
        case MessageButtons::OkCancel: return MessageAnswer::Ok;
        case MessageButtons::Ok: break;
        }
        std::fprintf(stderr, "%s\n", Latin1ToUtf8(caption + ": " + text).c_str());
        return MessageAnswer::Ok;
    }
};

// The programmer's private working directory: fresh, with links to what the programmer reads
// from the start directory (the part description and the port's com<N> link, when there is one).
bool PrepareWorkDirectory(PrivateWorkDirectory& work, int32_t row, std::string& error) {
    if (!work.Create(error)) return false;
    const std::string description = DeviceDescriptionFileName(DeviceRowEntry(row)->chip);
    if (!work.Link(description, StartDirectory + description, error)) return false;
    const std::string comLink = Format("com%d", static_cast<int>(ComPortNumber));
    std::error_code ec;
    if (std::filesystem::symlink_status(StartDirectory + comLink, ec).type() !=
            std::filesystem::file_type::not_found &&
        !ec)
        return work.Link(comLink, StartDirectory + comLink, error);
    return true;
}

// The same command once per port, each in a child nvx of its own.
int RunOnSeveralPorts(const UpdateCommandLine& cmd) {
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) {
        std::fprintf(stderr, "nvx: cannot find its own program: %s\n", ec.message().c_str());
        return 1;
    }
    std::vector<PortRun> runs;
    for (const int port : cmd.ports) {
        PortRun run{port, {"nvx"}};
        std::vector<std::string>& a = run.arguments;
        switch (cmd.operation) {
        case Operation::Program: a.push_back("update"); break;
        case Operation::EepromRead: a.insert(a.end(), {"eeprom", "read"}); break;
        case Operation::EepromWrite: a.insert(a.end(), {"eeprom", "write", "--yes"}); break;
        }
        a.insert(a.end(), {"--port", std::to_string(port), "--row", std::to_string(cmd.row),
                           kProgressLinesOption.name});
        if (cmd.manual != -1) a.push_back(cmd.manual == 1 ? "--manual" : "--auto");
        if (cmd.waitGiven) a.insert(a.end(), {"--wait", std::to_string(cmd.waitHundreds)});
        if (cmd.latin1) a.push_back(kLatin1Option.name);
        if (cmd.backup) a.push_back(kBackupOption.name);
        if (cmd.versions) a.push_back(kVersionsOption.name);
        a.insert(a.end(), {"--", FileForPort(cmd.file, port)});
        runs.push_back(std::move(run));
    }
    CatchInterrupts();
    const std::vector<PortOutcome> outcomes =
        RunPerPort(self, runs, ::isatty(::fileno(stdout)) == 1, stdout, stderr);
    PrintOutcomeTable(outcomes, stdout);
    const bool allFinished = std::all_of(outcomes.begin(), outcomes.end(),
                                         [](const PortOutcome& o) { return o.exitCode == 0; });
    return allFinished ? 0 : 1;
}

int RunProcedure(const char* name, UpdateCommandLine cmd) {
    if (cmd.help) {
        std::fputs(cmd.operation == Operation::Program ? kUpdateUsage : kEepromUsage, stdout);
        std::fputs(kCommonOptions, stdout);
        return 0;
    }
    if (cmd.ports.size() > 1) return RunOnSeveralPorts(cmd);
    ComPortNumber = cmd.ports.front();
    cmd.file = FileForPort(cmd.file, cmd.ports.front());
    StartDirectory = StartDirectoryOfProcess();
    if (cmd.waitGiven) StepWait = cmd.waitHundreds * 100;
    ProgressShown progress = ::isatty(::fileno(stdout)) == 1 ? ProgressShown::Bar
                                                              : ProgressShown::None;
    if (cmd.progressLines) {
        // One stream for the parent: it tells diagnostics from log lines by their form.
        ::dup2(STDOUT_FILENO, STDERR_FILENO);
        progress = ProgressShown::Lines;
    }
    TerminalMessageBoxes boxes;
    SetMessageBoxes(&boxes);
    // The boxes are handed back however the run returns.
    const struct BoxesHandedBack {
        ~BoxesHandedBack() { SetMessageBoxes(nullptr); }
    } boxesHandedBack;
    CatchInterrupts();

    int status = 1;
    {
        PrivateWorkDirectory work;
        ConsoleSession session(cmd.latin1);
        ConsoleProgress console(session.shell(), progress);
        ProgrammingService service(session.timers(), console, console);
        service.Open();

        if (!service.SelectDevice(cmd.row)) {
            std::fprintf(stderr, "nvx %s: the device of row %d cannot be used here\n", name,
                         static_cast<int>(cmd.row));
            return 1;
        }
        std::string error;
        if (!PrepareWorkDirectory(work, cmd.row, error)) {
            std::fprintf(stderr, "nvx %s: no work directory: %s\n", name, error.c_str());
            return 1;
        }
        ProgrammingOptions options;
        options.file = cmd.file;
        options.manualStart =
            cmd.manual == -1 ? DeviceRowEntry(cmd.row)->manualStart : cmd.manual == 1;
        options.backupFirst = cmd.backup;
        options.checkVersions = cmd.versions;
        options.workDirectory = work.path();

        // The automatic start asks the kernel over the monitor's port; a manual start needs
        // the port only at the end.
        if (!options.manualStart && !console.OpenComPort()) {
            return 1;
        }
        switch (cmd.operation) {
        case Operation::Program: service.Program(options); break;
        case Operation::EepromRead: service.ReadEeprom(options); break;
        case Operation::EepromWrite: service.WriteEeprom(options); break;
        }
        if (!service.IsIdle()) {
            const uint32_t tickMs = g_tickPeriodMs;
            const uint32_t ticks = 5 * static_cast<uint32_t>(StepWait) + kTunnelSettleTicks +
                                   kBootProbeTicks + 3 * kRequestReplyTicks + kManualStartTicks;
            // A backup runs a whole procedure of its own first.
            const uint32_t procedures = cmd.backup ? 2 : 1;
            const bool ended = session.RunUntil(
                [&] {
                    if (Interrupted()) service.RequestAbort();
                    return service.IsIdle();
                },
                procedures * (ticks * tickMs + kProgrammerAllowanceMs));
            console.finishProgress();
            if (!ended) std::fprintf(stderr, "nvx %s: the procedure did not end\n", name);
        }
        status = service.outcome().finished() ? 0 : 1;
    }
    std::fflush(stdout);
    return status;
}

}  // namespace

int RunUpdate(const Args& args) {
    UpdateCommandLine cmd;
    std::string error;
    if (!ParseUpdateCommandLine(args, false, cmd, error)) {
        std::fprintf(stderr, "nvx update: %s\n%s", error.c_str(), kUpdateUsage);
        return 2;
    }
    return RunProcedure("update", cmd);
}

int RunEeprom(const Args& args) {
    UpdateCommandLine cmd;
    cmd.operation = Operation::EepromRead;
    std::string error;
    if (!ParseUpdateCommandLine(args, true, cmd, error)) {
        std::fprintf(stderr, "nvx eeprom: %s\n%s", error.c_str(), kEepromUsage);
        return 2;
    }
    return RunProcedure("eeprom", cmd);
}

}  // namespace nvx::cli
