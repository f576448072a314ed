#include "wizard/update/PackageRecord.h"

#include "host/SaveFile.h"
#include "wizard/update/VersionFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

namespace packagerecord {

namespace {

// A record longer than this is not Kelvane's: what lies beyond is not read.
constexpr qint64 kMaxRecordBytes = 64 * 1024;

bool IsPackageOf(const QString& fileName, const QString& version) {
    return versionfile::IsPlainFileName(fileName) && fileName == versionfile::UpdateFileNameFor(version);
}

// The file as it stands now, when it is a regular file and no link.
std::optional<Entry> Describe(const QString& path, const QString& fileName, const QString& version) {
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile()) {
        return std::nullopt;
    }
    return Entry{fileName, info.size(), info.lastModified().toMSecsSinceEpoch(), version};
}

bool Unchanged(const Entry& recorded, const std::optional<Entry>& now) {
    return now && now->size == recorded.size && now->modifiedMs == recorded.modifiedMs;
}

} // namespace

QString FileName() {
    return QStringLiteral("Kelvane.packages");
}

QList<Entry> Parse(const QByteArray& bytes) {
    QList<Entry> entries;
    for (const QByteArray& line : bytes.split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (fields.size() != 4) {
            continue;
        }
        bool sizeOk = false;
        bool timeOk = false;
        Entry entry{fields[0], fields[1].toLongLong(&sizeOk), fields[2].toLongLong(&timeOk), fields[3]};
        if (sizeOk && timeOk && entry.size >= 0 && IsPackageOf(entry.fileName, entry.version)) {
            entries.append(entry);
        }
    }
    return entries;
}

QByteArray Format(const QList<Entry>& entries) {
    QByteArray bytes;
    for (const Entry& entry : entries) {
        bytes += entry.fileName.toUtf8() + '\t' + QByteArray::number(entry.size) + '\t' +
                 QByteArray::number(entry.modifiedMs) + '\t' + entry.version.toUtf8() + '\n';
    }
    return bytes;
}

Cleanup PackageCompleted(const QString& folder, const QString& fileName, const QString& version) {
    Cleanup cleanup;
    const QString recordPath = folder + FileName();
    QList<Entry> recorded;
    QFile file(recordPath);
    if (file.open(QIODevice::ReadOnly)) {
        recorded = Parse(file.read(kMaxRecordBytes));
    } else if (file.exists()) {
        cleanup.problems << QStringLiteral("%1 cannot be read (%2): no older package is removed")
                                .arg(QDir::toNativeSeparators(recordPath), file.errorString());
    }
    file.close();

    QList<Entry> kept;
    for (const Entry& entry : recorded) {
        if (entry.fileName == fileName) {
            continue; // the package just completed, recorded anew below
        }
        const QString path = folder + entry.fileName;
        if (!Unchanged(entry, Describe(path, entry.fileName, entry.version))) {
            continue; // gone, or no longer the file Kelvane wrote: not Kelvane's to remove
        }
        QFile package(path);
        if (package.remove()) {
            cleanup.removed << QDir::toNativeSeparators(path);
        } else {
            cleanup.problems << QStringLiteral("the older package %1 cannot be removed: %2")
                                    .arg(QDir::toNativeSeparators(path), package.errorString());
            kept << entry;
        }
    }
    if (const std::optional<Entry> completed = Describe(folder + fileName, fileName, version)) {
        kept << *completed;
    }
    if (const host::Outcome failure = host::SaveWholeFile(recordPath, Format(kept))) {
        cleanup.problems
            << QStringLiteral("%1 cannot be saved: %2").arg(QDir::toNativeSeparators(recordPath), failure->detail);
    }
    return cleanup;
}

} // namespace packagerecord
