#include "tests/support/SigningKeys.h"

#include "download/Blake2b.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

bool SigningKeys::available() {
    return !QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty();
}

bool SigningKeys::run(const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStandardPaths::findExecutable(QStringLiteral("minisign")), arguments);
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString SigningKeys::make(const QString& name) {
    const QString pub = mDir.filePath(name + QStringLiteral(".pub"));
    if (!run({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), pub, QStringLiteral("-s"),
              mDir.filePath(name + QStringLiteral(".key"))})) {
        return QString();
    }
    QFile file(pub);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().split('\n').value(1)) : QString();
}

QByteArray SigningKeys::sign(const QString& name, const QByteArray& bytes, const QByteArray& comment, bool legacy) {
    const QString message = mDir.filePath(QStringLiteral("message"));
    QFile file(message);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        return QByteArray();
    }
    file.close();
    QStringList arguments{QStringLiteral("-S"),
                          QStringLiteral("-s"),
                          mDir.filePath(name + QStringLiteral(".key")),
                          QStringLiteral("-m"),
                          message,
                          QStringLiteral("-t"),
                          QString::fromUtf8(comment)};
    if (legacy) {
        arguments << QStringLiteral("-l");
    }
    QFile signature(message + QStringLiteral(".minisig"));
    return run(arguments) && signature.open(QIODevice::ReadOnly) ? signature.readAll() : QByteArray();
}

QByteArray SigningKeys::releaseComment(qint64 signedAt, const QByteArray& file, const QByteArray& product,
                                       const QByteArray& version, const QByteArray& package, qint64 expiresAt) {
    QByteArray comment = "timestamp:" + QByteArray::number(signedAt) + "\tfile:" + file + "\tproduct:" + product +
                         "\tversion:" + version + "\tsize:" + QByteArray::number(package.size()) +
                         "\tblake2b:" + download::Blake2b::hash(package).toHex();
    if (expiresAt >= 0) {
        comment += "\texpires:" + QByteArray::number(expiresAt);
    }
    return comment;
}
