#include "platform/program_files.h"

#include <filesystem>

#include "platform/user_dialogs.h"

namespace nvx {

namespace fs = std::filesystem;

namespace {

fs::path Resolved(const std::string& path) {
    // Absolute first: a relative name that does not exist yet stays relative otherwise.
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    if (ec) return fs::path(path).lexically_normal();
    const fs::path resolved = fs::weakly_canonical(absolute, ec);
    return ec ? absolute.lexically_normal() : resolved;
}

}  // namespace

ProgramFile ProgramFileOf(const std::string& path, const std::string& startDirectory,
                          const std::string& workDirectory) {
    if (path.empty() || startDirectory.empty()) return ProgramFile::None;
    const fs::path target = Resolved(path);
    const fs::path start = Resolved(startDirectory);
    const fs::path work = Resolved(workDirectory.empty() ? startDirectory : workDirectory);
    const struct {
        const fs::path& directory;
        const char* name;
        ProgramFile file;
    } files[] = {
        {start, kServiceJournalName, ProgramFile::Journal},
        {start, kSettingsName, ProgramFile::Settings},
        {work, kFlashWorkFileName, ProgramFile::WorkFile},
        {work, kEepromWorkFileName, ProgramFile::WorkFile},
        {work, kWorkLockName, ProgramFile::WorkFile},
    };
    for (const auto& f : files)
        if (target == f.directory / f.name) return f.file;
    // The backup folder and everything in it.
    const fs::path backups = (start / kBackupFolderName).parent_path();
    const fs::path relative = target.lexically_relative(backups);
    if (!relative.empty() && *relative.begin() != "..") return ProgramFile::Backup;
    return ProgramFile::None;
}

std::string ProgramFileKind(const std::string& path, const std::string& startDirectory,
                            const std::string& workDirectory) {
    switch (ProgramFileOf(path, startDirectory, workDirectory)) {
        case ProgramFile::None:
            break;
        case ProgramFile::Journal:
            return "the service journal";
        case ProgramFile::Settings:
            return "the settings file";
        case ProgramFile::WorkFile:
            return "a work file of the programmer";
        case ProgramFile::Backup:
            return "an EEPROM backup";
    }
    return {};
}

std::string ReplaceQuestion(const std::string& path) {
    return path + " already exists.\r\nDo you want to replace it?";
}

bool ConfirmSaveTarget(const std::string& path, bool dialogAskedAboutIt, const std::string& caption,
                       const std::string& startDirectory) {
    if (const std::string kind = ProgramFileKind(path, startDirectory, startDirectory);
        !kind.empty()) {
        MessageBox().show(path + " is " + kind +
                              " and is never written over.\r\n"
                              "Please choose another name.",
                          caption, MessageIcon::Exclamation, MessageButtons::Ok);
        return false;
    }
    std::error_code ec;
    if (dialogAskedAboutIt || !fs::exists(path, ec)) return true;
    return MessageBox().show(ReplaceQuestion(path), caption, MessageIcon::Exclamation,
                             MessageButtons::YesNo) == MessageAnswer::Yes;
}

}  // namespace nvx
