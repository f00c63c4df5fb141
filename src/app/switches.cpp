#include "app/switches.h"

#include <limits>

#include "shell/shell.h"

namespace nvx {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int32_t Clamp32(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// ISO 8859-1 lower case: A-Z and the accented capitals (not the multiplication sign).
std::string ToLowerLatin1(std::string text) {
    for (char& ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
            ch = static_cast<char>(c + 0x20);
    }
    return text;
}

const char kMonitorVersionText[] = "Norvix PC Monitor " NVX_VERSION;

const char kUsage[] =
    "Usage: norvix-monitor [/T] [/E] [/W n] [/C n] [/P file] [/D device] [/A]\n"
    "\n"
    "  /T          technician mode: \"Convert HEX to NPF\" in the Programming Tool, all\n"
    "              program files offered, header section in the Error Memory report,\n"
    "              \"Write EEPROM\" enabled\n"
    "  /E          enable \"Write EEPROM\"\n"
    "  /W n        wait n x 100 timer ticks at each wait of the firmware update\n"
    "              (default 2)\n"
    "  /C n        use COM port n instead of the one in monitor.ini\n"
    "  /P file     preselect this program file in the Programming Tool\n"
    "  /D device   preselect this device (file stem, e.g. solreg) in the Programming Tool\n"
    "  /A          automatic update: open the port, update the device, then end\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Switches are case-sensitive and written with \"/\" exactly as shown; a value follows its\n"
    "switch as the next argument. COM port n is the device named by the variable\n"
    "NORVIX_COMn, else the link or device comn in the start directory, else /dev/ttyS(n-1).\n";

}  // namespace

bool IsSwitchToken(const std::string& text) {
    if (text.size() < 2 || (text[0] != '-' && text[0] != '/') || IsDigit(text[1])) return false;
    // On Linux "/P /home/me/fw.hex" must keep its file: a second slash makes an absolute path.
    return text[0] == '-' || text.find('/', 1) == std::string::npos;
}

int ParseSwitches(CommandLineSwitches& switches, int argc, const char* const* argv) {
    switches.clear();
    std::string current;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        if (IsSwitchToken(arg)) {
            current = arg;
            std::string first;
            if (i + 1 < argc && argv[i + 1] && !IsSwitchToken(argv[i + 1])) first = argv[++i];
            switches.emplace(current, std::vector<std::string>{first});  // first occurrence wins
        } else {
            auto it = switches.find(current);
            if (it != switches.end()) it->second.push_back(arg);
        }
    }
    return static_cast<int>(switches.size());
}

bool HasSwitch(const CommandLineSwitches& switches, const std::string& key) {
    return switches.count(key) != 0;
}

const std::string& GetSwitchValue(const CommandLineSwitches& switches, const std::string& key,
                                  std::size_t index) {
    auto it = switches.find(key);
    if (it == switches.end()) throw SwitchLookupError("no switch " + key);
    if (index >= it->second.size())
        throw SwitchLookupError("switch " + key + " has no value " + std::to_string(index));
    return it->second[index];
}

int32_t ReadSwitchNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Saturates instead of overflowing: a long digit string is a number too large, not garbage.
    int64_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        if (value <= int64_t{1} << 40) value = value * 10 + (text[i] - '0');
    }
    return Clamp32(negative ? -value : value);
}

bool EvaluateSwitches(const CommandLineSwitches& switches) {
    try {
        if (HasSwitch(switches, "/T")) {
            ShowHexConversion = 1;
            ReportHeaderDetails = 1;
            OfferHexFiles = 1;
            EepromWriteEnabled = 1;
        }
        if (HasSwitch(switches, "/E")) EepromWriteEnabled = 1;
        if (HasSwitch(switches, "/W"))
            StepWait = Clamp32(int64_t{ReadSwitchNumber(GetSwitchValue(switches, "/W", 0))} * 100);
        if (HasSwitch(switches, "/C"))
            SwitchComPort = ReadSwitchNumber(GetSwitchValue(switches, "/C", 0));
        if (HasSwitch(switches, "/P")) PresetProgramFile = GetSwitchValue(switches, "/P", 0);
        if (HasSwitch(switches, "/D")) DeviceStem = ToLowerLatin1(GetSwitchValue(switches, "/D", 0));
        if (HasSwitch(switches, "/A")) AutoStartState = kAutoStartRequested;
    } catch (const SwitchLookupError&) {
        return false;
    }
    return true;
}

std::optional<std::string> InfoSwitchText(int argc, const char* const* argv) {
    CommandLineSwitches switches;
    ParseSwitches(switches, argc, argv);
    if (HasSwitch(switches, "--help")) return std::string(kUsage);
    if (HasSwitch(switches, "--version")) return std::string(kMonitorVersionText) + "\n";
    return std::nullopt;
}

}  // namespace nvx
