// nvx: the headless front end of the monitor.

#include <cstdio>
#include <cstring>

#include "cli/cli_command.h"
#include "journal/service_journal.h"

namespace {

using nvx::cli::Command;

const Command kCommands[] = {
    {"ports", "list serial devices and the COM numbers that resolve to them", nvx::cli::RunPorts},
    {"report", "analyse an EEPROM image file into its text report", nvx::cli::RunReport},
    {"convert", "convert a program file from Intel HEX to NPF or back", nvx::cli::RunConvert},
    {"texts", "read or write the starting texts of a Solvane panel", nvx::cli::RunTexts},
    {"kernel", "send one kernel API command or query to a device", nvx::cli::RunKernel},
    {"update", "write a firmware file into a device (Programming Tool)", nvx::cli::RunUpdate},
    {"eeprom", "read or write a device's EEPROM image (Programming Tool)", nvx::cli::RunEeprom},
    {"journal", "show the service journal of the current directory", nvx::cli::RunJournal},
    {"decode", "decode a raw line capture (pipe file) into frames", nvx::cli::RunDecode},
    {"listen", "print every frame a device sends, decoded and timed", nvx::cli::RunListen},
};

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: nvx COMMAND [ARGS...]   (nvx COMMAND --help for its options)\n");
    std::fprintf(out,
                 "Options may stand anywhere on the line, before COMMAND too; \"--\" ends them.\n\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "\n"
                 "  -h, --help  show this text\n"
                 "  --version   show the version\n");
}

// Standard error, apart from the log lines on standard output.
void WarnOnStandardError(nvx::MonitorShell&, const std::string& reason) {
    std::fprintf(stderr, "nvx: warning: service journal not written: %s\n", reason.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    nvx::JournalProgram = "nvx";
    nvx::SetJournalWarningSink(WarnOnStandardError);
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        PrintUsage(stdout);
        return 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("nvx (Norvix PC Monitor) " NVX_VERSION "\n");
        return 0;
    }
    // The command is the first word; after leading options, the first word that names one.
    // (Should an option's value spell a command, it is the same word, and taking either gives
    // the same line.)
    const bool leadingOptions = argv[1][0] == '-';
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        for (const Command& c : kCommands) {
            if (std::strcmp(argv[i], c.name) != 0) continue;
            nvx::cli::Args args(argv + 1, argv + i);
            args.insert(args.end(), argv + i + 1, argv + argc);
            return c.run(args);
        }
        if (!leadingOptions) break;
    }
    if (leadingOptions)
        std::fprintf(stderr, "nvx: no command among the arguments\n");
    else
        std::fprintf(stderr, "nvx: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
