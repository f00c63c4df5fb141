// nvx report: the EEPROM analysis of an image file, as the Error Memory window shows it.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli_command.h"
#include "eeprom/eeprom_image.h"
#include "eeprom/eeprom_report.h"
#include "platform/atomic_file.h"
#include "progtool/device_catalogue.h"

namespace nvx::cli {

namespace {

void PrintReportUsage(FILE* out) {
    std::fputs(
        "usage: nvx report IMAGE.hex [--row N | --device STEM] [--details] [-o FILE]\n"
        "\n"
        "Reads an EEPROM image (Intel HEX) and prints its report: identity, error memory,\n"
        "and for the PRXA operating panels the temperature log and operating time.\n"
        "\n"
        "  --row N         device list row (0..34) the device type line comes from; 0: none\n"
        "  --device STEM   the same, chosen by its /D word (solbed, solreg, prxabed, ...)\n"
        "  --details       add the decoded header block and the raw section dumps\n"
        "  -o FILE         write the report to FILE (ISO 8859-1, CR LF line ends)\n"
        "\n"
        "Without -o the report goes to standard output: as UTF-8 on a terminal, as the raw\n"
        "ISO 8859-1 bytes otherwise.\n"
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

std::string Latin1ToUtf8(const std::string& latin1) {
    std::string out;
    out.reserve(latin1.size() + latin1.size() / 8);
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

int RunReport(const Args& args) {
    std::string image, output;
    int32_t row = kNoDeviceRow;
    bool rowGiven = false, details = false, outputGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            PrintReportUsage(stdout);
            return 0;
        } else if (a == "--details") {
            details = true;
        } else if (a == "--row" || a == "--device") {
            if (rowGiven) return UsageError("give one of --row and --device, once");
            if (!hasValue) return UsageError(a + " needs a value");
            const std::string value = args[++i];
            rowGiven = true;
            if (a == "--row") {
                if (!ParseRow(value, row)) return UsageError("--row takes a row number from 0 to 34, not '" + value + "'");
            } else {
                row = DeviceRowForStem(Lower(value));
                if (row == kNoDeviceRow) {
                    std::string stems;
                    for (const DeviceStemRow& s : DeviceStems()) stems += std::string(" ") + s.stem;
                    return UsageError("unknown device '" + value + "'; known:" + stems);
                }
            }
        } else if (a == "-o" || a == "--output") {
            if (outputGiven) return UsageError("-o given twice");
            if (!hasValue) return UsageError(a + " needs a file name");
            output = args[++i];
            outputGiven = true;
            if (output.empty()) return UsageError("empty output file name");
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("unknown option '" + a + "'");
        } else if (image.empty()) {
            image = a;
        } else {
            return UsageError("more than one image file");
        }
    }
    if (image.empty()) return UsageError("no image file given");

    EepromImage eeprom;
    std::string error;
    if (!LoadEepromImage(image, eeprom, &error)) {
        std::fprintf(stderr, "nvx report: %s\n", error.c_str());
        return 1;
    }
    const std::string report = BuildEepromReport(eeprom, row, details);

    if (outputGiven) {
        if (!WriteFileAtomically(output, report, &error)) {
            std::fprintf(stderr, "nvx report: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    const std::string shown = ::isatty(STDOUT_FILENO) ? Latin1ToUtf8(report) : report;
    if (std::fwrite(shown.data(), 1, shown.size(), stdout) != shown.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "nvx report: standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace nvx::cli
