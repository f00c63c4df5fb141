#pragma once
// Qt message boxes behind nvx::MessageBoxes, and small helpers every window shares.

#include <QString>
#include <string>

#include "platform/user_dialogs.h"

class QWidget;

namespace nvx {

// Texts of the logic are ISO 8859-1 bytes; Qt wants Unicode.
inline QString FromLatin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
// Characters outside ISO 8859-1 become "?".
std::string ToLatin1(const QString& text);

// File names are no texts: they stay in the file system's encoding (UTF-8) as bytes.
QString PathToQt(const std::string& path);
std::string PathFromQt(const QString& path);

// Modal QMessageBox on the active window (or none).
class QtMessageBoxes : public MessageBoxes {
public:
    MessageAnswer show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override;
};

// Shows a window without taking the focus from the one the user works in, and raises it when it
// is shown already.
void ShowWithoutActivating(QWidget* window);

}  // namespace nvx
