#pragma once
// printf formatting into a std::string, so "%04X" and friends mean exactly what they say.

#include <string>
#include <string_view>

namespace nvx {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// s without the white space at either end.
std::string TrimSpace(std::string_view s);

// A directory with the '/' a file name can be appended to (one only).
std::string WithTrailingSlash(std::string dir);

}  // namespace nvx
