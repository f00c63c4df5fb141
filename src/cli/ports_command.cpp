// nvx ports: the serial devices of this machine and the COM numbers that reach them.

#include <cstdio>

#include "cli/cli_command.h"
#include "platform/command_line.h"
#include "platform/port_scan.h"

namespace nvx::cli {

namespace {

void PrintPortsUsage(FILE* out) {
    std::fputs(
        "usage: nvx ports\n"
        "\n"
        "Lists the serial devices found (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, links named\n"
        "comN in the current directory, NORVIX_COMN variables) with their /dev/serial/by-id\n"
        "names and their stable /dev/norvix-* links (made by the example udev rule in\n"
        "/usr/share/doc/norvix-monitor), and the COM numbers that resolve to each. COM number N\n"
        "is looked up in this order: the variable NORVIX_COMN, a link or device named comN in\n"
        "the start directory, /dev/ttyS(N-1).\n",
        out);
}

}  // namespace

int RunPorts(const Args& args) {
    CommandLine line;
    std::string error;
    if (SplitCommandLine(args, {kHelpOption}, line, error) && !line.operands.empty())
        error = "unknown argument '" + line.operands[0] + "'";
    if (!error.empty()) {
        std::fprintf(stderr, "nvx ports: %s\n", error.c_str());
        PrintPortsUsage(stderr);
        return 2;
    }
    if (line.has(kHelpOption.name)) {
        PrintPortsUsage(stdout);
        return 0;
    }
    const PortScanSources sources = SystemPortScanSources();
    std::fputs(FormatPortScan(ScanSerialPorts(sources), sources.startDirectory).c_str(), stdout);
    return 0;
}

}  // namespace nvx::cli
