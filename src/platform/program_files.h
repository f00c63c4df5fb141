#pragma once
// The files the program keeps in its start directory for itself: the service journal, the EEPROM
// backups, the programmer's work files and the settings. No window offers one of them as a file
// to write, nor writes over one at the user's word.

#include <string>

namespace nvx {

inline constexpr const char* kServiceJournalName = "service-journal.csv";
inline constexpr const char* kBackupFolderName = "backup/";
inline constexpr const char* kFlashWorkFileName = "temp.ntf";
inline constexpr const char* kEepromWorkFileName = "temp.hex";
inline constexpr const char* kWorkLockName = "update.lock";
inline constexpr const char* kSettingsName = "monitor.ini";

enum class ProgramFile { None, Journal, Settings, WorkFile, Backup };

// Which of the program's files the path names (links and "." / ".." resolved): the journal, the
// backups and the settings of startDirectory, the programmer's work files of workDirectory.
ProgramFile ProgramFileOf(const std::string& path, const std::string& startDirectory,
                          const std::string& workDirectory);

// What the path is to the program ("the service journal", "an EEPROM backup", ...) when it names
// one of its files. Empty for any other path.
std::string ProgramFileKind(const std::string& path, const std::string& startDirectory,
                            const std::string& workDirectory);

// A file a window of the monitor (whose programmer works in the start directory) is about to
// write at the user's word: refused, with a box saying what it is, when it is one of the
// program's files; when it exists and the file dialog has not asked about this very name,
// written over only after a Yes (No is the default). False: write nothing.
bool ConfirmSaveTarget(const std::string& path, bool dialogAskedAboutIt, const std::string& caption,
                       const std::string& startDirectory);

// "<path> already exists.\r\nDo you want to replace it?"
std::string ReplaceQuestion(const std::string& path);

}  // namespace nvx
