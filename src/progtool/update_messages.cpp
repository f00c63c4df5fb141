#include "progtool/update_messages.h"

#include "platform/format.h"
#include "shell/shell.h"

namespace nvx {

int32_t FinishMessage(uint32_t operation) {
    switch (operation) {
    case kOperationProgram: return kMsgUpdateFinished;
    case kOperationEepromWrite: return kMsgWriteFinished;
    case kOperationEepromRead: return kMsgReadFinished;
    default: return 0;
    }
}

int32_t AbortMessage(uint32_t operation) {
    switch (operation) {
    case kOperationProgram: return kMsgUpdateAborted;
    case kOperationEepromWrite: return kMsgWriteAborted;
    case kOperationEepromRead: return kMsgReadAborted;
    default: return 0;
    }
}

std::string ProgToolMessageLine(int32_t code, const std::string& detail, uint32_t line) {
    switch (code) {
    case kMsgComPortNotOpen: return "E> COM Port NOT Open";
    case kMsgCommandInProgress: return "E> Command in Progress";
    case kMsgErrorInitiating: return "E> Error Initiating Transfer";
    case kMsgNoReplyFromKernel: return "E> No Reply from Kernel";
    case kMsgWrongFormat: return Format("E> Wrong Format Response at ID: %04X", kUpdateRequestId);
    case kMsgProgramFileNotFound: return "E> Program file not found";
    case kMsgNoDeviceSet: return "E> No device set";
    case kMsgCommandMode: return "E> Command MODE: " + detail;
    case kMsgBootloaderNotActive: return "E> Bootloader not activ: " + detail;
    case kMsgCommandProgrammer: return "E> Command NorvixOSP: " + detail;
    case kMsgLeavingProgramMode: return " > Leaving Program Mode";
    case kMsgNoReplyToApiCommand: return "E> No Reply to API Command";
    case kMsgBootloaderStarted: return " > Bootloader started";
    case kMsgBootloaderActive: return " > Bootloader activ";
    case kMsgDeviceRestarted: return " > Device restarted";
    case kMsgConnected: return " > Connected to Controller";
    case kMsgDisconnected: return " > Disconnected from Controller";
    case kMsgUpdateFinished: return "I> Update finished";
    case kMsgUpdateAborted: return "E> Update aborted";
    case kMsgCannotReopenCom: return "E> Cannot reopen COM";
    case kMsgLeavingEepromReadMode: return " > Leaving EEPROM Read Mode";
    case kMsgLeavingEepromProgramMode: return " > Leaving EEPROM Program Mode";
    case kMsgEepromFileNotDefined: return "E> EEPROM file not defined";
    case kMsgCannotOpenEepromFile: return "E> cannot open EEPROM file";
    case kMsgWriteFinished: return "I> Write Process finished";
    case kMsgWriteAborted: return "E> Write Process aborted";
    case kMsgReadFinished: return "I> Read Process finished";
    case kMsgReadAborted: return "E> Read Process aborted";
    case kMsgAutostartActive: return "I> Autostart active";
    case kMsgProgramFileDamaged: return Format("E> Program file damaged, line %u", line);
    case kMsgWorkFilesInUse: return "E> Another update is running in this directory";
    case kMsgWorkLockFailed: return "E> Work files cannot be locked: " + detail;
    case kMsgWorkFileChosen: return "E> Work file of the programmer chosen: " + detail;
    case kMsgProgramFileEmpty: return "E> Program file holds no data";
    case kMsgProgramFileTooLarge: return "E> Program file does not fit " + detail;
    case kMsgPartDescriptionUnreadable:
        return " > Firmware size not checked, part description " + detail;
    case kMsgProgrammerTimedOut: return "E> Programmer timed out after " + detail + " s";
    case kMsgEepromFileUnwritable: return "E> cannot open EEPROM file: " + detail;
    case kMsgEepromImageKept: return "I> EEPROM image kept as " + detail;
    case kMsgProgramFileRecordType:
        return Format("E> Program file holds a record of unknown type %s, line %u", detail.c_str(),
                      line);
    case kMsgProgramFileIncomplete: return "E> Program file incomplete: no end-of-file record";
    case kMsgComLinkGone:
        return Format("E> COM%d is gone: %s no longer exists", ComPortNumber, detail.c_str());
    case kMsgProgramFileNotRegular: return "E> Program file is not a regular file";
    case kMsgEepromFileRefused: return "E> EEPROM file refused: " + detail;
    case kMsgFlashMayBeErased:
        return "E> The device may be erased and wait in its bootloader: program it again with "
               "Manual Update Start Mode";
    case kMsgMayWaitInBootloader:
        return "E> The device may wait in its bootloader: repeat with Manual Update Start Mode";
    case kMsgDeviceChanged: return Format("E> COM%d leads to another device now", ComPortNumber);
    default: return "E> Unknown Message";
    }
}

int32_t LeavingMessage(uint32_t operation) {
    switch (operation) {
    case kOperationProgram: return kMsgLeavingProgramMode;
    case kOperationEepromWrite: return kMsgLeavingEepromProgramMode;
    case kOperationEepromRead: return kMsgLeavingEepromReadMode;
    default: return 0;
    }
}

}  // namespace nvx
