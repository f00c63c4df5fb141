#pragma once
// The COM port option of the console commands ("--port N" or "--port=N"), one rule for all.

#include <cstddef>
#include <string>
#include <vector>

namespace nvx {

// A COM port number as the console commands take it: decimal digits only, 1 to 256.
inline bool ParseComPortNumber(const std::string& text, int& port) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 256) return false;
    port = value;
    return true;
}

enum class PortOption { NotIt, Taken, Wrong };

// "--port N" or "--port=N" at args[i]: Taken with port set and i on the option's last word, or
// Wrong with error set when the number is missing or out of range.
inline PortOption TakePortOption(const std::vector<std::string>& args, std::size_t& i, int& port,
                                 std::string& error) {
    const std::string& a = args[i];
    std::string value;
    if (a == "--port") {
        if (i + 1 >= args.size()) {
            error = "--port needs a COM port number";
            return PortOption::Wrong;
        }
        value = args[++i];
    } else if (a.rfind("--port=", 0) == 0) {
        value = a.substr(7);
    } else {
        return PortOption::NotIt;
    }
    if (!ParseComPortNumber(value, port)) {
        error = "COM port number must be 1 to 256: '" + value + "'";
        return PortOption::Wrong;
    }
    return PortOption::Taken;
}

}  // namespace nvx
