#include "platform/gui/file_dialogs.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>
#include <QStringList>

#include "platform/com_port_names.h"
#include "platform/program_files.h"

namespace nvx {

namespace {

// Keeps the program's own files of its start directory out of a dialog that picks a file to
// write: they would be refused anyway, and a name offered is a name chosen by mistake. Backups
// stay where the file picked may also be one to read (an EEPROM image to write back).
class WithoutProgramFiles : public QSortFilterProxyModel {
  public:
    WithoutProgramFiles(bool keepBackups, QObject* parent)
        : QSortFilterProxyModel(parent), keepBackups_(keepBackups) {}

  protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (!files) return true;
        const ProgramFile file =
            ProgramFileOf(PathFromQt(files->filePath(files->index(row, 0, parent))),
                          ComStartDirectory(), std::string());
        return file == ProgramFile::None || (keepBackups_ && file == ProgramFile::Backup);
    }

  private:
    bool keepBackups_;
};

void HideProgramFiles(QFileDialog& dialog, bool keepBackups) {
    // Only Qt's own dialog takes a filter of its listing.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setProxyModel(new WithoutProgramFiles(keepBackups, &dialog));
}

bool Chosen(QFileDialog& dialog, std::string& chosen) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    chosen = PathFromQt(dialog.selectedFiles().constFirst());
    return true;
}

class QtFileDialogs : public FileDialogs {
  public:
    bool open(QWidget* parent, const std::string& title, const std::string& initialPath,
              const std::string& filter, std::string& chosen) override {
        const QString path =
            QFileDialog::getOpenFileName(parent, QString::fromLatin1(title.c_str()),
                                         PathToQt(initialPath), QtNameFilters(filter));
        if (path.isEmpty()) return false;
        chosen = PathFromQt(path);
        return true;
    }
    bool openOrNew(QWidget* parent, const std::string& title, const std::string& initialPath,
                   const std::string& filter, std::string& chosen) override {
        QFileDialog dialog(parent, QString::fromLatin1(title.c_str()), PathToQt(initialPath),
                           QtNameFilters(filter));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::AnyFile);
        HideProgramFiles(dialog, true);
        return Chosen(dialog, chosen);
    }
    bool save(QWidget* parent, const std::string& filter, std::string& chosen) override {
        QFileDialog dialog(parent, QString(), QString(), QtNameFilters(filter));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        HideProgramFiles(dialog, false);
        return Chosen(dialog, chosen);
    }
};

QtFileDialogs g_qtDialogs;
FileDialogs* g_dialogs = &g_qtDialogs;

}  // namespace

FileDialogs& AppFileDialogs() { return *g_dialogs; }
void SetFileDialogs(FileDialogs* dialogs) { g_dialogs = dialogs ? dialogs : &g_qtDialogs; }

QString QtNameFilters(const std::string& filterList) {
    const QStringList parts = QString::fromLatin1(filterList.c_str()).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) break;
        // Qt takes the patterns from the parentheses, separated by blanks only.
        QString description = parts[i];
        const qsizetype open = description.indexOf(QLatin1Char('('));
        if (open >= 0) description = description.left(open).trimmed();
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts))
            patterns << p.trimmed();
        filters << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return filters.join(QStringLiteral(";;"));
}

}  // namespace nvx
