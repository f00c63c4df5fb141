#pragma once
// What the update procedure tells the technician: its message codes and their log lines.

#include <cstdint>
#include <string>

namespace nvx {

enum ProgOperationValue : uint32_t {
    kOperationNone = 0,
    kOperationProgram = 1,
    kOperationEepromWrite = 2,
    kOperationEepromRead = 3,
};

// The procedure's request identifier; the wrong-format line names it.
constexpr uint32_t kUpdateRequestId = 0x0080;

// Codes of ReportProgToolMessage.
enum ProgToolMessage : int32_t {
    kMsgComPortNotOpen = 1,
    kMsgCommandInProgress = 3,
    kMsgErrorInitiating = 4,
    kMsgNoReplyFromKernel = 5,
    kMsgWrongFormat = 7,
    kMsgProgramFileNotFound = 10,
    kMsgNoDeviceSet = 11,
    kMsgCommandMode = 12,
    kMsgBootloaderNotActive = 13,
    kMsgCommandProgrammer = 14,
    kMsgLeavingProgramMode = 15,
    kMsgNoReplyToApiCommand = 16,
    kMsgBootloaderStarted = 20,
    kMsgBootloaderActive = 21,
    kMsgDeviceRestarted = 22,
    kMsgConnected = 23,
    kMsgDisconnected = 24,
    kMsgUpdateFinished = 25,
    kMsgUpdateAborted = 26,
    kMsgCannotReopenCom = 27,
    kMsgLeavingEepromReadMode = 28,
    kMsgLeavingEepromProgramMode = 29,
    kMsgEepromFileNotDefined = 30,
    kMsgCannotOpenEepromFile = 31,
    kMsgWriteFinished = 32,
    kMsgWriteAborted = 33,
    kMsgReadFinished = 34,
    kMsgReadAborted = 35,
    kMsgAutostartActive = 36,
    kMsgProgramFileDamaged = 37,  // names the line kept by the Program command
    kMsgWorkFilesInUse = 38,
    kMsgWorkFileChosen = 39,      // the detail names the work file
    // The firmware is checked against the part before anything reaches the device.
    kMsgProgramFileEmpty = 40,
    kMsgProgramFileTooLarge = 41,       // detail: the part and the two ends
    kMsgPartDescriptionUnreadable = 42, // a note, not a refusal; detail: the file and why
    kMsgProgrammerTimedOut = 43,        // detail: the seconds it was given
    kMsgDeviceChanged = 44,             // the port leads elsewhere after the programmer
    kMsgEepromFileUnwritable = 45,      // detail: the file and why
    kMsgEepromImageKept = 46,           // detail: where the image read went instead
    // The programmer was ended before it finished: what the device may be left in.
    kMsgFlashMayBeErased = 47,
    kMsgMayWaitInBootloader = 48,
    kMsgProgramFileRecordType = 49,     // detail: the type, line: where
    kMsgProgramFileIncomplete = 50,
    kMsgEepromFileRefused = 51,         // detail: why the image cannot go to the device
    kMsgProgramFileNotRegular = 52,     // a directory, a FIFO, a device
    kMsgComLinkGone = 53,               // detail: the path COM N led through
    kMsgWorkLockFailed = 54,            // detail: the lock file and why
};

// The line of a message code; detail completes 12 to 14, line fills 37.
std::string ProgToolMessageLine(int32_t code, const std::string& detail, uint32_t line = 0);

// The codes of an operation's finish and abort lines (0 for no operation).
int32_t FinishMessage(uint32_t operation);
int32_t AbortMessage(uint32_t operation);
// The line that closes the programmer's part of an operation (0 for no operation).
int32_t LeavingMessage(uint32_t operation);

}  // namespace nvx
