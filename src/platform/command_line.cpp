#include "platform/command_line.h"

#include <cstring>

#include "platform/com_port_names.h"

namespace nvx {

namespace {

bool IsNumber(const std::string& word) {
    return word.size() > 1 && word[0] == '-' && word[1] >= '0' && word[1] <= '9';
}

const KnownOption* FindKnownOption(const std::vector<KnownOption>& known, const std::string& word) {
    for (const KnownOption& s : known)
        if (word == s.name || (s.shortName && word == s.shortName)) return &s;
    return nullptr;
}

}  // namespace

// A COM port number as the console commands take it: decimal digits only, 1 to 256.
bool ParseComPortNumber(const std::string& text, int& port) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < kComPortFirst || value > kComPortLast) return false;
    port = value;
    return true;
}


std::size_t CommandLine::count(const char* name) const {
    std::size_t n = 0;
    for (const Given& g : options) n += g.name == name;
    return n;
}

std::string CommandLine::value(const char* name) const {
    std::string v;
    for (const Given& g : options)
        if (g.name == name) v = g.value;
    return v;
}

bool SplitCommandLine(const std::vector<std::string>& args, const std::vector<KnownOption>& known,
                      CommandLine& out, std::string& error) {
    out = CommandLine{};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            const auto rest = args.begin() + static_cast<std::ptrdiff_t>(i + 1);
            out.operands.insert(out.operands.end(), rest, args.end());
            return true;
        }
        if (word.size() < 2 || word[0] != '-' || IsNumber(word)) {
            out.operands.push_back(word);
            continue;
        }
        const std::size_t equals = word.rfind("--", 0) == 0 ? word.find('=') : std::string::npos;
        const std::string name = word.substr(0, equals);
        const KnownOption* option = FindKnownOption(known, name);
        if (!option) {
            error = "unknown option '" + name + "'";
            return false;
        }
        CommandLine::Given given{option->name, {}};
        if (equals != std::string::npos) {
            if (!option->takesValue) {
                error = name + " takes no value";
                return false;
            }
            given.value = word.substr(equals + 1);
        } else if (option->takesValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            given.value = args[++i];
        }
        out.options.push_back(std::move(given));
    }
    return true;
}

bool ComPortFromCommandLine(const CommandLine& line, int& port, std::string& error) {
    port = 1;
    if (!line.has(kPortOption.name)) return true;
    const std::string value = line.value(kPortOption.name);
    if (!ParseComPortNumber(value, port)) {
        error = "COM port number must be 1 to 256: '" + value + "'";
        return false;
    }
    return true;
}

}  // namespace nvx
