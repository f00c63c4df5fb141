#pragma once
// Whole-file reads and writes. A write replaces a file in one step: readers see either the old
// file or the complete new one, and a failed write never leaves a truncated file behind.

#include <string>
#include <string_view>

namespace nvx {

// Writes bytes to a fresh file beside path and renames it onto path. On failure nothing under
// path changes, no temporary file is left, and error (when given) holds a one-line reason.
bool WriteFileAtomically(const std::string& path, std::string_view bytes,
                         std::string* error = nullptr);

// Reads a whole file into bytes. Returns false (bytes unchanged, error holding a one-line reason)
// when it cannot be opened or read, a directory included.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error = nullptr);

}  // namespace nvx
