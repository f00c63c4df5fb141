#include "kernel_api/kernel_console.h"

#include "journal/service_journal.h"
#include "platform/command_line.h"
#include "platform/format.h"
#include "platform/text_encoding.h"

namespace nvx {

const char kKernelUsage[] =
    "usage: nvx kernel [--port N] [--yes] LABEL [P]\n"
    "       nvx kernel [--port N] version hardware|norvix|application\n"
    "       nvx kernel [--port N] slot NUMBER\n"
    "       nvx kernel [--port N] timer NUMBER\n"
    "       nvx kernel [--port N] bytes\n"
    "       nvx kernel [--port N] tunnel on|off\n"
    "       nvx kernel [--port N] test\n"
    "\n"
    "Sends one kernel API request on COM port N (1 to 256, default 1) and prints its outcome.\n"
    "LABEL is a command of the list, spelt as listed: Reset Reboot BootloadStart MonitorStart\n"
    "EepromClear TuvOpen TuvClose TuvTunnel AnzCode AnzFlagOn AnzFlagOff AnzFlagToggle\n"
    "ErrorSet ErrorModNum ErrorDate ErrorClear ResetCondition BootNumber RtimeErrorFlags\n"
    "EepromRead HardwareCode ProductionStatus ProductionDate ConfigCode Null.\n"
    "P is its parameter (decimal, 0x hexadecimal or 0 octal; 0 when left out): -128 to 255 for a\n"
    "command that sends a byte, -32768 to 65535 otherwise. Slots and timers are 0 to 255.\n"
    "Options may stand anywhere; \"--\" ends them.\n"
    "Commands that overwrite EEPROM data ask first; --yes answers OK, and without a terminal\n"
    "to ask on such a command is refused unless --yes is given.\n"
    "--latin1 writes the output as ISO 8859-1 bytes instead of UTF-8.\n"
    "Exit status: 0 on an \"I>\" outcome or a shown result, 1 after an \"E>\" line or when\n"
    "the question was cancelled, 2 on wrong usage.\n";

namespace {

// Slots and timers are numbered by one byte of the request.
constexpr int32_t kLastSlotOrTimer = 255;

struct ParameterRange {
    int32_t min;
    int32_t max;
};

// What P may be for a command that sends it as a byte or a word, signed or not; a command that
// sends none still takes no more than the field's word.
ParameterRange RangeOf(ParamMode mode) {
    switch (mode) {
        case ParamMode::Byte: return {-128, 255};
        case ParamMode::Word:
        case ParamMode::None: break;
    }
    return {-32768, 65535};
}

bool Expect(const std::vector<std::string>& words, std::size_t extra, std::string& error) {
    if (words.size() - 1 == extra) return true;
    error = words[0] + (extra == 0 ? " takes no further arguments" : " takes one argument");
    return false;
}

}  // namespace

bool ParseKernelCommandLine(const std::vector<std::string>& args, KernelCommandLine& out,
                            std::string& error) {
    out = KernelCommandLine{};
    CommandLine line;
    if (!SplitCommandLine(args, {kHelpOption, kPortOption, kLatin1Option, kYesOption}, line, error))
        return false;
    if (line.has(kHelpOption.name)) {
        out.help = true;
        return true;
    }
    if (!ComPortFromCommandLine(line, out.port, error)) return false;
    out.yes = line.has(kYesOption.name);
    out.latin1 = line.has(kLatin1Option.name);
    const std::vector<std::string>& words = line.operands;
    if (words.empty()) {
        error = "say which command to send (a LABEL, version, slot, timer, bytes, tunnel or test)";
        return false;
    }
    const std::string& word = words[0];
    if (word == "version") {
        if (!Expect(words, 1, error)) return false;
        static const char* const kSelectors[] = {"hardware", "norvix", "application"};
        for (uint32_t s = 0; s < 3; ++s) {
            if (words[1] == kSelectors[s]) {
                out.action = KernelAction::Version;
                out.selector = s;
                return true;
            }
        }
        error = "version takes hardware, norvix or application: '" + words[1] + "'";
        return false;
    }
    if (word == "slot" || word == "timer") {
        if (!Expect(words, 1, error)) return false;
        const std::optional<int32_t> n = ParseFieldInteger(words[1]);
        if (!n) {
            error = word + " number must be an integer: '" + words[1] + "'";
            return false;
        }
        if (*n < 0 || *n > kLastSlotOrTimer) {
            error = Format("%s number must be 0 to %d: '%s'", word.c_str(), kLastSlotOrTimer,
                           words[1].c_str());
            return false;
        }
        out.action = word == "slot" ? KernelAction::Slot : KernelAction::Timer;
        out.number = *n;
        return true;
    }
    if (word == "bytes" || word == "test") {
        if (!Expect(words, 0, error)) return false;
        out.action = word == "bytes" ? KernelAction::Bytes : KernelAction::Test;
        return true;
    }
    if (word == "tunnel") {
        if (!Expect(words, 1, error)) return false;
        if (words[1] != "on" && words[1] != "off") {
            error = "tunnel takes on or off: '" + words[1] + "'";
            return false;
        }
        out.action = words[1] == "on" ? KernelAction::TunnelOn : KernelAction::TunnelOff;
        return true;
    }
    const int row = FindKernelCommand(word);
    if (row < 0) {
        error = "unknown command '" + word + "' (labels are spelt as listed, see --help)";
        return false;
    }
    if (words.size() > 2) {
        error = word + " takes at most one parameter";
        return false;
    }
    out.action = KernelAction::Command;
    out.row = row;
    if (words.size() == 2) {
        // The window would log this; on a command line it is wrong usage, found before the port
        // is opened.
        const std::optional<int32_t> p =
            words[1].empty() ? std::optional<int32_t>(0) : ParseKernelParameter(words[1]);
        if (!p) {
            error = "parameter is not a number: '" + words[1] + "'";
            return false;
        }
        // The request carries only its low bits: a larger number would send another one.
        const ParameterRange range = RangeOf(KernelCommandTable[static_cast<std::size_t>(row)].mode);
        if (*p < range.min || *p > range.max) {
            error = Format("%s takes P from %d to %d: '%s'", word.c_str(), range.min, range.max,
                           words[1].c_str());
            return false;
        }
        out.parameterText = words[1];
    }
    return true;
}

ConsoleKernel::ConsoleKernel(MonitorShell& session, ConsoleQuestions questions)
    : session_(session), asker_(questions) {}

MessageAnswer ConsoleKernel::ask(const std::string& text, MessageIcon, MessageButtons buttons) {
    return asker_.ask(text, buttons);
}

void ConsoleKernel::AppendMonitorLog(std::string message) {
    if (!message.empty() && message[0] == 'E') sawError_ = true;
    if (!message.empty() && message[0] == 'I') sawInformation_ = true;
    session_.AppendMonitorLog(std::move(message));
}

void IssueKernelAction(KernelApi& api, const KernelCommandLine& line) {
    switch (line.action) {
        case KernelAction::Command:
            api.fields().commandRow = line.row;
            api.fields().parameterText = line.parameterText;
            api.OnSendCommand();
            break;
        case KernelAction::Version: api.OnVersionButton(line.selector); break;
        case KernelAction::Slot:
            api.fields().slotNumber = line.number;
            api.OnSlotButton();
            break;
        case KernelAction::Timer:
            api.fields().timerNumber = line.number;
            api.OnTimerButton();
            break;
        case KernelAction::Bytes: api.OnBytesButton(); break;
        case KernelAction::TunnelOn: api.OnTunnelOn(); break;
        case KernelAction::TunnelOff: api.OnTunnelOff(); break;
        case KernelAction::Test: api.OnTestCommunication(); break;
    }
}

bool KernelWorkFinished() {
    return KernelWindowState != kKernelWindowBusy && KernelRequestState == kKernelRequestIdle;
}

std::string KernelResultText(const KernelCommandLine& line, const KernelApiFields& fields) {
    switch (line.action) {
        case KernelAction::Command:
        case KernelAction::TunnelOn:
        case KernelAction::TunnelOff:
        case KernelAction::Test:
            if (fields.returnCodeDecimal.empty()) return {};
            return "Returncode: " + fields.returnCodeDecimal + " " + fields.returnCodeHex;
        case KernelAction::Version: {
            static const char* const kNames[] = {"Hardware", "Norvix", "Application"};
            const std::string& value = line.selector == kKernelVersionHardware ? fields.hardwareVersion
                                       : line.selector == kKernelVersionNorvix
                                           ? fields.norvixVersion
                                           : fields.applicationVersion;
            if (value == "unknown" || line.selector > 2) return {};
            return Format("%s: %s", kNames[line.selector], value.c_str());
        }
        case KernelAction::Slot: return fields.slotResult;
        case KernelAction::Timer: return fields.timerResult;
        case KernelAction::Bytes: return fields.bytesResult;
    }
    return {};
}

int KernelExitStatus(const ConsoleKernel& console, const std::string& resultText) {
    if (console.refused()) return 2;
    if (console.sawError()) return 1;
    if (console.sawInformation() || !resultText.empty()) return 0;
    return 1;
}

}  // namespace nvx
