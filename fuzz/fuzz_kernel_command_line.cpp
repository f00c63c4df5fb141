// `nvx kernel` arguments from arbitrary bytes (separated by NUL bytes), and every argument also
// as a Parameter text, checked against the C library's own number parse.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "kernel_api/kernel_api.h"
#include "kernel_api/kernel_console.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// The same rule through strtoull: a sign, then a digit, then everything consumed in base 0.
std::optional<int32_t> Reference(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    if (text.find('\0') != std::string::npos) return std::nullopt;
    const char* begin = text.c_str() + i;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(begin, &end, 0);
    if (errno == ERANGE || *end != '\0' || v > 0xFFFFFFFFull) return std::nullopt;
    uint32_t u = static_cast<uint32_t>(v);
    if (negative) u = 0u - u;
    return static_cast<int32_t>(u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);

    for (const std::string& a : args) {
        Check(nvx::ParseKernelParameter(a) == Reference(a));
        const auto field = nvx::ParseFieldInteger(a);
        if (field) Check(nvx::ParseFieldInteger(std::to_string(*field)) == field);
    }

    nvx::KernelCommandLine line;
    std::string error;
    if (nvx::ParseKernelCommandLine(args, line, error)) {
        Check(error.empty());
        if (!line.help) Check(line.port >= 1 && line.port <= 256);
        if (!line.help && line.action == nvx::KernelAction::Command) {
            Check(line.row > 0 && line.row < static_cast<int>(nvx::KernelCommandTable.size()));
            Check(!nvx::KernelCommandTable[static_cast<size_t>(line.row)].separator);
            Check(line.parameterText.empty() || nvx::ParseKernelParameter(line.parameterText));
        }
        if (!line.help && line.action == nvx::KernelAction::Version) Check(line.selector <= 2);
    } else {
        Check(!error.empty());
    }
    return 0;
}
