#pragma once
// File-open and file-save dialogs behind a small interface, so GUI tests answer them. Filters
// come as lists of description|pattern pairs ending in "||" (patterns separated by "; ").

#include <QString>
#include <string>

#include "platform/gui/qt_dialogs.h"

class QWidget;

namespace nvx {

class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    // Paths are in the file system's encoding. False when the user cancels.
    virtual bool open(QWidget* parent, const std::string& title, const std::string& initialPath,
                      const std::string& filter, std::string& chosen) = 0;
    // Also takes the name of a file that is not there yet (one a read will create); asks nothing
    // about replacing. The dialogs that may pick a file to write do not list the program's own
    // files of its start directory (backups excepted here: an image to write may be one).
    virtual bool openOrNew(QWidget* parent, const std::string& title,
                           const std::string& initialPath, const std::string& filter,
                           std::string& chosen) = 0;
    // Asks before an existing file is replaced.
    virtual bool save(QWidget* parent, const std::string& filter, std::string& chosen) = 0;
};

// The process-wide dialogs (Qt's unless a test sets others).
FileDialogs& AppFileDialogs();
void SetFileDialogs(FileDialogs* dialogs);  // nullptr restores Qt's

// "Intel Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||" as Qt's name filters.
QString QtNameFilters(const std::string& filterList);

}  // namespace nvx
