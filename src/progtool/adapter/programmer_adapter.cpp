#include "progtool/adapter/programmer_adapter.h"

#include <algorithm>
#include <cctype>

#include "platform/format.h"
#include "progtool/device_description.h"

namespace nvx::adapter {

const char kAdapterUsage[] =
    "usage: norvixosp.exe -d<part> OPERATION -cCOM<N>\n"
    "  flash write:   -d<part> -if<file> -e -pf -D<ms> -cCOM<N>\n"
    "  EEPROM write:  -d<part> -ie<file> -pe -cCOM<N>\n"
    "  EEPROM read:   -d<part> -oe<file> -re -cCOM<N>\n"
    "<part>.xml in the current directory names the part for avrdude; COM N is resolved as the\n"
    "monitor resolves it (NORVIX_COM<N>, ./com<N>, /dev/ttyS<N-1>) and used at the speed set on it.\n";

namespace {

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Decimal without sign, at most max; no overflow for any length.
bool ParseBounded(std::string_view s, uint32_t max, uint32_t& value) {
    if (!AllDigits(s)) return false;
    uint64_t v = 0;
    for (char c : s) {
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > max) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool IsIdentifier(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// avrdude splits -U on ':' and a name starting with '-' would read as an option.
bool UsableFileName(std::string_view s) {
    return !s.empty() && s.front() != '-' && s.find(':') == std::string_view::npos;
}

bool TakeFile(std::string_view value, const char* option, std::string& file, std::string& error) {
    if (!file.empty()) {
        error = Format("%s given twice", option);
        return false;
    }
    if (!UsableFileName(value)) {
        error = Format("%s needs a file name without ':' (got \"%s\")", option,
                       std::string(value).c_str());
        return false;
    }
    file = value;
    return true;
}

bool TakeFlag(const char* option, bool& flag, std::string& error) {
    if (flag) {
        error = Format("%s given twice", option);
        return false;
    }
    flag = true;
    return true;
}

}  // namespace

bool ParseAdapterArguments(const std::vector<std::string>& args, AdapterRequest& request,
                           std::string& error) {
    request = AdapterRequest{};
    bool delayGiven = false;
    for (const std::string& arg : args) {
        const std::string_view a = arg;
        if (a == "-?" || a == "-h" || a == "--help") {
            request.help = true;
            return true;
        }
        if (a.size() < 2 || a[0] != '-') {
            error = "unexpected argument \"" + arg + "\"";
            return false;
        }
        if (a.starts_with("-if")) {
            if (!TakeFile(a.substr(3), "-if", request.flashFile, error)) return false;
        } else if (a.starts_with("-ie")) {
            if (!TakeFile(a.substr(3), "-ie", request.eepromInFile, error)) return false;
        } else if (a.starts_with("-oe")) {
            if (!TakeFile(a.substr(3), "-oe", request.eepromOutFile, error)) return false;
        } else if (a == "-e") {
            if (!TakeFlag("-e", request.erase, error)) return false;
        } else if (a == "-pf") {
            if (!TakeFlag("-pf", request.programFlash, error)) return false;
        } else if (a == "-pe") {
            if (!TakeFlag("-pe", request.programEeprom, error)) return false;
        } else if (a == "-re") {
            if (!TakeFlag("-re", request.readEeprom, error)) return false;
        } else if (a.starts_with("-d")) {
            if (!request.part.empty()) {
                error = "-d given twice";
                return false;
            }
            // The name becomes a file name: nothing that could leave the current directory.
            if (!IsIdentifier(a.substr(2))) {
                error = "-d needs a part name of letters and digits (got \"" + arg + "\")";
                return false;
            }
            request.part = a.substr(2);
        } else if (a.starts_with("-D")) {
            if (delayGiven) {
                error = "-D given twice";
                return false;
            }
            if (!ParseBounded(a.substr(2), kMaxDelayMs, request.delayMs)) {
                error = Format("-D needs milliseconds from 0 to %u (got \"%s\")", kMaxDelayMs,
                               arg.c_str());
                return false;
            }
            delayGiven = true;
        } else if (a.starts_with("-c")) {
            if (request.comPort != 0) {
                error = "-c given twice";
                return false;
            }
            const std::string_view port = a.substr(2);
            const bool comWord = port.size() > 3 &&
                                 std::toupper(static_cast<unsigned char>(port[0])) == 'C' &&
                                 std::toupper(static_cast<unsigned char>(port[1])) == 'O' &&
                                 std::toupper(static_cast<unsigned char>(port[2])) == 'M';
            if (!comWord || !ParseBounded(port.substr(3), kMaxComPort, request.comPort) ||
                request.comPort == 0) {
                error = Format("-c needs COM1 to COM%u (got \"%s\")", kMaxComPort, arg.c_str());
                request.comPort = 0;
                return false;
            }
        } else {
            error = "unknown option \"" + arg + "\"";
            return false;
        }
    }

    if (request.part.empty()) {
        error = "no part given (-d<part>)";
        return false;
    }
    if (request.comPort == 0) {
        error = "no port given (-cCOM<N>)";
        return false;
    }
    struct Pair {
        bool operation;
        const std::string& file;
        const char* operationOption;
        const char* fileOption;
    };
    const Pair pairs[] = {
        {request.programFlash, request.flashFile, "-pf", "-if<file>"},
        {request.programEeprom, request.eepromInFile, "-pe", "-ie<file>"},
        {request.readEeprom, request.eepromOutFile, "-re", "-oe<file>"},
    };
    for (const Pair& p : pairs) {
        if (p.operation && p.file.empty()) {
            error = Format("%s needs %s", p.operationOption, p.fileOption);
            return false;
        }
        if (!p.operation && !p.file.empty()) {
            error = Format("%s given without %s", p.fileOption, p.operationOption);
            return false;
        }
    }
    if (!request.erase && !request.programFlash && !request.programEeprom && !request.readEeprom) {
        error = "nothing to do (-pf, -pe, -re or -e)";
        return false;
    }
    return true;
}

std::string WithCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 40);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
        out.push_back(text[i]);
    }
    return out;
}

bool ReadAvrdudePartId(std::string_view xml, std::string& partId, std::string& error) {
    std::string id;
    if (!ReadDescriptionElement(xml, "avrdudePart", id, error)) return false;
    if (!IsIdentifier(id)) {
        error = "<avrdudePart> holds no part id (\"" + id + "\")";
        return false;
    }
    partId = id;
    return true;
}

std::vector<std::string> AvrdudeArguments(const std::string& program, const AdapterRequest& request,
                                          const std::string& devicePath, uint32_t baudRate,
                                          const std::string& partId) {
    std::vector<std::string> argv = {program,   "-c", "avr109", "-P", devicePath,
                                     "-b",      std::to_string(baudRate), "-p", partId};
    if (request.readEeprom) {
        // An image of the whole EEPROM, trailing erased bytes included.
        argv.push_back("-A");
    }
    if (request.erase) argv.push_back("-e");
    if (request.programFlash) {
        argv.push_back("-U");
        argv.push_back("flash:w:" + request.flashFile + ":i");
    }
    if (request.programEeprom) {
        argv.push_back("-U");
        argv.push_back("eeprom:w:" + request.eepromInFile + ":i");
    }
    if (request.readEeprom) {
        argv.push_back("-U");
        argv.push_back("eeprom:r:" + request.eepromOutFile + ":i");
    }
    return argv;
}

int ExpectedProgressBars(const AdapterRequest& request) {
    return (request.programFlash ? 2 : 0) + (request.programEeprom ? 2 : 0) +
           (request.readEeprom ? 1 : 0);
}

std::string AvrdudeFailureCause(const std::vector<std::string>& messages) {
    // avrdude goes on failing after the first error (leaving program mode, leaving the
    // bootloader); the first error is the cause, the later ones follow from it.
    for (const std::string& message : messages) {
        std::string lower = message;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("error") == std::string::npos) continue;
        std::string cause = TrimSpace(message);
        for (const std::string_view prefix : {"avrdude error: ", "avrdude: "}) {
            if (std::string_view(cause).substr(0, prefix.size()) == prefix) {
                cause.erase(0, prefix.size());
                break;
            }
        }
        return cause;
    }
    return {};
}

namespace {

bool NamesAnError(const std::string& line) {
    return !AvrdudeFailureCause({line}).empty();
}

}  // namespace

void KeptMessages::Add(std::string line) {
    ++count_;
    if (firstErrorNumber_ == 0 && NamesAnError(line)) {
        firstError_ = line;
        firstErrorNumber_ = count_;
    }
    last_.push_back(std::move(line));
    if (last_.size() > kKeptLastLines) last_.pop_front();
}

std::vector<std::string> KeptMessages::Lines() const {
    std::vector<std::string> lines;
    const uint64_t firstKept = count_ - last_.size() + 1;
    uint64_t leftOut = firstKept - 1;
    if (firstErrorNumber_ != 0 && firstErrorNumber_ < firstKept) {
        lines.push_back(firstError_);
        --leftOut;
    }
    if (leftOut > 0)
        lines.push_back(Format("[%llu more lines of avrdude left out]",
                               static_cast<unsigned long long>(leftOut)));
    lines.insert(lines.end(), last_.begin(), last_.end());
    return lines;
}

// ---- progress

AvrdudeProgress::AvrdudeProgress(int expectedBars) : expectedBars_(expectedBars) {}

int AvrdudeProgress::BarPercent(bool& isBar, bool& complete) const {
    isBar = false;
    complete = false;
    // "<Phase> | ": a word (or words) and the bar's left edge.
    const std::size_t edge = line_.find(" | ");
    if (edge == std::string::npos || edge == 0) return 0;
    for (std::size_t i = 0; i < edge; ++i)
        if (!std::isalpha(static_cast<unsigned char>(line_[i])) && line_[i] != ' ') return 0;
    if (!std::isalpha(static_cast<unsigned char>(line_[0]))) return 0;
    isBar = true;
    std::size_t pos = edge + 3;
    int hashes = 0;
    while (pos < line_.size() && (line_[pos] == '#' || line_[pos] == ' ')) {
        if (line_[pos] == '#') ++hashes;
        ++pos;
    }
    int percent = std::min(100, hashes * 2);
    // The right edge and the figure, once drawn, are what counts.
    if (pos < line_.size() && line_[pos] == '|') {
        std::size_t digits = pos + 1;
        while (digits < line_.size() && line_[digits] == ' ') ++digits;
        std::size_t end = digits;
        while (end < line_.size() && std::isdigit(static_cast<unsigned char>(line_[end]))) ++end;
        if (end > digits && end < line_.size() && line_[end] == '%' && end - digits <= 3) {
            percent = std::min(100, std::stoi(line_.substr(digits, end - digits)));
            complete = percent == 100;
        }
    }
    return percent;
}

void AvrdudeProgress::Update(std::vector<int>& reached) {
    bool isBar = false;
    bool complete = false;
    const int percent = BarPercent(isBar, complete);
    if (!isBar || lineCounted_) return;
    if (!inBar_) {
        inBar_ = true;
        barPercent_ = 0;
    }
    barPercent_ = std::max(barPercent_, percent);
    if (complete) {
        ++completedBars_;
        inBar_ = false;
        barPercent_ = 0;
        lineCounted_ = true;
    }
    if (expectedBars_ <= 0) return;
    const int overall =
        std::min(100, (completedBars_ * 100 + (inBar_ ? barPercent_ : 0)) / expectedBars_);
    if (overall > lastReported_) {
        lastReported_ = overall;
        reached.push_back(overall);
    }
}

void AvrdudeProgress::LineEnded(char end, std::vector<std::string>& messages) {
    bool isBar = false;
    bool complete = false;
    BarPercent(isBar, complete);
    // A bar redrawn after '\r' is no news; a bar cut short by a message is.
    const bool keep = isBar ? (end == '\n' && !complete && !lineCounted_) : true;
    if (keep && !TrimSpace(line_).empty()) messages.push_back(line_);
    line_.clear();
    lineCounted_ = false;
}

std::vector<int> AvrdudeProgress::Feed(std::string_view output, std::vector<std::string>& messages) {
    std::vector<int> reached;
    for (char c : output) {
        if (c == '\n' || c == '\r') {
            LineEnded(c, messages);
            continue;
        }
        line_.push_back(c);
        if (c == '#' || c == '%') Update(reached);
    }
    return reached;
}

void AvrdudeProgress::Flush(std::vector<std::string>& messages) {
    if (!line_.empty()) LineEnded('\n', messages);
}

// ---- the program

int RunAdapter(const std::vector<std::string>& args, const AdapterSystem& system) {
    AdapterRequest request;
    std::string error;
    if (!ParseAdapterArguments(args, request, error)) {
        system.standardError(kAdapterUsage);
        system.standardError("norvixosp: " + error);
        return kExitUsage;
    }
    if (request.help) {
        system.standardOutput(kAdapterUsage);
        return 0;
    }

    const std::string path = system.resolvePort(request.comPort);
    if (path.empty()) {
        system.standardError(Format("norvixosp: COM%u leads to no device", request.comPort));
        return kExitSetup;
    }
    uint32_t baud = 0;
    if (!system.lineSpeed(path, baud, error)) {
        system.standardError(
            Format("norvixosp: COM%u (%s): %s", request.comPort, path.c_str(), error.c_str()));
        return kExitSetup;
    }
    const std::string description = request.part + ".xml";
    std::string xml;
    if (!system.readFile(description, xml)) {
        system.standardError("norvixosp: cannot read the part description " + description +
                             " in the current directory");
        return kExitSetup;
    }
    std::string partId;
    if (!ReadAvrdudePartId(xml, partId, error)) {
        system.standardError("norvixosp: " + description + ": " + error);
        return kExitSetup;
    }

    const std::vector<std::string> argv =
        AvrdudeArguments(system.avrdudeProgram, request, path, baud, partId);
    if (request.delayMs > 0) system.delay(request.delayMs);

    AvrdudeProgress progress(ExpectedProgressBars(request));
    int last = 0;
    system.standardOutput("PROGRESS 0");
    // avrdude's talk is kept back until it is known to matter: when avrdude fails.
    KeptMessages kept;
    std::vector<std::string> messages;
    const auto keep = [&] {
        for (std::string& m : messages) kept.Add(std::move(m));
        messages.clear();
    };
    const auto emit = [&](const std::vector<int>& reached) {
        for (const int percent : reached) {
            if (percent == last) continue;
            last = percent;
            system.standardOutput(Format("PROGRESS %d", percent));
        }
    };
    const int status = system.runAvrdude(
        argv,
        [&](std::string_view output) {
            emit(progress.Feed(output, messages));
            keep();
        },
        error);
    progress.Flush(messages);
    keep();
    if (status == kAvrdudePortHungUp) {
        system.standardError(Format("norvixosp: COM%u (%s): %s, avrdude ended", request.comPort,
                                    path.c_str(), error.c_str()));
        return kExitPortHungUp;
    }
    if (status < 0) {
        system.standardError("norvixosp: cannot start " + system.avrdudeProgram + ": " + error);
        return kExitNotStarted;
    }
    if (status != 0) {
        const std::vector<std::string> lines = kept.Lines();
        for (const std::string& m : lines) system.standardError(m);
        const std::string cause = AvrdudeFailureCause(lines);
        system.standardError(Format("norvixosp: avrdude ended with status %d", status) +
                             (cause.empty() ? std::string() : ": " + cause));
        return status;
    }
    if (request.readEeprom) {
        std::string image;
        if (!system.readFile(request.eepromOutFile, image)) {
            system.standardError("norvixosp: avrdude left no " + request.eepromOutFile);
            return kExitSetup;
        }
        const std::string crlf = WithCrLf(image);
        if (crlf != image && !system.writeFile(request.eepromOutFile, crlf, error)) {
            system.standardError("norvixosp: " + request.eepromOutFile + ": " + error);
            return kExitSetup;
        }
    }
    if (last < 100) system.standardOutput("PROGRESS 100");
    return 0;
}

}  // namespace nvx::adapter
