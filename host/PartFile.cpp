#include "host/PartFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

namespace host {

namespace {
const QString kPrefix = QStringLiteral("Kelvane-");
const QString kSuffix = QStringLiteral(".part");
} // namespace

bool IsPartFileName(const QString& fileName) {
    static const QRegularExpression pattern(QStringLiteral("^Kelvane-[A-Za-z0-9]{6}\\.part$"));
    return pattern.match(fileName).hasMatch();
}

QString PartFileTemplate(const QString& folder) {
    return QDir(folder).filePath(kPrefix + QStringLiteral("XXXXXX") + kSuffix);
}

int RemovePartFiles(const QString& folder) {
    int removed = 0;
    const QDir dir(folder);
    const QStringList candidates =
        dir.entryList({kPrefix + QLatin1Char('*') + kSuffix}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : candidates) {
        if (IsPartFileName(name) && QFile::remove(dir.filePath(name))) {
            ++removed;
        }
    }
    return removed;
}

std::optional<QString> ReplaceFile(const QString& from, const QString& to) {
#if defined(Q_OS_WIN)
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return std::nullopt;
    }
    return QStringLiteral("error %1").arg(GetLastError());
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(std::strerror(errno));
#endif
}

} // namespace host
