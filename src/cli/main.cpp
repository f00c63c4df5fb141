// nvx: the headless front end of the monitor.

#include <cstdio>
#include <cstring>

#include "cli/cli_command.h"

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
};

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: nvx COMMAND [ARGS...]   (nvx COMMAND --help for its options)\n\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "\n"
                 "  -h, --help  show this text\n"
                 "  --version   show the version\n");
}

}  // namespace

int main(int argc, char** argv) {
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
    for (const Command& c : kCommands) {
        if (!std::strcmp(argv[1], c.name)) return c.run(nvx::cli::Args(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "nvx: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
