// The programmer's run inside the update procedure: its arguments, its time limit, its progress
// and what its ending means for the device and the files.

#include "progtool/programmer_run.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "comm/tick.h"
#include "platform/atomic_file.h"
#include "platform/format.h"
#include "platform/sha256.h"
#include "progtool/device_catalogue.h"
#include "progtool/device_description.h"
#include "progtool/program_file.h"
#include "progtool/update_procedure.h"

namespace nvx {

std::vector<std::string> ProgrammerArguments(uint32_t operation, const DeviceSelection& selection,
                                             int32_t comPortNumber) {
    const std::string port = Format("-cCOM%d", comPortNumber);
    switch (operation) {
    case kOperationProgram:
        return {kProgrammerArgument0, selection.programmerDevice, "-iftemp.ntf", "-e", "-pf",
                ProgrammerDelayOption(selection.ProgrammerDelayFlag), port};
    case kOperationEepromWrite:
        return {kProgrammerArgument0, selection.programmerDevice, "-ietemp.hex", "-pe", port};
    case kOperationEepromRead:
        return {kProgrammerArgument0, selection.programmerDevice, "-oetemp.hex", "-re", port};
    default:
        return {kProgrammerArgument0};
    }
}

uint32_t ProgrammerTimeLimitMs(uint32_t transferBytes, int32_t baudRate) {
    const uint64_t baud = baudRate > 0 ? static_cast<uint64_t>(baudRate) : 1;
    const uint64_t wireMs =
        (2ull * transferBytes * kBitsPerByteOnTheWire * 1000 + baud - 1) / baud;
    const uint64_t limit = kProgrammerMarginMs + kProgrammerWireFactor * wireMs;
    return limit > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(limit);
}

std::string ReportedChipSignature(std::string_view line) {
    constexpr std::string_view kSignature = "signature = 0x";
    std::string lower(line);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower.find(kSignature);
    if (at == std::string::npos) return {};
    const std::string_view digits = std::string_view(lower).substr(at + kSignature.size(), 6);
    if (digits.size() != 6 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(c) != 0; }))
        return {};
    std::string signature;
    for (std::size_t i = 0; i < 6; i += 2) {
        if (i != 0) signature += ' ';
        for (char c : digits.substr(i, 2))
            signature += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return signature;
}

std::string PartNameForSignature(std::string_view signature) {
    for (const DeviceEntry& entry : DeviceCatalogue()) {
        if (entry.kind != DeviceRowKind::Device) continue;
        std::string xml, value, name, error;
        if (!ReadWholeFile(StartDirectory + DeviceDescriptionFileName(entry.chip), xml) ||
            !ReadDescriptionElement(xml, "signature", value, error) ||
            !ReadDescriptionElement(xml, "name", name, error))
            continue;
        for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (value == signature) return name;
    }
    return {};
}

std::string PlainProgrammerFailure(std::string_view reason, std::string_view connectedChip) {
    std::string lower(reason);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto has = [&](std::string_view words) { return lower.find(words) != std::string::npos; };
    constexpr std::string_view kExpected = "expected signature for ";
    if (const std::size_t at = lower.find(kExpected); at != std::string::npos) {
        const std::size_t from = at + kExpected.size();
        const std::size_t to = lower.find(" is", from);
        const std::string chip(reason.substr(from, to == std::string::npos ? to : to - from));
        if (!connectedChip.empty())
            return "The connected chip is an " + std::string(connectedChip) +
                   ", the chosen device needs an " + chip +
                   ": choose the device that is connected, or connect the device chosen.";
        return "The connected chip is not the " + chip +
               " the chosen device needs: choose the device that is connected, or connect the "
               "device chosen.";
    }
    if (has("cannot start avrdude"))
        return "The programmer avrdude is not installed: install it (package avrdude).";
    if (has("not responding") || has("initialization failed") || has("timeout") ||
        has("timed out"))
        return "No bootloader answers: check the cable and the port number, start the device's "
               "bootloader by hand if the tool asks for it, and try again.";
    if (has("leads to no device") || has("no such file or directory"))
        return "There is no port with this number: check the port number and the cable.";
    if (has("busy"))
        return "Another program holds the port: close it and try again.";
    if (has("permission denied"))
        return "This user may not open the port: add the user to the group dialout, log in "
               "again and try again.";
    return {};
}

uint32_t ProgrammerTimeLimitForRunMs(uint32_t transferBytes, int32_t baudRate) {
    if (const char* text = std::getenv(kProgrammerLimitVariable); text && *text) {
        char* end = nullptr;
        errno = 0;
        const unsigned long seconds = std::strtoul(text, &end, 10);
        if (*end == '\0' && errno == 0 && text[0] != '-' && seconds >= 1 &&
            seconds <= UINT32_MAX / 1000)
            return static_cast<uint32_t>(seconds * 1000);
    }
    return ProgrammerTimeLimitMs(transferBytes, baudRate);
}

bool IsCompleteHexImage(const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (line.front() != ':' || CheckHexRecord(line) != RecordFault::None) return false;
        // Record type: the byte after count and address.
        if (line.substr(7, 2) == "01") return true;
    }
    return false;
}

void UpdateProcedure::FailProgrammer(const std::string& reason) {
    detail = reason;
    ReportProgToolMessage(kMsgCommandProgrammer);
    programmerFailed_ = true;
}

bool UpdateProcedure::ServeProgrammer() {
    if (!programmer_) {
        // A read must never hand on an image some earlier run left behind.
        if (ProgOperation == kOperationEepromRead) RemoveTempFile(kEepromTempFileName);
        readImageSha256_.clear();
        ProcessSpec launch;
        launch.program = StartDirectory + kProgrammerFileName;
        launch.arguments = ProgrammerArguments(ProgOperation, g_deviceSelection, ComPortNumber);
        launch.workingDirectory = WorkDirectory();
        progress_ = ProgressLineReader{};
        programmerErrors_ = LastLineKeeper{};
        errorLinePart_.clear();
        connectedSignature_.clear();
        programmerElapsedMs_ = 0;
        programmerLimitMs_ =
            ProgrammerTimeLimitForRunMs(transferBytes, g_deviceSelection.bootBaud);
        std::string error;
        programmer_ = Processes().Start(launch, error);
        programmerStarted_ = programmer_ != nullptr;
        if (!programmer_) {
            FailProgrammer(error);
            RemoveTempFile(ProgOperation == kOperationProgram ? kFlashTempFileName
                                                              : kEepromTempFileName);
            return true;
        }
    }
    for (const int percent : progress_.Feed(programmer_->TakeOutput()))
        host_.ShowProgrammerProgress(percent);
    NoteProgrammerErrors(programmer_->TakeErrors());
    if (!programmer_->Finished()) {
        programmerElapsedMs_ += g_tickPeriodMs;
        if (programmerElapsedMs_ < programmerLimitMs_) return false;
        ProgrammerTimedOut();
        return true;
    }
    for (const int percent : progress_.Feed(programmer_->TakeOutput()))
        host_.ShowProgrammerProgress(percent);
    NoteProgrammerErrors(programmer_->TakeErrors());
    ProgrammerDone();
    return true;
}

void UpdateProcedure::ProgrammerTimedOut() {
    programmer_.reset();  // ends it with avrdude, within seconds
    detail = std::to_string(programmerElapsedMs_ / 1000);
    ReportProgToolMessage(kMsgProgrammerTimedOut);
    ReportDeviceLeftUnfinished();
    programmerFailed_ = true;
    RemoveTempFile(ProgOperation == kOperationProgram ? kFlashTempFileName : kEepromTempFileName);
}

void UpdateProcedure::ReportDeviceLeftUnfinished() {
    // A flash write erases the chip first: cut short, no application is left to start.
    ReportProgToolMessage(ProgOperation == kOperationProgram ? kMsgFlashMayBeErased
                                                             : kMsgMayWaitInBootloader);
    // That says what to do: the ending adds no second advice.
    recoveryLogged_ = true;
}

void UpdateProcedure::KeepRecoveredImage(const std::string& image) {
    // A fresh name each time: another procedure may keep its own image beside this one.
    for (int n = 1; n <= kMaxRecoveredEepromFiles; ++n) {
        const std::string path = StartDirectory + Format(kRecoveredEepromFormat, n);
        std::string error;
        if (WriteNewFile(path, image, &error)) {
            detail = path;
            ReportProgToolMessage(kMsgEepromImageKept);
            return;
        }
        if (!std::filesystem::exists(path)) return;
    }
}

void UpdateProcedure::NoteProgrammerErrors(const std::string& text) {
    programmerErrors_.Feed(text);
    errorLinePart_ += text;
    std::size_t start = 0;
    while (start <= errorLinePart_.size()) {
        std::size_t end = errorLinePart_.find('\n', start);
        const bool complete = end != std::string::npos;
        if (!complete) end = errorLinePart_.size();
        const std::string signature =
            ReportedChipSignature(std::string_view(errorLinePart_).substr(start, end - start));
        if (!signature.empty()) connectedSignature_ = signature;
        if (!complete) break;
        start = end + 1;
    }
    errorLinePart_.erase(0, std::min(start, errorLinePart_.size()));
    // A line that never ends: its start is all a signature needs.
    if (errorLinePart_.size() > 256) errorLinePart_.resize(256);
}

void UpdateProcedure::ProgrammerDone() {
    const int exitCode = programmer_->ExitCode();
    programmer_.reset();
    if (const int32_t line = LeavingMessage(ProgOperation)) ReportProgToolMessage(line);
    if (exitCode > 128)
        FailProgrammer(Format("ended by signal %d", exitCode - 128));
    else if (exitCode != 0)
        FailProgrammer(Format("exit status %d", exitCode));
    // The programmer's own word on why: what a technician can act on.
    if (const std::string reason = programmerErrors_.Last(); exitCode != 0 && !reason.empty()) {
        shell_.AppendMonitorLog("E> " + reason);
        const std::string connected =
            connectedSignature_.empty() ? std::string() : PartNameForSignature(connectedSignature_);
        if (const std::string plain = PlainProgrammerFailure(reason, connected); !plain.empty())
            shell_.AppendMonitorLog(" > " + plain);
    }

    if (ProgOperation == kOperationProgram) {
        RemoveTempFile(kFlashTempFileName);
        return;
    }
    if (ProgOperation == kOperationEepromRead && !programmerFailed_) {
        // The EEPROM file is replaced only by a complete image, and in one step.
        std::string image;
        if (!ReadWholeFile(WorkFilePath(kEepromTempFileName), image) ||
            !IsCompleteHexImage(image)) {
            FailProgrammer("no complete temp.hex");
        } else if (std::string error; !WriteFileAtomically(eepromFilePath, image, &error)) {
            detail = error;
            ReportProgToolMessage(kMsgEepromFileUnwritable);
            KeepRecoveredImage(image);
            programmerFailed_ = true;
        } else {
            readImageSha256_ = Sha256Hex(image);
        }
    }
    RemoveTempFile(kEepromTempFileName);
}

}  // namespace nvx
