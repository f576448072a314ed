#include "download/KeptPart.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>

namespace download {

namespace {

const QString kPrefix = QStringLiteral(".Kelvane-");
const QString kPartSuffix = QStringLiteral(".part");
const QString kRecordSuffix = QStringLiteral(".resume");
// A record being written: the record's name, this, six characters.
const QString kRecordTempMark = QStringLiteral(".resume-");

// A record holds a few lines; anything larger is not one of ours.
constexpr qint64 kMaxRecordBytes = 64 * 1024;
constexpr char kRecordKind[] = "Kelvane kept download 1";

QString besideTarget(const QString& target, const QString& suffix) {
    const QFileInfo info(target);
    return QDir(info.path()).filePath(kPrefix + info.fileName() + suffix);
}

// A JSON number that is a whole count of bytes, or -2 when it is none.
qint64 byteCount(const QJsonValue& value) {
    const double number = value.toDouble(-2);
    // Beyond 2^53 a double no longer holds every whole number.
    if (!value.isDouble() || number < -1 || number > 9007199254740992.0 || number != qint64(number)) {
        return -2;
    }
    return qint64(number);
}

// A regular file, not a link to one elsewhere.
bool isPlainFile(const QFileInfo& info) {
    return info.isFile() && !info.isSymLink();
}

} // namespace

QString KeptPartPath(const QString& target) {
    return besideTarget(target, kPartSuffix);
}

QString ResumeRecordPath(const QString& target) {
    return besideTarget(target, kRecordSuffix);
}

QByteArray CurrentBootId() {
    static const QByteArray id = [] {
        QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
        return file.open(QIODevice::ReadOnly) ? file.read(64).trimmed() : QByteArray();
    }();
    return id;
}

QByteArray EncodeResumeRecord(const ResumeRecord& record) {
    QJsonObject object;
    object.insert(QStringLiteral("kind"), QLatin1String(kRecordKind));
    object.insert(QStringLiteral("url"), record.url);
    object.insert(QStringLiteral("file"), record.file);
    object.insert(QStringLiteral("validator"), QString::fromLatin1(record.validator));
    object.insert(QStringLiteral("total"), double(record.total));
    object.insert(QStringLiteral("durable"), double(record.durable));
    object.insert(QStringLiteral("boot"), QString::fromLatin1(record.boot));
    object.insert(QStringLiteral("release"), QString::fromLatin1(record.release));
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

RecordReading ReadResumeRecord(const QString& path) {
    const auto damaged = [](const QString& why) {
        return RecordReading{std::nullopt, host::Failure{host::Failure::Kind::Malformed, why}};
    };
    if (!isPlainFile(QFileInfo(path))) {
        return {std::nullopt,
                host::Failure{host::Failure::Kind::ReadFailed, QStringLiteral("there is no record beside it")}};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {std::nullopt, host::Failure{host::Failure::Kind::ReadFailed, file.errorString()}};
    }
    const QByteArray bytes = file.read(kMaxRecordBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        return {std::nullopt, host::Failure{host::Failure::Kind::ReadFailed, file.errorString()}};
    }
    if (bytes.size() > kMaxRecordBytes) {
        return damaged(QStringLiteral("its record is larger than %1 bytes").arg(kMaxRecordBytes));
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const QJsonObject object = document.object();
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return damaged(QStringLiteral("its record cannot be read (%1)").arg(error.errorString()));
    }
    if (object.value(QStringLiteral("kind")).toString() != QLatin1String(kRecordKind)) {
        return damaged(QStringLiteral("its record is not one this version of Kelvane writes"));
    }
    const auto text = [&object](const char* key) { return object.value(QLatin1String(key)); };
    ResumeRecord record;
    record.url = text("url").toString();
    record.file = text("file").toString();
    // Header values and ids are Latin-1 as written; anything else was changed.
    const QString validator = text("validator").toString();
    const QString boot = text("boot").toString();
    const QString release = text("release").toString();
    for (const QString* value : {&validator, &boot, &release}) {
        if (std::any_of(value->begin(), value->end(), [](QChar c) { return c.unicode() > 0xff; })) {
            return damaged(QStringLiteral("its record holds a value that was never written"));
        }
    }
    record.validator = validator.toLatin1();
    record.boot = boot.toLatin1();
    record.release = release.toLatin1();
    record.total = byteCount(text("total"));
    record.durable = byteCount(text("durable"));
    if (!text("url").isString() || !text("file").isString() || record.total < -1 || record.durable < 0) {
        return damaged(QStringLiteral("its record lacks a value or holds one of the wrong kind"));
    }
    return {record, std::nullopt};
}

KeptBytes ExamineKeptPart(const QString& target, const QString& url, const QByteArray& release) {
    KeptBytes kept;
    const QFileInfo part(KeptPartPath(target));
    const QString recordPath = ResumeRecordPath(target);
    if (!part.exists() && !part.isSymLink() && !QFileInfo::exists(recordPath)) {
        return kept; // nothing was kept
    }
    if (!isPlainFile(part)) {
        kept.discarded = QStringLiteral("its part is missing or is no plain file");
        return kept;
    }
    const RecordReading reading = ReadResumeRecord(recordPath);
    if (!reading.record) {
        kept.discarded = reading.failure->detail;
        return kept;
    }
    const ResumeRecord& record = *reading.record;
    const QString name = QFileInfo(target).fileName();
    if (record.file != name) {
        kept.discarded = QStringLiteral("its record names the file \"%1\"").arg(record.file);
    } else if (record.url != url) {
        kept.discarded = QStringLiteral("it was downloaded from another address, %1").arg(record.url);
    } else if (record.release != release) {
        kept.discarded = QStringLiteral("it belongs to another release");
    } else if (record.validator.isEmpty() || record.total <= 0) {
        kept.discarded = QStringLiteral("its record names no version of the file to continue");
    } else if (part.size() < record.durable) {
        kept.discarded = QStringLiteral("it holds %1 bytes, fewer than the %2 bytes that were synced to the disk")
                             .arg(part.size())
                             .arg(record.durable);
    } else if (part.size() > record.total) {
        kept.discarded =
            QStringLiteral("it holds %1 bytes, more than the file's %2 bytes").arg(part.size()).arg(record.total);
    }
    if (!kept.discarded.isEmpty()) {
        return kept;
    }
    // The computer went down since: what was not synced may be lost or
    // garbled, whatever the part's length says.
    const bool sameBoot = !record.boot.isEmpty() && record.boot == CurrentBootId();
    kept.bytes = std::min(sameBoot ? part.size() : record.durable, record.total - 1);
    kept.record = record;
    if (kept.bytes <= 0) {
        kept.bytes = 0;
        kept.discarded = QStringLiteral("none of its bytes can be trusted since the computer restarted");
    }
    return kept;
}

bool RemoveKeptPart(const QString& target) {
    const bool part = QFile::remove(KeptPartPath(target));
    const bool record = QFile::remove(ResumeRecordPath(target));
    return part || record;
}

QStringList TidyKeptParts(const QString& folder, const QString& keepOnly, int maxAgeDays) {
    QStringList removed;
    const QDir dir(folder);
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addDays(-maxAgeDays);
    const QFileInfoList entries =
        dir.entryInfoList({kPrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    const auto remove = [&removed](const QString& path, const QString& why) {
        if (QFile::remove(path)) {
            removed.append(QStringLiteral("removed %1: %2").arg(QDir::toNativeSeparators(path), why));
        }
    };
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        if (name.contains(kRecordTempMark)) {
            remove(entry.filePath(), QStringLiteral("a record left half written"));
            continue;
        }
        const bool part = name.endsWith(kPartSuffix);
        if (!part && !name.endsWith(kRecordSuffix)) {
            continue;
        }
        const QString fileName =
            name.mid(kPrefix.size(), name.size() - kPrefix.size() - (part ? kPartSuffix.size() : kRecordSuffix.size()));
        const QString target = dir.filePath(fileName);
        const QString partner = part ? ResumeRecordPath(target) : KeptPartPath(target);
        if (!QFileInfo::exists(partner)) {
            remove(entry.filePath(),
                   part ? QStringLiteral("a part without its record") : QStringLiteral("a record without its part"));
        } else if (part && !keepOnly.isEmpty() && fileName != keepOnly) {
            remove(entry.filePath(), QStringLiteral("the download of %1 replaces it").arg(keepOnly));
            remove(partner, QStringLiteral("its part is gone"));
        } else if (part && entry.lastModified().toUTC() < oldest) {
            remove(entry.filePath(), QStringLiteral("untouched for more than %1 days").arg(maxAgeDays));
            remove(partner, QStringLiteral("its part is gone"));
        }
    }
    return removed;
}

} // namespace download
