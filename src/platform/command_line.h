#pragma once
// The one rule for the arguments of the console commands, as a Linux command takes them: options
// anywhere on the line, "--" ends them, a value after the option or joined by "=". A word that
// begins with "-" and a digit ("-5") is a number, not an option, and "-" alone is an operand.

#include <cstddef>
#include <string>
#include <vector>

namespace nvx {

struct KnownOption {
    const char* name;       // "--port"
    const char* shortName;  // "-o", or nullptr
    bool takesValue;
};

// The options shared by the commands.
inline constexpr KnownOption kHelpOption{"--help", "-h", false};
inline constexpr KnownOption kPortOption{"--port", nullptr, true};
// Answers the question a command asks before it overwrites data.
inline constexpr KnownOption kYesOption{"--yes", "-y", false};
// Text goes out as UTF-8 unless this asks for the raw ISO 8859-1 bytes.
inline constexpr KnownOption kLatin1Option{"--latin1", nullptr, false};

class CommandLine {
public:
    struct Given {
        std::string name;  // the option's long name, whichever spelling was used
        std::string value;
    };
    std::vector<Given> options;          // in the order given
    std::vector<std::string> operands;   // everything else, in order

    bool has(const char* name) const { return count(name) > 0; }
    std::size_t count(const char* name) const;
    // The value of the last occurrence; empty when not given.
    std::string value(const char* name) const;
};

// False with a message for the user in error on an unknown option, a missing value or a value
// given to an option that takes none.
bool SplitCommandLine(const std::vector<std::string>& args, const std::vector<KnownOption>& known,
                      CommandLine& out, std::string& error);

// A COM port number as the console commands take it: decimal digits only, 1 to 256.
bool ParseComPortNumber(const std::string& text, int& port);

// The COM port of --port (1 to 256); 1 when the option is not given. False with a message in
// error on a bad number.
bool ComPortFromCommandLine(const CommandLine& line, int& port, std::string& error);

}  // namespace nvx
