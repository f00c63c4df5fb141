#pragma once
// printf formatting into a std::string, so "%04X" and friends mean exactly what they say.

#include <string>

namespace nvx {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nvx
