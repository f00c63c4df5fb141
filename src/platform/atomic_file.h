#pragma once
// Whole-file reads and writes. A write replaces a file in one step: readers see either the old
// file or the complete new one, and a failed write never leaves a truncated file behind.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvx {

// How a refusal of what is no regular file ends: "<path>: not a regular file".
inline constexpr const char* kNotRegularFileText = ": not a regular file";

// Follows a chain of symbolic links to the path they finally name (which need not exist yet),
// so that the file behind a link is written and the link stays. False (err set) on a loop or an
// unreadable link.
bool FollowLinks(const std::string& path, std::string& target, int& err);

// Writes bytes to a fresh file beside path and renames it onto path. On failure nothing under
// path changes, no temporary file is left, and error (when given) holds a one-line reason.
// A symbolic link is followed: the file it names is replaced and the link stays. What is not a
// regular file (a FIFO, a device) is written in place, never replaced; so is an existing file in
// a directory where no new file can be made (written in place, it may be left half written).
bool WriteFileAtomically(const std::string& path, std::string_view bytes,
                         std::string* error = nullptr);

// Whether WriteFileAtomically could write path now: false with a one-line reason when path is
// a directory or a file that may not be written, or when it does not exist and its directory
// is missing or takes no new file.
bool CanWriteFile(const std::string& path, std::string* error = nullptr);

// Writes bytes to a file that does not exist yet; fails (EEXIST) rather than replace one.
bool WriteNewFile(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Reads a whole regular file into bytes. Returns false (bytes unchanged, error holding a one-line
// reason) when it cannot be opened or read, when it is no regular file (a directory, a FIFO, a
// device: never waited on), or when it holds more than maxBytes.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error = nullptr,
                   std::size_t maxBytes = SIZE_MAX);

}  // namespace nvx
