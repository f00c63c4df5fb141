#include "app/gui/detached_starter.h"

#include <QProcess>
#include <QStringList>

namespace nvx {

bool QtDetachedStarter::StartDetached(const std::string& program,
                                      const std::vector<std::string>& args) {
    QStringList arguments;
    // Paths are bytes on Linux; the local 8-bit decoding gives them back unchanged.
    for (const std::string& a : args) arguments << QString::fromLocal8Bit(a.data(), static_cast<qsizetype>(a.size()));
    return QProcess::startDetached(QString::fromLocal8Bit(program.data(), static_cast<qsizetype>(program.size())),
                                   arguments);
}

}  // namespace nvx
