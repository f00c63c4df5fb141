// nvx convert: HEX to NPF and back, as "Convert HEX to NPF" does, with every record checked.

#include <cstdio>
#include <string>

#include "cli/cli_command.h"
#include "platform/command_line.h"
#include "progtool/program_file.h"

namespace nvx::cli {

namespace {

void PrintConvertUsage(FILE* out) {
    std::fputs(
        "usage: nvx convert IN.hex [-o OUT.npf]\n"
        "       nvx convert --to-hex IN.npf -o OUT.hex\n"
        "\n"
        "Scrambles an Intel HEX program file into a Norvix program file (NPF); without -o the\n"
        "output is IN with the characters after its last '.' replaced by \"npf\". With --to-hex\n"
        "an NPF file is turned back into plain Intel HEX.\n"
        "\n"
        "Every record is checked (hexadecimal digits, byte count, checksum, at most 253\n"
        "characters); a damaged record rejects the whole file and nothing is written.\n"
        "Options may stand anywhere; \"--\" ends them.\n"
        "Exit status: 0 done, 1 file error or damaged record, 2 wrong usage.\n",
        out);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "nvx convert: %s\n", message.c_str());
    std::fputs("Try 'nvx convert --help'.\n", stderr);
    return 2;
}

const KnownOption kToHexOption{"--to-hex", nullptr, false};
const KnownOption kOutputOption{"--output", "-o", true};

}  // namespace

int RunConvert(const Args& args) {
    CommandLine line;
    std::string error;
    if (!SplitCommandLine(args, {kHelpOption, kToHexOption, kOutputOption}, line, error))
        return UsageError(error);
    if (line.has(kHelpOption.name)) {
        PrintConvertUsage(stdout);
        return 0;
    }
    const bool toHex = line.has(kToHexOption.name);
    const bool outputGiven = line.has(kOutputOption.name);
    std::string output = line.value(kOutputOption.name);
    if (line.count(kOutputOption.name) > 1) return UsageError("-o given twice");
    if (outputGiven && output.empty()) return UsageError("empty output file name");
    if (line.operands.size() > 1) return UsageError("more than one input file");
    const std::string input = line.operands.empty() ? std::string() : line.operands[0];
    if (input.empty()) return UsageError("no input file given");
    if (!outputGiven) {
        if (toHex) return UsageError("--to-hex needs -o OUT.hex");
        if (!HasHexExtension(input))
            return UsageError(input + ": file extension not ok (not .hex); name the output with -o");
        output = NpfOutputPath(input);
    }

    const ConversionResult r =
        ConvertProgramFile(input, output, toHex ? kTransformUnscramble : kTransformScramble);
    if (!r.ok()) {
        std::fprintf(stderr, "nvx convert: %s%s\n", r.message.c_str(),
                     r.status == ConversionStatus::Damaged ? " (nothing written)" : "");
        return 1;
    }
    return 0;
}

}  // namespace nvx::cli
