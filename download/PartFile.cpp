#include "download/PartFile.h"

#include "download/Disk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <mutex>

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

std::unique_ptr<PartFile> PartFile::OpenKept(const QString& path, qint64 keep, host::Outcome& failure) {
    if (QFileInfo(path).isSymLink()) {
        QFile::remove(path); // a link put in its place must not send the bytes elsewhere
    }
    std::unique_ptr<PartFile> part(new PartFile(path));
    if (!part->open(QIODevice::ReadWrite | QIODevice::Unbuffered, ReadOwner | WriteOwner)) {
        failure = writeFailed(part->errorString());
        part->Keep(); // not ours to remove: it could not even be opened
        return nullptr;
    }
    if (!part->resize(keep) || !part->seek(keep)) {
        failure = writeFailed(part->errorString());
        return nullptr;
    }
    return part;
}

PartFile::~PartFile() {
    if (mKept) {
        close();
    } else if (!mCommitted) {
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
    // The bytes written must be on the disk before the name points at them:
    // a rename that reaches the disk first leaves, after a power cut, a
    // package of the right name and the wrong content.
    if (host::Outcome error = disk::SyncFile(handle())) {
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
    return disk::Replace(from, to);
}

} // namespace download
