#include "wizard/update/Signing.h"

#include "download/Blake2b.h"
#include "download/Minisign.h"

#include <QDateTime>
#include <QList>
#include <QSet>

namespace signing {

namespace {

using Kind = host::Failure::Kind;

// The signature checks' own error, as the kind of failure it is.
Kind KindOf(download::SignatureError error) {
    switch (error) {
    case download::SignatureError::MalformedKey:
    case download::SignatureError::MalformedSignature:
        return Kind::Malformed;
    case download::SignatureError::OtherKey:
        return Kind::OtherKey;
    case download::SignatureError::Unreadable:
        return Kind::ReadFailed;
    case download::SignatureError::LibraryFailed:
        return Kind::LibraryFailed;
    case download::SignatureError::None:
    case download::SignatureError::NeedsWholeMessage:
    case download::SignatureError::MessageMismatch:
    case download::SignatureError::CommentAltered:
        break;
    }
    return Kind::Unverified;
}

Verified Refused(Kind kind, const QString& detail) {
    return {host::Failure{kind, detail}, {}};
}

Verified Refused(const download::SignatureCheck& check) {
    return Refused(KindOf(check.error), check.reason);
}

// Decimal digits only: no sign, no blank, no hex, and few enough for 64 bits.
std::optional<qint64> ParseSeconds(const QByteArray& text) {
    if (text.isEmpty() || text.size() > 18) {
        return std::nullopt;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    return text.toLongLong();
}

QString Quoted(const QByteArray& text) {
    return QLatin1Char('"') + QString::fromUtf8(text) + QLatin1Char('"');
}

} // namespace

Verified Check(const QStringList& keyLines, const QByteArray& signatureFile, const QString& path,
               const QByteArray& digest) {
    QList<download::MinisignPublicKey> keys;
    for (const QString& line : keyLines) {
        const download::Parsed<download::MinisignPublicKey> key = download::ParsePublicKey(line.toLatin1());
        if (!key.check.ok()) {
            return Refused(
                Kind::Malformed,
                QStringLiteral("a key this program was built with is not usable (%1)").arg(key.check.reason));
        }
        keys.append(key.value);
    }
    if (keys.isEmpty()) {
        return Refused(Kind::Malformed, QStringLiteral("this program was built without a key"));
    }
    if (signatureFile.size() > kMaxSignatureBytes) {
        return Refused(Kind::Malformed, QStringLiteral("its signature is larger than 4 KiB"));
    }
    const download::Parsed<download::MinisignSignature> signature = download::ParseSignature(signatureFile);
    if (!signature.check.ok()) {
        return Refused(signature.check);
    }
    // The signature names its key; any of the trusted ones may have made it.
    const download::MinisignPublicKey* key = nullptr;
    QStringList trusted;
    for (const download::MinisignPublicKey& candidate : keys) {
        trusted << download::KeyIdText(candidate.keyId);
        if (candidate.keyId == signature.value.keyId) {
            key = &candidate;
        }
    }
    if (!key) {
        return Refused(Kind::OtherKey,
                       QStringLiteral("the file was signed with another key (key ID %1; this build trusts key ID %2)")
                           .arg(download::KeyIdText(signature.value.keyId), trusted.join(QStringLiteral(", "))));
    }
    // The digest taken while the file arrived spares reading a large file
    // again; a legacy signature covers the bytes themselves and reads them.
    const bool prehashed = signature.value.algorithm == download::MinisignSignature::Algorithm::Prehashed;
    const download::SignatureCheck check = prehashed && digest.size() == download::Blake2b::DigestSize
                                               ? download::VerifyPrehashed(*key, signature.value, digest)
                                               : download::VerifyFile(*key, signature.value, path);
    if (!check.ok()) {
        return Refused(check);
    }
    return {std::nullopt, signature.value.trustedComment};
}

ParsedRelease ParseRelease(const QByteArray& trustedComment) {
    ParsedRelease parsed;
    auto fail = [&parsed](const QString& reason) {
        parsed.failure =
            host::Failure{Kind::Malformed, QStringLiteral("its signature does not name one release (%1)").arg(reason)};
        return parsed;
    };
    QSet<QByteArray> seen;
    Release& release = parsed.release;
    std::optional<qint64> signedAt, size;
    for (const QByteArray& field : trustedComment.split('\t')) {
        const qsizetype colon = field.indexOf(':');
        if (colon <= 0) {
            continue; // free text a signer may add
        }
        const QByteArray key = field.left(colon);
        const QByteArray value = field.mid(colon + 1);
        if (seen.contains(key)) {
            return fail(QStringLiteral("it names %1 twice").arg(QString::fromUtf8(key)));
        }
        seen.insert(key);
        if (key == "timestamp") {
            signedAt = ParseSeconds(value);
        } else if (key == "file") {
            release.file = value;
        } else if (key == "product") {
            release.product = value;
        } else if (key == "version") {
            release.version = value;
        } else if (key == "size") {
            size = ParseSeconds(value);
        } else if (key == "blake2b") {
            release.packageDigest = QByteArray::fromHex(value);
            if (value.size() != 2 * download::Blake2b::DigestSize || release.packageDigest.toHex() != value.toLower()) {
                return fail(QStringLiteral("its package digest is not 128 hexadecimal digits"));
            }
        } else if (key == "expires") {
            release.expiresAt = ParseSeconds(value);
            if (!release.expiresAt) {
                return fail(QStringLiteral("its expiry time %1 is not a number").arg(Quoted(value)));
            }
        }
    }
    if (!signedAt) {
        return fail(QStringLiteral("no signing time"));
    }
    release.signedAt = *signedAt;
    if (release.file.isEmpty() || !seen.contains("product") || release.version.isEmpty()) {
        return fail(QStringLiteral("no version file name, product or version"));
    }
    if (!size || *size < 1 || release.packageDigest.isEmpty()) {
        return fail(QStringLiteral("no package size and digest"));
    }
    release.packageSize = *size;
    return parsed;
}

QString TimeText(qint64 secondsSinceEpoch) {
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

} // namespace signing
