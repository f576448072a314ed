#include "host/SaveFile.h"

#include "host/Log.h"

#include <QSaveFile>

namespace host {

namespace {

// The reason a write stopped, or a plain statement where Qt has none to give.
QString writeFailure(const QFileDevice& file) {
    const QString reason = file.errorString();
    if (reason.isEmpty() || file.error() == QFileDevice::NoError) {
        return QStringLiteral("the file could not be written whole");
    }
    return reason;
}

// The caller reports a failure in its own terms; the steps are detail.
Outcome saveWholeFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Unbuffered, so that a full disk shows in write() itself. Through Qt's
    // buffer a small file reaches the disk only in the flush inside commit(),
    // and Qt 6.4 renames a short temporary file over the target all the same.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return Failure{Failure::Kind::WriteFailed, file.errorString()};
    }
    // A short write carries no reason; the write of the rest fails and tells
    // the system's (for a full disk: "No space left on device").
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 chunk = file.write(bytes.constData() + written, bytes.size() - written);
        if (chunk <= 0) {
            const QString reason = writeFailure(file);
            file.cancelWriting(); // the temporary file goes with `file`
            return Failure{Failure::Kind::WriteFailed, reason};
        }
        written += chunk;
    }
    if (!file.flush()) {
        const QString reason = writeFailure(file);
        file.cancelWriting();
        return Failure{Failure::Kind::WriteFailed, reason};
    }
    if (!file.commit()) {
        return Failure{Failure::Kind::WriteFailed, writeFailure(file)};
    }
    return std::nullopt;
}

} // namespace

Outcome SaveWholeFile(const QString& path, const QByteArray& bytes) {
    const Outcome error = saveWholeFile(path, bytes);
    if (error) {
        qCDebug(lcSaveFile, "%s: not saved: %s", logPrintable(path), logPrintable(error->detail));
    } else {
        qCDebug(lcSaveFile, "%s: saved %lld bytes", logPrintable(path), static_cast<long long>(bytes.size()));
    }
    return error;
}

} // namespace host
