#include "platform/format.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace nvx {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n));
        std::vsnprintf(out.data(), out.size() + 1, format, args);
    }
    va_end(args);
    return out;
}

std::string TrimSpace(std::string_view s) {
    const auto notSpace = [](char c) { return !std::isspace(static_cast<unsigned char>(c)); };
    const auto b = std::find_if(s.begin(), s.end(), notSpace);
    const auto e = std::find_if(s.rbegin(), s.rend(), notSpace).base();
    return b < e ? std::string(b, e) : std::string();
}

std::string WithTrailingSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

}  // namespace nvx
