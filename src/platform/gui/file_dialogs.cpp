#include "platform/gui/file_dialogs.h"

#include <QFileDialog>
#include <QStringList>

namespace nvx {

namespace {

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
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
        chosen = PathFromQt(dialog.selectedFiles().constFirst());
        return true;
    }
    bool save(QWidget* parent, const std::string& filter, std::string& chosen) override {
        const QString path =
            QFileDialog::getSaveFileName(parent, QString(), QString(), QtNameFilters(filter));
        if (path.isEmpty()) return false;
        chosen = PathFromQt(path);
        return true;
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
