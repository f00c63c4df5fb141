// A program file of any content through the conversion in every mode. Whatever is accepted must
// round-trip: NPF back to HEX gives what the copy mode gives, and every written record checks.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "progtool/program_file.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckEveryRecord(const std::string& output) {
    std::size_t at = 0;
    while (at < output.size()) {
        const std::size_t end = output.find("\r\n", at);
        Check(end != std::string::npos);
        Check(nvx::CheckHexRecord(std::string_view(output).substr(at, end - at)) == nvx::RecordFault::None);
        Check(output[at] == ':');
        at = end + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nvx;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string copied, scrambled, unscrambled, back;
    const ConversionResult copy = ConvertProgramText(input, kTransformCopy, copied);
    const ConversionResult scramble = ConvertProgramText(input, kTransformScramble, scrambled);
    const ConversionResult unscramble = ConvertProgramText(input, kTransformUnscramble, unscrambled);

    // The records are checked the same way in every mode.
    Check(copy.status == scramble.status && copy.status == unscramble.status);
    Check(copy.line == scramble.line && copy.line == unscramble.line);
    if (!copy.ok()) {
        Check(copied.empty() && scrambled.empty() && unscrambled.empty());
        Check(copy.line > 0 && copy.fault != RecordFault::None && !copy.message.empty());
        return 0;
    }
    CheckEveryRecord(copied);
    CheckEveryRecord(scrambled);
    CheckEveryRecord(unscrambled);
    Check(copied.size() == scrambled.size() && copied.size() == unscrambled.size());

    // HEX -> NPF -> HEX gives the normalised input; NPF -> HEX -> NPF as well.
    Check(ConvertProgramText(scrambled, kTransformUnscramble, back).ok());
    Check(back == copied);
    Check(ConvertProgramText(unscrambled, kTransformScramble, back).ok());
    Check(back == copied);
    return 0;
}
