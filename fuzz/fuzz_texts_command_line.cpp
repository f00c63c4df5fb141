// `nvx texts` arguments and the terminal text they carry: NUL-separated words.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "texts/texts_console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    nvx::TextsCommandLine cmd;
    std::string error;
    const bool ok = nvx::ParseTextsCommandLine(args, cmd, error);
    if (!ok && error.empty()) __builtin_trap();
    if (ok && !cmd.help && (cmd.port < 1 || cmd.port > 256)) __builtin_trap();

    for (const std::string& word : args) {
        const std::string latin1 = nvx::Utf8ToLatin1(word);
        // One character per sequence at most, and a clean round trip through the terminal.
        if (latin1.size() > word.size()) __builtin_trap();
        if (nvx::Utf8ToLatin1(nvx::Latin1ToUtf8(latin1)) != latin1) __builtin_trap();
    }
    return 0;
}
