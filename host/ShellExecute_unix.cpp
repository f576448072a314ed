#include "host/ShellExecute.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>

// There is no shell association on a plain Linux desktop that knows an update
// package, so a package that is a program (a script or an ELF executable) is
// started itself; anything else goes to the desktop's opener.
namespace host {

namespace {
constexpr std::int32_t kFileNotFound = 2;
constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kBadFormat = 11;
constexpr std::int32_t kNoAssociation = 31;
constexpr std::int32_t kStarted = 42;

bool looksLikeProgram(QFile& file) {
    const QByteArray head = file.read(4);
    return head.startsWith("#!") || head == QByteArray("\x7f"
                                                       "ELF",
                                                       4);
}
} // namespace

std::int32_t ShellExecuteOpen(const std::u16string& file, const std::u16string& directory) {
    const QString path = QString::fromStdU16String(file);
    const QString workDir = QString::fromStdU16String(directory);
    if (path.isEmpty()) {
        return kFileNotFound;
    }
    const QFileInfo info(path);
    if (!info.exists()) {
        return kFileNotFound;
    }
    QFile handle(path);
    if (!info.isFile() || !handle.open(QIODevice::ReadOnly)) {
        return kAccessDenied;
    }
    const bool program = looksLikeProgram(handle);
    handle.close();

    const QString absolute = info.absoluteFilePath();
    if (program) {
        QFile::setPermissions(absolute, QFile::permissions(absolute) | QFileDevice::ExeOwner);
        return QProcess::startDetached(absolute, {}, workDir) ? kStarted : kBadFormat;
    }
    // The path is one argument of its own; no shell ever parses it.
    return QProcess::startDetached(QStringLiteral("xdg-open"), {absolute}, workDir) ? kStarted : kNoAssociation;
}

} // namespace host
