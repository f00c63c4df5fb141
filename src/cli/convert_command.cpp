// nvx convert: HEX to NPF and back, as "Convert HEX to NPF" does, with every record checked.

#include <cstdio>
#include <string>

#include "cli/cli_command.h"
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
        "Exit status: 0 done, 1 file error or damaged record, 2 wrong usage.\n",
        out);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "nvx convert: %s\n", message.c_str());
    std::fputs("Try 'nvx convert --help'.\n", stderr);
    return 2;
}

}  // namespace

int RunConvert(const Args& args) {
    std::string input, output;
    bool toHex = false, outputGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintConvertUsage(stdout);
            return 0;
        } else if (a == "--to-hex") {
            toHex = true;
        } else if (a == "-o" || a == "--output") {
            if (outputGiven) return UsageError("-o given twice");
            if (i + 1 >= args.size()) return UsageError(a + " needs a file name");
            output = args[++i];
            outputGiven = true;
            if (output.empty()) return UsageError("empty output file name");
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("unknown option '" + a + "'");
        } else if (input.empty()) {
            input = a;
        } else {
            return UsageError("more than one input file");
        }
    }
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
