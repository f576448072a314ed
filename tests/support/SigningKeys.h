#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// Key pairs and signatures made by the real minisign tool, as the vendor
// makes them, in a folder of the test's own.
class SigningKeys {
public:
    // Whether minisign is installed; the tests that need it fail without it.
    static bool available();

    // A new key pair under `name`; returns its public key line, or "" when
    // minisign failed.
    QString make(const QString& name);
    // The .minisig that key `name` writes for `bytes` with the trusted
    // comment `comment`; "" when minisign failed.
    QByteArray sign(const QString& name, const QByteArray& bytes, const QByteArray& comment, bool legacy = false);

    // The trusted comment the publishing tool writes for one release.
    static QByteArray releaseComment(qint64 signedAt, const QByteArray& file, const QByteArray& product,
                                     const QByteArray& version, const QByteArray& package, qint64 expiresAt = -1);

private:
    bool run(const QStringList& arguments);

    QTemporaryDir mDir;
    QMap<QString, QString> mKeys;
};
