// nvx update, nvx eeprom: the Programming Tool's firmware update and EEPROM transfers on a
// terminal, with the window's logic and the update procedure running in real time.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/console_session.h"
#include "cli/parallel_runner.h"
#include "comm/tick.h"
#include "journal/service_journal.h"
#include "platform/command_line.h"
#include "platform/format.h"
#include "platform/serial_port.h"
#include "platform/text_encoding.h"
#include "platform/user_dialogs.h"
#include "platform/work_directory.h"
#include "progtool/device_catalogue.h"
#include "progtool/prog_tool.h"
#include "shell/shell.h"

namespace nvx::cli {

namespace {

const char kUpdateUsage[] =
    "usage: nvx update [--port N[,N...]] (--device STEM | --row N) [--manual | --auto] [--wait N]\n"
    "                  [--backup] [--versions] FILE\n"
    "Writes the firmware FILE (.npf or Intel HEX, its name beginning with the device key) into\n"
    "the device on COM N, as the Programming Tool's \"Program\" button does. With several ports\n"
    "every device gets the same file, all at once.\n";

const char kEepromUsage[] =
    "usage: nvx eeprom read  [--port N] (--device STEM | --row N) [--manual | --auto] [--wait N] FILE\n"
    "       nvx eeprom write [--port N] (--device STEM | --row N) [--manual | --auto] [--wait N]\n"
    "                        --yes FILE\n"
    "Reads the device's EEPROM into the Intel HEX file FILE, or writes FILE into it, as the\n"
    "Programming Tool's \"Read EEPROM\" and \"Write EEPROM\" buttons do. With several ports\n"
    "(--port 1,2 or --port given more than once) the devices are served all at once, and\n"
    "\"{port}\" in FILE becomes each port's number; a read into several files needs it.\n";

const char kCommonOptions[] =
    "\n"
    "  --port N       COM port number (1 to 256), default 1; several: N,N,... or --port again\n"
    "  --device STEM  the device by the word of the monitor's /D switch: solbed, solgrabed64,\n"
    "                 solgrabed128, solhyb, soltbed, solreg, frostwarn32k, frostwarn64k, prxabed,\n"
    "                 prxareg, glenvalbed, glenvalreg, aircase\n"
    "  --row N        the device by its row of the Programming Tool's device list (3 to 33)\n"
    "  --manual       manual start: the device is put into its bootloader by hand\n"
    "  --auto         start through the kernel (the default of most devices)\n"
    "  --wait N       N x 100 timer ticks at each wait of the procedure (the monitor's /W)\n"
    "  --yes          (eeprom write) confirm writing; the device may misbehave on a wrong image\n"
    "  --latin1       write the log as ISO 8859-1 bytes instead of UTF-8\n"
    "  --backup       (update) read the EEPROM into backup/<key>-<date-time>.hex first; no\n"
    "                 update when that fails\n"
    "  --versions     (update) read the application's version before and after, into the log\n"
    "                 and the journal (one more request on the line each time)\n"
    "\n"
    "Options may stand anywhere; \"--\" ends them.\n"
    "The current directory is the start directory: it holds norvixosp.exe, the part descriptions\n"
    "<chip>.xml and the com<N> links; every operation is added to its service-journal.csv. The\n"
    "programmer runs in a fresh directory of its own, so runs side by side never share its files.\n"
    "Exit status 0 only when every procedure ended with its finish line (a journal line that\n"
    "cannot be written is a warning on standard error); Ctrl-C ends them with their abort line,\n"
    "each device back in its application.\n";

// The file name part that becomes the port's number when several ports are served.
constexpr std::string_view kPortPlaceholder = "{port}";
// Hidden option of the children of a run on several ports: progress as lines for the parent.
const KnownOption kProgressLinesOption{"--progress-lines", nullptr, false};

// Longest a procedure may take: every wait at its longest, plus the programmer's own time.
constexpr uint32_t kProgrammerAllowanceMs = 30 * 60 * 1000;

enum class Operation { Program, EepromRead, EepromWrite };

struct UpdateCommandLine {
    Operation operation = Operation::Program;
    bool help = false;
    std::vector<int> ports;  // in the order given
    bool latin1 = false;
    bool progressLines = false;
    int32_t row = 0;
    int manual = -1;  // -1: the row's default
    bool waitGiven = false;
    int32_t waitHundreds = 0;
    bool yes = false;
    bool backup = false;
    bool versions = false;
    std::string file;
};

bool ParseNumber(const std::string& text, long min, long max, long& value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

const KnownOption kDeviceOption{"--device", nullptr, true};
const KnownOption kRowOption{"--row", nullptr, true};
const KnownOption kManualOption{"--manual", nullptr, false};
const KnownOption kAutoOption{"--auto", nullptr, false};
const KnownOption kWaitOption{"--wait", nullptr, true};
const KnownOption kBackupOption{"--backup", nullptr, false};
const KnownOption kVersionsOption{"--versions", nullptr, false};

// Every --port, each one port number or several joined by ','; COM 1 when none is given.
bool PortsFromCommandLine(const CommandLine& line, std::vector<int>& ports, std::string& error) {
    for (const CommandLine::Given& given : line.options) {
        if (given.name != kPortOption.name) continue;
        std::size_t from = 0;
        for (;;) {
            const std::size_t comma = given.value.find(',', from);
            const std::string item = given.value.substr(from, comma - from);
            int port = 0;
            if (!ParseComPortNumber(item, port)) {
                error = "--port: COM port numbers are 1 to 256, not '" + item + "'";
                return false;
            }
            if (std::find(ports.begin(), ports.end(), port) != ports.end()) {
                error = "--port: COM" + item + " is given twice";
                return false;
            }
            ports.push_back(port);
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
    }
    if (ports.empty()) ports.push_back(1);
    return true;
}

// The arguments after the command word; for `nvx eeprom` the first operand says read or write.
bool ParseUpdateCommandLine(const Args& args, bool eeprom, UpdateCommandLine& cmd,
                            std::string& error) {
    CommandLine line;
    if (!SplitCommandLine(args,
                          {kHelpOption, kPortOption, kLatin1Option, kDeviceOption, kRowOption,
                           kManualOption, kAutoOption, kWaitOption, kYesOption, kBackupOption,
                           kVersionsOption, kProgressLinesOption},
                          line, error))
        return false;
    if (line.has(kHelpOption.name)) {
        cmd.help = true;
        return true;
    }
    std::vector<std::string> operands = line.operands;
    if (eeprom) {
        if (operands.empty() || (operands[0] != "read" && operands[0] != "write")) {
            error = "say read or write";
            return false;
        }
        cmd.operation = operands[0] == "read" ? Operation::EepromRead : Operation::EepromWrite;
        operands.erase(operands.begin());
    }
    if (line.has(kYesOption.name) && cmd.operation != Operation::EepromWrite) {
        error = "unknown option --yes (only eeprom write asks)";
        return false;
    }
    if (line.has(kBackupOption.name) && cmd.operation != Operation::Program) {
        error = "unknown option --backup (only update backs up)";
        return false;
    }
    if (line.has(kVersionsOption.name) && cmd.operation != Operation::Program) {
        error = "unknown option --versions (only update reads the versions)";
        return false;
    }
    cmd.backup = line.has(kBackupOption.name);
    cmd.versions = line.has(kVersionsOption.name);
    cmd.yes = line.has(kYesOption.name);
    cmd.latin1 = line.has(kLatin1Option.name);
    cmd.progressLines = line.has(kProgressLinesOption.name);
    if (!PortsFromCommandLine(line, cmd.ports, error)) return false;

    if (line.count(kDeviceOption.name) + line.count(kRowOption.name) != 1) {
        error = line.has(kDeviceOption.name) || line.has(kRowOption.name)
                    ? "give the device once (--device or --row)"
                    : "no device given (--device STEM or --row N)";
        return false;
    }
    long n = 0;
    if (line.has(kDeviceOption.name)) {
        const std::string v = line.value(kDeviceOption.name);
        cmd.row = DeviceRowForStem(Lower(v));
        if (cmd.row == kNoDeviceRow) {
            error = "--device: '" + v + "' is no device word (see --help)";
            return false;
        }
    } else {
        const std::string v = line.value(kRowOption.name);
        if (!ParseNumber(v, 0, kDeviceRowCount - 1, n) ||
            DeviceRowEntry(static_cast<int32_t>(n)) == nullptr) {
            error = "--row: '" + v + "' is no device row (3 to 33, headings excluded)";
            return false;
        }
        cmd.row = static_cast<int32_t>(n);
    }
    if (line.has(kManualOption.name) && line.has(kAutoOption.name)) {
        error = "--manual and --auto exclude each other";
        return false;
    }
    if (line.has(kManualOption.name)) cmd.manual = 1;
    if (line.has(kAutoOption.name)) cmd.manual = 0;
    if (line.has(kWaitOption.name)) {
        const std::string v = line.value(kWaitOption.name);
        if (!ParseNumber(v, 0, 1000, n)) {
            error = "--wait: '" + v + "' is no number from 0 to 1000";
            return false;
        }
        cmd.waitGiven = true;
        cmd.waitHundreds = static_cast<int32_t>(n);
    }
    if (operands.size() > 1) {
        error = "one file only ('" + operands[0] + "' and '" + operands[1] + "')";
        return false;
    }
    if (operands.empty() || operands[0].empty()) {
        error = "no file given";
        return false;
    }
    cmd.file = operands[0];
    if (cmd.operation == Operation::EepromWrite && !cmd.yes) {
        error = "writing the EEPROM needs --yes: a wrong image may make the device misbehave";
        return false;
    }
    if (cmd.operation == Operation::EepromRead && cmd.ports.size() > 1 &&
        cmd.file.find(kPortPlaceholder) == std::string::npos) {
        error = "reading several devices needs {port} in the file name (one file each)";
        return false;
    }
    return true;
}

std::string FileForPort(std::string file, int port) {
    for (std::size_t at; (at = file.find(kPortPlaceholder)) != std::string::npos;)
        file.replace(at, kPortPlaceholder.size(), std::to_string(port));
    return file;
}

std::string StartDirectoryOfProcess() {
    char buffer[4096];
    if (!::getcwd(buffer, sizeof buffer)) return "./";
    std::string dir = buffer;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

enum class ProgressShown { None, Bar, Lines };

// The window on a terminal: its fields come from the command line; the programmer's progress is
// a bar under the log lines (terminals only) or progress lines for a parent nvx; every log line
// passes through here on its way to the session's shell, so the bar is taken out of its way.
class ConsoleProgTool : public ProgToolView, public MonitorShell {
public:
    ConsoleProgTool(MonitorShell& session, ProgressShown progress)
        : session_(session), progress_(progress) {}

    ProgToolFields fields;

    void finishProgress() {
        if (barShown_) {
            std::fputs("\r\033[K", stdout);
            std::fflush(stdout);
            barShown_ = false;
        }
    }

    // ProgToolView
    void readControls(ProgToolFields& f) override { f = fields; }
    void writeControls(const ProgToolFields& f) override { fields = f; }
    void setControlVisible(ProgToolControl, bool) override {}
    void setControlEnabled(ProgToolControl, bool) override {}
    void showWithoutActivating() override {}
    void hideWindow() override {}
    bool askOpenFileName(const std::string&, const std::string&, const std::string&, FileChoice,
                         std::string&) override {
        return false;
    }
    void runErrorMemory(const std::string&, int32_t) override {}
    void setProgrammerProgress(int percent) override {
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
        if (redraw) setProgrammerProgress(lastPercent_);
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
    CatchInterrupts();

    int status = 1;
    {
        PrivateWorkDirectory work;
        ConsoleSession session(cmd.latin1);
        ConsoleProgTool console(session.shell(), progress);
        ProgTool tool(session.timers(), console, console);
        tool.OnInitDialog();

        console.fields.deviceRow = cmd.row;
        tool.SelectDeviceRow();
        if (tool.acceptedRow() != cmd.row) {
            std::fprintf(stderr, "nvx %s: the device of row %d cannot be used here\n", name,
                         static_cast<int>(cmd.row));
            SetMessageBoxes(nullptr);
            return 1;
        }
        std::string error;
        if (!PrepareWorkDirectory(work, cmd.row, error)) {
            std::fprintf(stderr, "nvx %s: no work directory: %s\n", name, error.c_str());
            SetMessageBoxes(nullptr);
            return 1;
        }
        tool.procedure().SetWorkDirectory(work.path());
        if (cmd.manual != -1) console.fields.manualStart = cmd.manual;
        console.fields.backupFirst = cmd.backup ? 1 : 0;
        console.fields.checkVersions = cmd.versions ? 1 : 0;

        // The automatic start asks the kernel over the monitor's port; a manual start needs
        // the port only at the end.
        if (console.fields.manualStart == 0 && !console.OpenComPort()) {
            SetMessageBoxes(nullptr);
            return 1;
        }
        switch (cmd.operation) {
        case Operation::Program:
            console.fields.programFilePath = cmd.file;
            tool.OnProgram();
            break;
        case Operation::EepromRead:
            console.fields.eepromFilePath = cmd.file;
            tool.OnReadEeprom();
            break;
        case Operation::EepromWrite:
            console.fields.eepromFilePath = cmd.file;
            tool.OnWriteEeprom();
            break;
        }
        if (!tool.IsIdle()) {
            const uint32_t tickMs = g_tickPeriodMs;
            const uint32_t ticks = 5 * static_cast<uint32_t>(StepWait) + kTunnelSettleTicks +
                                   kBootProbeTicks + 3 * kRequestReplyTicks + kManualStartTicks;
            // A backup runs a whole procedure of its own first.
            const uint32_t procedures = cmd.backup ? 2 : 1;
            const bool ended = session.RunUntil(
                [&] {
                    if (Interrupted()) tool.RequestAbort();
                    return tool.IsIdle();
                },
                procedures * (ticks * tickMs + kProgrammerAllowanceMs));
            console.finishProgress();
            if (!ended) std::fprintf(stderr, "nvx %s: the procedure did not end\n", name);
        }
        status = tool.outcome().finished() ? 0 : 1;
    }
    SetMessageBoxes(nullptr);
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
