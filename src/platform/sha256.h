#pragma once
// SHA-256 digests, written as 64 lower-case hex digits.

#include <string>
#include <string_view>

namespace nvx {

std::string Sha256Hex(std::string_view bytes);

// The digest of a whole file; false (digest unchanged, error set) when it cannot be read.
bool FileSha256Hex(const std::string& path, std::string& digest, std::string* error = nullptr);

}  // namespace nvx
