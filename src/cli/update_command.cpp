// nvx update, nvx eeprom: the Programming Tool's firmware update and EEPROM transfers on a
// terminal, with the window's logic and the update procedure running in real time.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/shell.h"
#include "cli/cli_command.h"
#include "cli/console_session.h"
#include "comm/tick.h"
#include "platform/serial_port.h"
#include "platform/user_dialogs.h"
#include "progtool/device_catalogue.h"
#include "progtool/prog_tool.h"

namespace nvx::cli {

namespace {

const char kUpdateUsage[] =
    "usage: nvx update [--port N] (--device STEM | --row N) [--manual | --auto] [--wait N] FILE\n"
    "Writes the firmware FILE (.npf or Intel HEX, its name beginning with the device key) into\n"
    "the device on COM N, as the Programming Tool's \"Program\" button does.\n";

const char kEepromUsage[] =
    "usage: nvx eeprom read  [--port N] (--device STEM | --row N) [--manual | --auto] [--wait N] FILE\n"
    "       nvx eeprom write [--port N] (--device STEM | --row N) [--manual | --auto] [--wait N]\n"
    "                        --yes FILE\n"
    "Reads the device's EEPROM into the Intel HEX file FILE, or writes FILE into it, as the\n"
    "Programming Tool's \"Read EEPROM\" and \"Write EEPROM\" buttons do.\n";

const char kCommonOptions[] =
    "\n"
    "  --port N       COM port number (1 to 256), default 1\n"
    "  --device STEM  the device by the word of the monitor's /D switch: solbed, solgrabed64,\n"
    "                 solgrabed128, solhyb, soltbed, solreg, frostwarn32k, frostwarn64k, prxabed,\n"
    "                 prxareg, glenvalbed, glenvalreg, aircase\n"
    "  --row N        the device by its row of the Programming Tool's device list (3 to 33)\n"
    "  --manual       manual start: the device is put into its bootloader by hand\n"
    "  --auto         start through the kernel (the default of most devices)\n"
    "  --wait N       N x 100 timer ticks at each wait of the procedure (the monitor's /W)\n"
    "  --yes          (eeprom write) confirm writing; the device may misbehave on a wrong image\n"
    "\n"
    "The current directory is the start directory: it holds norvixosp.exe, the part descriptions\n"
    "<chip>.xml and the com<N> links. Exit status 0 only when the procedure ended\n"
    "with its finish line.\n";

// Longest a procedure may take: every wait at its longest, plus the programmer's own time.
constexpr uint32_t kProgrammerAllowanceMs = 30 * 60 * 1000;

enum class Operation { Program, EepromRead, EepromWrite };

struct UpdateCommandLine {
    Operation operation = Operation::Program;
    bool help = false;
    int32_t row = 0;
    int manual = -1;  // -1: the row's default
    bool waitGiven = false;
    int32_t waitHundreds = 0;
    bool yes = false;
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

bool ParseUpdateCommandLine(Args args, UpdateCommandLine& cmd, std::string& error) {
    if (!TakePortOption(args, error)) return false;
    bool deviceGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        long n = 0;
        if (a == "--help" || a == "-h") {
            cmd.help = true;
            return true;
        } else if (a == "--device") {
            if (deviceGiven || !value(v)) {
                if (deviceGiven) error = "give the device once (--device or --row)";
                return false;
            }
            cmd.row = DeviceRowForStem(Lower(v));
            if (cmd.row == kNoDeviceRow) {
                error = "--device: '" + v + "' is no device word (see --help)";
                return false;
            }
            deviceGiven = true;
        } else if (a == "--row") {
            if (deviceGiven || !value(v)) {
                if (deviceGiven) error = "give the device once (--device or --row)";
                return false;
            }
            if (!ParseNumber(v, 0, kDeviceRowCount - 1, n) ||
                DeviceRowEntry(static_cast<int32_t>(n)) == nullptr) {
                error = "--row: '" + v + "' is no device row (3 to 33, headings excluded)";
                return false;
            }
            cmd.row = static_cast<int32_t>(n);
            deviceGiven = true;
        } else if (a == "--manual" || a == "--auto") {
            const int wanted = a == "--manual" ? 1 : 0;
            if (cmd.manual != -1 && cmd.manual != wanted) {
                error = "--manual and --auto exclude each other";
                return false;
            }
            cmd.manual = wanted;
        } else if (a == "--wait") {
            if (!value(v)) return false;
            if (!ParseNumber(v, 0, 1000, n)) {
                error = "--wait: '" + v + "' is no number from 0 to 1000";
                return false;
            }
            cmd.waitGiven = true;
            cmd.waitHundreds = static_cast<int32_t>(n);
        } else if (a == "--yes" && cmd.operation == Operation::EepromWrite) {
            cmd.yes = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else if (!cmd.file.empty()) {
            error = "one file only ('" + cmd.file + "' and '" + a + "')";
            return false;
        } else {
            cmd.file = a;
        }
    }
    if (!deviceGiven) {
        error = "no device given (--device STEM or --row N)";
        return false;
    }
    if (cmd.file.empty()) {
        error = "no file given";
        return false;
    }
    if (cmd.operation == Operation::EepromWrite && !cmd.yes) {
        error = "writing the EEPROM needs --yes: a wrong image may make the device misbehave";
        return false;
    }
    return true;
}

std::string StartDirectoryOfProcess() {
    char buffer[4096];
    if (!::getcwd(buffer, sizeof buffer)) return "./";
    std::string dir = buffer;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

// The window on a terminal: its fields come from the command line; the programmer's progress is
// a bar under the log lines (terminals only); every log line passes through here on its way to the
// session's shell, so the bar is taken out of its way and the outcome is seen.
class ConsoleProgTool : public ProgToolView, public MonitorShell {
public:
    ConsoleProgTool(MonitorShell& session, bool drawProgress)
        : session_(session), drawProgress_(drawProgress) {}

    ProgToolFields fields;
    bool sawLine(const std::string& line) const {
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }

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
    bool askOpenFileName(const std::string&, const std::string&, const std::string&,
                         std::string&) override {
        return false;
    }
    void runErrorMemory(const std::string&, int32_t) override {}
    void setProgrammerProgress(int percent) override {
        if (!drawProgress_) return;
        percent = std::clamp(percent, 0, 100);
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
        lines_.push_back(message);
        session_.AppendMonitorLog(std::move(message));
        if (redraw) setProgrammerProgress(lastPercent_);
    }
    bool IsComPortOpen() override { return session_.IsComPortOpen(); }
    bool OpenComPort() override { return session_.OpenComPort(); }
    void CloseComPort() override { session_.CloseComPort(); }
    void MarkComPortOpen() override { session_.MarkComPortOpen(); }

private:
    MonitorShell& session_;
    bool drawProgress_;
    bool barShown_ = false;
    int lastPercent_ = 0;
    std::vector<std::string> lines_;
};

// Message boxes on standard error, converted for a terminal.
class TerminalMessageBoxes : public MessageBoxes {
public:
    explicit TerminalMessageBoxes(bool utf8) : utf8_(utf8) {}
    MessageAnswer show(const std::string& text, const std::string& caption, MessageIcon,
                       MessageButtons buttons) override {
        const std::string line = caption + ": " + text;
        std::fprintf(stderr, "%s\n", (utf8_ ? Latin1ToUtf8(line) : line).c_str());
        // Questions reach here only after the command line has answered them (--yes).
        return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    }

private:
    bool utf8_;
};

const char* FinishLine(Operation op) {
    switch (op) {
    case Operation::Program: return "I> Update finished";
    case Operation::EepromRead: return "I> Read Process finished";
    case Operation::EepromWrite: return "I> Write Process finished";
    }
    return "";
}

int RunProcedure(const char* name, UpdateCommandLine cmd) {
    if (cmd.help) {
        std::fputs(cmd.operation == Operation::Program ? kUpdateUsage : kEepromUsage, stdout);
        std::fputs(kCommonOptions, stdout);
        return 0;
    }
    StartDirectory = StartDirectoryOfProcess();
    if (cmd.waitGiven) StepWait = cmd.waitHundreds * 100;
    const bool terminal = ::isatty(::fileno(stdout)) == 1;
    TerminalMessageBoxes boxes(::isatty(::fileno(stderr)) == 1);
    SetMessageBoxes(&boxes);

    int status = 1;
    {
        ConsoleSession session;
        ConsoleProgTool console(session.shell(), terminal);
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
        if (cmd.manual != -1) console.fields.manualStart = cmd.manual;

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
        if (!tool.procedure().IsIdle()) {
            const uint32_t tickMs = g_tickPeriodMs;
            const uint32_t ticks = 5 * static_cast<uint32_t>(StepWait) + kTunnelSettleTicks +
                                   kBootProbeTicks + 3 * kRequestReplyTicks + kManualStartTicks;
            const bool ended = session.RunUntil([&] { return tool.procedure().IsIdle(); },
                                                ticks * tickMs + kProgrammerAllowanceMs);
            console.finishProgress();
            if (!ended) std::fprintf(stderr, "nvx %s: the procedure did not end\n", name);
        }
        status = console.sawLine(FinishLine(cmd.operation)) ? 0 : 1;
    }
    SetMessageBoxes(nullptr);
    std::fflush(stdout);
    return status;
}

}  // namespace

int RunUpdate(const Args& args) {
    UpdateCommandLine cmd;
    cmd.operation = Operation::Program;
    std::string error;
    if (!ParseUpdateCommandLine(args, cmd, error)) {
        std::fprintf(stderr, "nvx update: %s\n%s", error.c_str(), kUpdateUsage);
        return 2;
    }
    return RunProcedure("update", cmd);
}

int RunEeprom(const Args& args) {
    UpdateCommandLine cmd;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        cmd.help = true;
        cmd.operation = Operation::EepromRead;
        return RunProcedure("eeprom", cmd);
    }
    if (args.empty() || (args[0] != "read" && args[0] != "write")) {
        std::fprintf(stderr, "nvx eeprom: say read or write\n%s", kEepromUsage);
        return 2;
    }
    cmd.operation = args[0] == "read" ? Operation::EepromRead : Operation::EepromWrite;
    std::string error;
    if (!ParseUpdateCommandLine(Args(args.begin() + 1, args.end()), cmd, error)) {
        std::fprintf(stderr, "nvx eeprom %s: %s\n%s", args[0].c_str(), error.c_str(), kEepromUsage);
        return 2;
    }
    return RunProcedure("eeprom", cmd);
}

}  // namespace nvx::cli
