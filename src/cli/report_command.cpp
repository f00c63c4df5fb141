// nvx report: the EEPROM analysis of an image file, as the Error Memory window shows it.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli_command.h"
#include "eeprom/eeprom_image.h"
#include "eeprom/eeprom_report.h"
#include "platform/atomic_file.h"
#include "platform/command_line.h"
#include "platform/text_encoding.h"
#include "progtool/device_catalogue.h"

namespace nvx::cli {

namespace {

void PrintReportUsage(FILE* out) {
    std::fputs(
        "usage: nvx report IMAGE.hex [--row N | --device STEM] [--details] [-o FILE | --latin1]\n"
        "\n"
        "Reads an EEPROM image (Intel HEX) and prints its report: identity, error memory,\n"
        "and for the PRXA operating panels the temperature log and operating time.\n"
        "\n"
        "  --row N         device list row (0..34) the device type line comes from; 0: none\n"
        "  --device STEM   the same, chosen by its /D word (solbed, solreg, prxabed, ...)\n"
        "  --details       add the decoded header block and the raw section dumps\n"
        "  -o FILE         write the report to FILE (ISO 8859-1, CR LF line ends)\n"
        "  --latin1        write it to standard output in that form, not in UTF-8\n"
        "\n"
        "Without -o the report goes to standard output in UTF-8. Options may stand anywhere;\n"
        "\"--\" ends them. A file whose header cannot be an EEPROM image's is reported all the\n"
        "same, with a warning on standard error.\n"
        "Exit status: 0 done, 1 file error, 2 wrong usage.\n",
        out);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "nvx report: %s\n", message.c_str());
    std::fputs("Try 'nvx report --help'.\n", stderr);
    return 2;
}

bool ParseRow(const std::string& text, int32_t& row) {
    if (text.empty() || text.size() > 3) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    row = std::atoi(text.c_str());
    return row < kDeviceRowCount;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

const KnownOption kRowOption{"--row", nullptr, true};
const KnownOption kDeviceOption{"--device", nullptr, true};
const KnownOption kDetailsOption{"--details", nullptr, false};
const KnownOption kOutputOption{"--output", "-o", true};

}  // namespace

int RunReport(const Args& args) {
    CommandLine line;
    std::string error;
    if (!SplitCommandLine(args,
                          {kHelpOption, kLatin1Option, kRowOption, kDeviceOption, kDetailsOption,
                           kOutputOption},
                          line, error))
        return UsageError(error);
    if (line.has(kHelpOption.name)) {
        PrintReportUsage(stdout);
        return 0;
    }
    int32_t row = kNoDeviceRow;
    if (line.count(kRowOption.name) + line.count(kDeviceOption.name) > 1)
        return UsageError("give one of --row and --device, once");
    if (line.has(kRowOption.name)) {
        const std::string value = line.value(kRowOption.name);
        if (!ParseRow(value, row))
            return UsageError("--row takes a row number from 0 to 34, not '" + value + "'");
    } else if (line.has(kDeviceOption.name)) {
        const std::string value = line.value(kDeviceOption.name);
        row = DeviceRowForStem(Lower(value));
        if (row == kNoDeviceRow) {
            std::string stems;
            for (const DeviceStemRow& s : DeviceStems()) stems += std::string(" ") + s.stem;
            return UsageError("unknown device '" + value + "'; known:" + stems);
        }
    }
    const bool outputGiven = line.has(kOutputOption.name);
    const std::string output = line.value(kOutputOption.name);
    if (line.count(kOutputOption.name) > 1) return UsageError("-o given twice");
    if (outputGiven && output.empty()) return UsageError("empty output file name");
    if (line.operands.size() > 1) return UsageError("more than one image file");
    if (line.operands.empty() || line.operands[0].empty()) return UsageError("no image file given");
    const std::string& image = line.operands[0];

    EepromImage eeprom;
    if (!LoadEepromImage(image, eeprom, &error)) {
        std::fprintf(stderr, "nvx report: %s\n", error.c_str());
        return 1;
    }
    const std::string problem = EepromLayoutProblem(eeprom);
    if (!problem.empty())
        std::fprintf(stderr, "nvx report: warning: %s is probably no EEPROM image (%s)\n",
                     image.c_str(), problem.c_str());
    const std::string report = BuildEepromReport(eeprom, row, line.has(kDetailsOption.name));

    if (outputGiven) {
        if (!WriteFileAtomically(output, report, &error)) {
            std::fprintf(stderr, "nvx report: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    const std::string shown = ConsoleText(report, line.has(kLatin1Option.name));
    if (std::fwrite(shown.data(), 1, shown.size(), stdout) != shown.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "nvx report: standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace nvx::cli
