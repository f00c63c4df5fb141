#pragma once
// The command line: a table of switches, and the process-wide settings the known ones set.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nvx {

// Key as written (prefix included, case-sensitive) -> its values; every key has at least one
// value, possibly empty.
using CommandLineSwitches = std::map<std::string, std::vector<std::string>>;

// Thrown by GetSwitchValue for a key or index that is not there.
class SwitchLookupError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

// At least 2 characters, "-" or "/" first, no decimal digit second: "/T" and "--help" are keys,
// "-2" and "/" are values. A "/" token holding another "/" is an absolute path, so a value.
bool IsSwitchToken(const std::string& text);

// Clears the map and fills it from argv[1..argc-1]; returns the number of keys. A key takes the
// next argument as its first value unless that is a key too; further values are appended to the
// last key seen; a repeated key keeps its first entry.
int ParseSwitches(CommandLineSwitches& switches, int argc, const char* const* argv);

bool HasSwitch(const CommandLineSwitches& switches, const std::string& key);
const std::string& GetSwitchValue(const CommandLineSwitches& switches, const std::string& key,
                                  std::size_t index);

// Decimal text to a number the way the C library reads it (leading blanks and a sign, stops at
// the first non-digit, 0 when there is no number), held to the int32_t range.
int32_t ReadSwitchNumber(const std::string& text);

// Sets the shell settings from "/T", "/E", "/W", "/C", "/P", "/D", "/A" in that order. False when
// a value lookup failed or a value is refused (a COM port outside 1 to 256): the process must end
// at once with exit code -1. A refusal is told in refusal, a line for the user.
bool EvaluateSwitches(const CommandLineSwitches& switches, std::string* refusal = nullptr);

// What "--help" (the usage of every switch) or "--version" print; nothing when neither is on the
// command line. The monitor prints it and exits with 0 before it starts.
std::optional<std::string> InfoSwitchText(int argc, const char* const* argv);

}  // namespace nvx
