#include "download/PartFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <mutex>

#if defined(Q_OS_WIN)
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#endif

namespace download {

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

QString NewPartFilePath(const QString& folder) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QDir dir(folder);
    for (;;) {
        QString name = kPrefix;
        for (int i = 0; i < 6; ++i) {
            name += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof(alphabet) - 1))]);
        }
        const QString path = dir.filePath(name + kSuffix);
        if (!QFileInfo::exists(path)) {
            return path;
        }
    }
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

namespace {

host::Failure writeFailed(const QString& reason) {
    return {host::Failure::Kind::WriteFailed, reason};
}

// The bytes written must be on the disk before the name points at them: a
// rename that reaches the disk first leaves, after a power cut, a package of
// the right name and the wrong content.
host::Outcome syncToDisk(QFileDevice& file) {
#if defined(Q_OS_WIN)
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
        return writeFailed(QStringLiteral("error %1").arg(GetLastError()));
    }
#else
    if (::fsync(file.handle()) != 0) {
        return writeFailed(QString::fromLocal8Bit(std::strerror(errno)));
    }
#endif
    return std::nullopt;
}

std::mutex gSyncHookMutex;
PartFile::SyncHook gSyncHook; // guarded by gSyncHookMutex

host::Outcome runSyncHook(const QString& path) {
    PartFile::SyncHook hook;
    {
        const std::lock_guard<std::mutex> lock(gSyncHookMutex);
        hook = gSyncHook;
    }
    return hook ? hook(path) : std::nullopt;
}

} // namespace

void PartFile::SetSyncHookForTests(SyncHook hook) {
    const std::lock_guard<std::mutex> lock(gSyncHookMutex);
    gSyncHook = std::move(hook);
}

std::unique_ptr<PartFile> PartFile::Create(const QString& folder, host::Outcome& failure) {
    QString name;
    {
        // QTemporaryFile finds a free name; asking for it gives an unnamed
        // file (O_TMPFILE) its name. Its handle stays open until it goes, so
        // the part file is written through a handle of its own that close()
        // really closes, as a rename on Windows needs.
        QTemporaryFile unique(PartFileTemplate(folder));
        unique.setAutoRemove(false);
        if (!unique.open()) {
            failure = writeFailed(unique.errorString());
            return nullptr;
        }
        name = unique.fileName();
    }
    std::unique_ptr<PartFile> part(new PartFile(name));
    if (!part->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        failure = writeFailed(part->errorString());
        return nullptr; // the destructor removes the name
    }
    return part;
}

PartFile::~PartFile() {
    if (!mCommitted) {
        close();
        remove();
    }
}

host::Outcome PartFile::Seal() {
    if (mSealed) {
        return std::nullopt;
    }
    if (host::Outcome error = runSyncHook(fileName())) {
        return error;
    }
    if (!flush()) {
        return writeFailed(errorString());
    }
    if (host::Outcome error = syncToDisk(*this)) {
        return error;
    }
    close(); // Windows renames no open file
    // A temporary file is private to its owner; a downloaded file is not.
    setPermissions(ReadOwner | WriteOwner | ReadUser | WriteUser | ReadGroup | ReadOther);
    mSealed = true;
    return std::nullopt;
}

host::Outcome PartFile::Commit(const QString& target) {
    if (host::Outcome error = Seal()) {
        return error;
    }
    if (host::Outcome error = ReplaceFile(fileName(), target)) {
        return error;
    }
    mCommitted = true;
    return std::nullopt;
}

host::Outcome ReplaceFile(const QString& from, const QString& to) {
#if defined(Q_OS_WIN)
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return std::nullopt;
    }
    return writeFailed(QStringLiteral("error %1").arg(GetLastError()));
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) {
        return std::nullopt;
    }
    return writeFailed(QString::fromLocal8Bit(std::strerror(errno)));
#endif
}

} // namespace download
