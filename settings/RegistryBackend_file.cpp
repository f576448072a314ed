// The per-user store outside Windows: one INI file per registry key, in the
// folder where QSettings keeps per-user settings. The key Software\Quorant is
// <config folder>/Quorant.conf, the file QSettings uses for an organisation
// named Quorant, so the product may read and write it with QSettings; the
// value names are the keys of its [General] section, the values UTF-8 text.

#include "settings/RegistryBackend.h"

#include "host/Failure.h"
#include "host/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cerrno>
#include <map>
#include <memory>

namespace modRWRegistry {

namespace {

// How long a write waits while another program holds the file's lock. Only a
// writer that hangs keeps it longer; a dead one's lock is taken over at once.
constexpr int kLockWaitMs = 5000;

StoreFailure makeFailure(const QString& description) {
    return StoreFailure{description.toStdU16String()};
}

// The settings file of the key, and the value name checked for what a file
// cannot hold. "/" separates groups in QSettings, so a name holding it would
// land in another section; "\" and every other character are escaped and
// round-trip, so only "/" is refused.
host::Outcome locate(const std::u16string& keyPath, const QString& name, QString* file) {
    if (name.contains(QLatin1Char('/'))) {
        return host::Failure{
            host::Failure::Kind::Malformed,
            QStringLiteral("The value name \"%1\" cannot be kept in a settings file: it contains \"/\".").arg(name)};
    }
    const QString key = QString::fromStdU16String(keyPath);
    const QString last = key.section(QLatin1Char('\\'), -1);
    if (last.isEmpty() || last.contains(QLatin1Char('/'))) {
        return host::Failure{host::Failure::Kind::Malformed,
                             QStringLiteral("The key \"%1\" has no settings file.").arg(key)};
    }
    *file = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + last +
            QStringLiteral(".conf");
    return std::nullopt;
}

enum class Presence { Missing, Read, Failed };

// Reads the whole file; on failure `reason` gives the system's reason.
Presence readWhole(const QString& path, QByteArray* bytes, QString* reason) {
    const QFileInfo info(path);
    if (!info.exists()) {
        return Presence::Missing;
    }
    if (info.isDir()) {
        *reason = qt_error_string(EISDIR);
        return Presence::Failed;
    }
    if (!info.isFile()) {
        // A pipe or a device is not opened at all: reading it could block.
        *reason = QStringLiteral("it is a device or a pipe, not a file");
        return Presence::Failed;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists()) {
            return Presence::Missing; // removed in the meantime
        }
        *reason = file.errorString();
        return Presence::Failed;
    }
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *reason = file.errorString();
        return Presence::Failed;
    }
    return Presence::Read;
}

// The file's bytes with each byte that is not part of UTF-8 text, and each
// NUL, replaced by `mark`. QSettings would silently drop such a byte or turn
// it into U+FFFD, and the value would read as text the product never wrote;
// with a mark in its place the value can be told apart after parsing.
struct MarkedBytes {
    QByteArray bytes;
    bool marked = false;
};

MarkedBytes markUnreadable(const QByteArray& bytes, char16_t mark) {
    if (bytes.isValidUtf8() && !bytes.contains('\0')) {
        return {bytes, false};
    }
    const QByteArray markBytes = QString(QChar(mark)).toUtf8();
    MarkedBytes result{QByteArray(), true};
    result.bytes.reserve(bytes.size() + bytes.size() / 2);
    qsizetype i = 0;
    while (i < bytes.size()) {
        const uchar lead = static_cast<uchar>(bytes.at(i));
        if (lead == 0) {
            result.bytes.append(markBytes);
            ++i;
            continue;
        }
        // UTF-8 needs no separator, so the shortest valid run from here is
        // one whole character; Qt judges which runs are valid.
        qsizetype length = lead < 0x80 ? 1 : 0;
        for (qsizetype n = 2; length == 0 && n <= 4 && i + n <= bytes.size(); ++n) {
            if (QByteArrayView(bytes.constData() + i, n).isValidUtf8()) {
                length = n;
            }
        }
        if (length == 0) {
            result.bytes.append(markBytes);
            ++i;
        } else {
            result.bytes.append(bytes.constData() + i, length);
            i += length;
        }
    }
    return result;
}

QByteArray withoutByteOrderMark(QByteArray bytes) {
    static const QByteArray bom("\xEF\xBB\xBF");
    if (bytes.startsWith(bom)) {
        bytes.remove(0, bom.size()); // QSettings takes it for a broken line
    }
    return bytes;
}

// QSettings keeps a process-wide cache of the files it has parsed and trusts
// it while a file's size and time stamp look unchanged. The time stamp moves
// only once per clock tick, so a value another program rewrote a moment ago
// would be read stale or even written back over; and only the first parse of
// a file in a process reports its format errors. Each call therefore parses a
// private copy of the bytes it has just read, under a path never used before.
class Snapshot {
public:
    // Parses `bytes`; returns why they could not be parsed at all. A file
    // QSettings finds damaged still yields the keys it could read, as in the
    // product; intact() tells whether it was whole.
    host::Outcome load(const QByteArray& bytes) {
        if (!mDir.isValid()) {
            return host::Failure{host::Failure::Kind::WriteFailed,
                                 QStringLiteral("no temporary copy can be made: %1").arg(mDir.errorString())};
        }
        mPath = mDir.filePath(QStringLiteral("copy.conf"));
        QFile copy(mPath);
        if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.flush()) {
            return host::Failure{host::Failure::Kind::WriteFailed,
                                 QStringLiteral("no temporary copy can be made: %1").arg(copy.errorString())};
        }
        copy.close();
        mSettings = std::make_unique<QSettings>(mPath, QSettings::IniFormat);
        mSettings->allKeys(); // sections are parsed lazily; this parses them all
        return std::nullopt;
    }

    // False when QSettings met a line it could not parse; it would drop that
    // line on writing.
    bool intact() const { return mSettings->status() == QSettings::NoError; }

    // The value as text. Lists, byte arrays and the other types QSettings
    // writes in its own notation are not text the product meant, so they
    // count as absent. A bare number is text in an INI file and reads as such.
    std::optional<QString> text(const QString& name) const {
        const QVariant value = mSettings->value(name);
        if (value.typeId() != QMetaType::QString) {
            return std::nullopt;
        }
        return value.toString();
    }

    QSettings& settings() { return *mSettings; }

    // Every key with its value, as QSettings reads them.
    std::map<QString, QVariant> values() const {
        std::map<QString, QVariant> all;
        for (const QString& key : mSettings->allKeys()) {
            all[key] = mSettings->value(key);
        }
        return all;
    }

    // The copy as QSettings writes it, with every change made so far, into
    // `bytes`.
    host::Outcome written(QByteArray* bytes) {
        mSettings->sync();
        if (mSettings->status() != QSettings::NoError) {
            return host::Failure{host::Failure::Kind::WriteFailed,
                                 QStringLiteral("its temporary copy could not be written (settings status %1)")
                                     .arg(int(mSettings->status()))};
        }
        QString reason;
        if (readWhole(mPath, bytes, &reason) != Presence::Read) {
            return host::Failure{host::Failure::Kind::ReadFailed,
                                 QStringLiteral("its temporary copy could not be read back: %1")
                                     .arg(reason.isEmpty() ? QStringLiteral("it is gone") : reason)};
        }
        return std::nullopt;
    }

private:
    QTemporaryDir mDir;
    QString mPath;
    std::unique_ptr<QSettings> mSettings;
};

// The text of `name` in the file's bytes parsed with unreadable bytes marked;
// `marked` tells whether there were any. `failure` is set when no parse was
// possible.
std::optional<QString> markedValue(const QByteArray& bytes, char16_t mark, const QString& name, bool* marked,
                                   QString* failure) {
    const MarkedBytes markedBytes = markUnreadable(bytes, mark);
    *marked = markedBytes.marked;
    Snapshot snapshot;
    if (const host::Outcome error = snapshot.load(markedBytes.bytes)) {
        *failure = error->detail;
        return std::nullopt;
    }
    return snapshot.text(name);
}

// The text of `name` in a settings file, read past damage elsewhere in the
// file as QSettings reads it. A value holding a byte that is not UTF-8 text
// carries the mark and so changes with it; a mark the file spelled out itself
// (QSettings reads escapes such as "\xfdd0") stays the same in both parses.
std::optional<QString> readableValue(const QByteArray& fileBytes, const QString& name, QString* failure) {
    const QByteArray bytes = withoutByteOrderMark(fileBytes);
    bool marked = false;
    const std::optional<QString> first = markedValue(bytes, u'\uFDD0', name, &marked, failure);
    if (!marked || !first) {
        return first;
    }
    const std::optional<QString> second = markedValue(bytes, u'\uFDD1', name, &marked, failure);
    return first == second ? first : std::nullopt;
}

QString lockReason(QLockFile::LockError error) {
    switch (error) {
    case QLockFile::LockFailedError:
        return QStringLiteral("another program keeps it locked");
    case QLockFile::PermissionError:
        return QStringLiteral("its folder cannot be written to");
    case QLockFile::NoError:
    case QLockFile::UnknownError:
        break;
    }
    return QStringLiteral("its lock file cannot be made");
}

} // namespace

ReadResult RegReadString(RootKey, const std::u16string& strPath, const std::u16string& strValue) {
    const QString name = QString::fromStdU16String(strValue);
    QString path;
    if (const host::Outcome error = locate(strPath, name, &path)) {
        return {std::nullopt, makeFailure(error->detail)};
    }
    QByteArray bytes;
    QString reason;
    const Presence presence = readWhole(path, &bytes, &reason);
    if (presence == Presence::Missing) {
        return {};
    }
    if (presence == Presence::Read) {
        const std::optional<QString> value = readableValue(bytes, name, &reason);
        if (reason.isEmpty()) {
            return {value ? std::optional(value->toStdU16String()) : std::nullopt, std::nullopt};
        }
    }
    return {std::nullopt, makeFailure(QStringLiteral("Cannot read the settings file \"%1\": %2.").arg(path, reason))};
}

std::optional<StoreFailure> RegWriteString(RootKey, const std::u16string& strPath, const std::u16string& strValue,
                                           const std::u16string& strData) {
    const QString name = QString::fromStdU16String(strValue);
    QString path;
    if (const host::Outcome error = locate(strPath, name, &path)) {
        return makeFailure(error->detail);
    }
    const auto notSaved = [&](const QString& reason) {
        return makeFailure(
            QStringLiteral("%1 was not saved in the settings file \"%2\": %3. The file was left as it was.")
                .arg(name, path, reason));
    };

    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return notSaved(QStringLiteral("its folder cannot be created"));
    }
    // The same lock QSettings takes, so that the product's writes and ours
    // come one after the other, each on top of the other's result.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs)) {
        return notSaved(lockReason(lock.error()));
    }

    QByteArray bytes;
    QString reason;
    if (readWhole(path, &bytes, &reason) == Presence::Failed) {
        return notSaved(reason);
    }
    // QSettings would drop the lines it cannot parse and re-encode bytes
    // that are not UTF-8, so a damaged file is not rewritten at all.
    bytes = withoutByteOrderMark(bytes);
    if (markUnreadable(bytes, u'\uFDD0').marked) {
        return notSaved(QStringLiteral("it is not UTF-8 text"));
    }
    Snapshot snapshot;
    if (const host::Outcome error = snapshot.load(bytes)) {
        return notSaved(error->detail);
    }
    if (!snapshot.intact()) {
        return notSaved(QStringLiteral("it is not in the settings format"));
    }
    snapshot.settings().setValue(name, QString::fromStdU16String(strData));
    const std::map<QString, QVariant> expected = snapshot.values();
    QByteArray merged;
    if (const host::Outcome error = snapshot.written(&merged)) {
        return notSaved(QStringLiteral("its new content cannot be prepared: ") + error->detail);
    }
    // QSettings writes back what it read in its own notation, and some lines
    // it accepts (a section header with an empty name, say) come back as
    // other values. Rather than change another program's setting, such a
    // file is left as it was.
    Snapshot reread;
    if (const host::Outcome error = reread.load(merged)) {
        return notSaved(QStringLiteral("its new content cannot be checked: ") + error->detail);
    }
    if (!reread.intact() || reread.values() != expected) {
        return notSaved(QStringLiteral("it holds entries that would not be written back unchanged"));
    }
    if (const host::Outcome error = host::SaveWholeFile(path, merged)) {
        return notSaved(error->detail);
    }
    return std::nullopt;
}

} // namespace modRWRegistry
