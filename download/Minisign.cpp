#include "download/Minisign.h"

#include "download/Blake2b.h"

#include <QFile>
#include <QList>
#include <QtEndian>

#include <sodium.h>

namespace download {

namespace {

constexpr int KeyIdSize = 8;
constexpr int AlgorithmSize = 2;
constexpr int EdKeySize = crypto_sign_PUBLICKEYBYTES;
constexpr int EdSignatureSize = crypto_sign_BYTES;
constexpr int PublicKeySize = AlgorithmSize + KeyIdSize + EdKeySize;
constexpr int SignatureLineSize = AlgorithmSize + KeyIdSize + EdSignatureSize;
constexpr qint64 ReadChunk = 1 << 20;

static_assert(EdKeySize == 32 && EdSignatureSize == 64, "minisign uses Ed25519 keys and signatures");
static_assert(Blake2b::DigestSize == crypto_generichash_BYTES_MAX, "minisign prehashes with BLAKE2b-512");

const QByteArray UntrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray TrustedPrefix = QByteArrayLiteral("trusted comment: ");

// sodium_init may be called from any thread any number of times; it answers
// -1 only when the library cannot work at all.
bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

SignatureCheck Failure(SignatureError error, const QString& reason) {
    return {error, reason};
}

SignatureCheck LibraryFailure() {
    return Failure(SignatureError::LibraryFailed, QStringLiteral("the cryptography library could not start"));
}

// Lines end in LF or CR LF; a last line end is optional.
QList<QByteArray> SplitLines(const QByteArray& bytes) {
    QList<QByteArray> lines = bytes.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    while (!lines.isEmpty() && lines.constLast().trimmed().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// Strict base64 with padding: a stray character, a missing "=" or a length
// other than `expected` is refused. The input is bounded by the file size
// limit, so the buffer is too.
bool DecodeBase64(const QByteArray& text, int expected, QByteArray& out, QString& reason, const QString& what) {
    if (text.isEmpty()) {
        reason = QStringLiteral("the %1 is missing").arg(what);
        return false;
    }
    if (text.size() > MaxMinisignFileSize) {
        reason = QStringLiteral("the %1 is too long").arg(what);
        return false;
    }
    QByteArray buffer(text.size() / 4 * 3 + 3, '\0');
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(buffer.data()), size_t(buffer.size()), text.constData(),
                          size_t(text.size()), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.constData() + text.size()) {
        reason = QStringLiteral("the %1 is not valid base64").arg(what);
        return false;
    }
    if (length != size_t(expected)) {
        reason = QStringLiteral("the %1 holds %2 bytes, not %3").arg(what).arg(length).arg(expected);
        return false;
    }
    buffer.truncate(expected);
    out = buffer;
    return true;
}

bool EdVerify(const QByteArray& signature, const unsigned char* message, size_t size, const QByteArray& key) {
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()), message, size,
                                       reinterpret_cast<const unsigned char*>(key.constData())) == 0;
}

// Also guards the library calls, which read fixed-size buffers: a key or a
// signature that was not parsed (an unsigned build's empty key) stops here.
SignatureCheck CheckSameKey(const MinisignPublicKey& key, const MinisignSignature& signature) {
    if (key.keyId.size() != KeyIdSize || key.key.size() != EdKeySize) {
        return Failure(SignatureError::MalformedKey, QStringLiteral("no usable public key was given"));
    }
    if (signature.keyId.size() != KeyIdSize || signature.signature.size() != EdSignatureSize ||
        signature.globalSignature.size() != EdSignatureSize) {
        return Failure(SignatureError::MalformedSignature, QStringLiteral("no usable signature was given"));
    }
    if (signature.keyId != key.keyId) {
        return Failure(SignatureError::OtherKey, QStringLiteral("the file was signed with another key (key ID %1; "
                                                                "this build trusts key ID %2)")
                                                     .arg(KeyIdText(signature.keyId), KeyIdText(key.keyId)));
    }
    return {};
}

// The message's signature, then the trusted comment's: both must hold.
SignatureCheck CheckSigned(const MinisignPublicKey& key, const MinisignSignature& signature,
                           const unsigned char* message, size_t size) {
    if (!EdVerify(signature.signature, message, size, key.key)) {
        return Failure(SignatureError::MessageMismatch, QStringLiteral("the signature does not match the file"));
    }
    const QByteArray covered = signature.signature + signature.trustedComment;
    if (!EdVerify(signature.globalSignature, reinterpret_cast<const unsigned char*>(covered.constData()),
                  size_t(covered.size()), key.key)) {
        return Failure(SignatureError::CommentAltered, QStringLiteral("the trusted comment was altered"));
    }
    return {};
}

SignatureCheck Unreadable(const QString& path, const QString& why) {
    return Failure(SignatureError::Unreadable, QStringLiteral("cannot read %1: %2").arg(path, why));
}

} // namespace

QString KeyIdText(const QByteArray& keyId) {
    if (keyId.size() != KeyIdSize) {
        return QStringLiteral("(none)");
    }
    // minisign shows the id as a little-endian 64-bit number, without leading zeros.
    return QString::number(qFromLittleEndian<quint64>(keyId.constData()), 16).toUpper();
}

Parsed<MinisignPublicKey> ParsePublicKey(const QByteArray& text) {
    Parsed<MinisignPublicKey> parsed;
    auto fail = [&parsed](const QString& reason) {
        parsed.check = Failure(SignatureError::MalformedKey, QStringLiteral("the public key is not usable: ") + reason);
        return parsed;
    };
    if (text.size() > MaxMinisignFileSize) {
        return fail(QStringLiteral("it is longer than %1 bytes").arg(MaxMinisignFileSize));
    }
    QList<QByteArray> lines = SplitLines(text.trimmed());
    for (QByteArray& line : lines) {
        line = line.trimmed();
    }
    if (lines.size() == 2 && lines.constFirst().startsWith(UntrustedPrefix.trimmed())) {
        lines.removeFirst();
    }
    if (lines.size() != 1) {
        return fail(QStringLiteral("expected the key line alone, or an \"untrusted comment:\" line and the key line"));
    }
    QByteArray raw;
    QString reason;
    if (!DecodeBase64(lines.constFirst(), PublicKeySize, raw, reason, QStringLiteral("key line"))) {
        return fail(reason);
    }
    if (!raw.startsWith("Ed")) {
        return fail(QStringLiteral("it is not an Ed25519 key"));
    }
    parsed.value.keyId = raw.mid(AlgorithmSize, KeyIdSize);
    parsed.value.key = raw.mid(AlgorithmSize + KeyIdSize);
    return parsed;
}

Parsed<MinisignSignature> ParseSignature(const QByteArray& bytes) {
    Parsed<MinisignSignature> parsed;
    auto fail = [&parsed](const QString& reason) {
        parsed.check =
            Failure(SignatureError::MalformedSignature, QStringLiteral("the signature file is not usable: ") + reason);
        return parsed;
    };
    if (bytes.size() > MaxMinisignFileSize) {
        return fail(QStringLiteral("it is longer than %1 bytes").arg(MaxMinisignFileSize));
    }
    const QList<QByteArray> lines = SplitLines(bytes);
    if (lines.size() < 4) {
        return fail(QStringLiteral("it has %1 of its 4 lines").arg(lines.size()));
    }
    if (lines.size() > 4) {
        return fail(QStringLiteral("it has text after its 4 lines"));
    }
    if (!lines.at(0).startsWith(UntrustedPrefix)) {
        return fail(QStringLiteral("line 1 does not begin with \"untrusted comment: \""));
    }
    QByteArray raw;
    QString reason;
    if (!DecodeBase64(lines.at(1), SignatureLineSize, raw, reason, QStringLiteral("signature line"))) {
        return fail(reason);
    }
    const QByteArray algorithm = raw.left(AlgorithmSize);
    if (algorithm == "ED") {
        parsed.value.algorithm = MinisignSignature::Algorithm::Prehashed;
    } else if (algorithm == "Ed") {
        parsed.value.algorithm = MinisignSignature::Algorithm::Legacy;
    } else {
        return fail(QStringLiteral("its algorithm is neither Ed nor ED"));
    }
    parsed.value.keyId = raw.mid(AlgorithmSize, KeyIdSize);
    parsed.value.signature = raw.mid(AlgorithmSize + KeyIdSize);
    if (!lines.at(2).startsWith(TrustedPrefix)) {
        return fail(QStringLiteral("line 3 does not begin with \"trusted comment: \""));
    }
    parsed.value.trustedComment = lines.at(2).mid(TrustedPrefix.size());
    if (!DecodeBase64(lines.at(3), EdSignatureSize, parsed.value.globalSignature, reason,
                      QStringLiteral("global signature"))) {
        return fail(reason);
    }
    return parsed;
}

SignatureCheck Verify(const MinisignPublicKey& key, const MinisignSignature& signature, const QByteArray& message) {
    if (!SodiumReady()) {
        return LibraryFailure();
    }
    if (signature.algorithm == MinisignSignature::Algorithm::Prehashed) {
        return VerifyPrehashed(key, signature, Blake2b::hash(message));
    }
    const SignatureCheck sameKey = CheckSameKey(key, signature);
    if (!sameKey.ok()) {
        return sameKey;
    }
    return CheckSigned(key, signature, reinterpret_cast<const unsigned char*>(message.constData()),
                       size_t(message.size()));
}

SignatureCheck VerifyPrehashed(const MinisignPublicKey& key, const MinisignSignature& signature,
                               const QByteArray& digest) {
    if (!SodiumReady()) {
        return LibraryFailure();
    }
    const SignatureCheck sameKey = CheckSameKey(key, signature);
    if (!sameKey.ok()) {
        return sameKey;
    }
    if (signature.algorithm != MinisignSignature::Algorithm::Prehashed) {
        return Failure(SignatureError::NeedsWholeMessage,
                       QStringLiteral("the signature is in the legacy format, which is checked against the whole "
                                      "file, not its digest"));
    }
    if (digest.size() != Blake2b::DigestSize) {
        return Failure(
            SignatureError::MessageMismatch,
            QStringLiteral("the file's digest has %1 bytes, not %2").arg(digest.size()).arg(Blake2b::DigestSize));
    }
    return CheckSigned(key, signature, reinterpret_cast<const unsigned char*>(digest.constData()),
                       size_t(digest.size()));
}

SignatureCheck VerifyFile(const MinisignPublicKey& key, const MinisignSignature& signature, const QString& path) {
    if (!SodiumReady()) {
        return LibraryFailure();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Unreadable(path, file.errorString());
    }
    // Reading a large package is pointless when the key is not ours.
    const SignatureCheck sameKey = CheckSameKey(key, signature);
    if (!sameKey.ok()) {
        return sameKey;
    }
    if (signature.algorithm == MinisignSignature::Algorithm::Legacy) {
        const qint64 size = file.size();
        if (size == 0) {
            static const unsigned char nothing = 0;
            return CheckSigned(key, signature, &nothing, 0);
        }
        const uchar* mapped = file.map(0, size);
        if (!mapped) {
            return Unreadable(path, file.errorString());
        }
        return CheckSigned(key, signature, mapped, size_t(size));
    }
    Blake2b hash;
    QByteArray chunk(ReadChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), chunk.size());
        if (got < 0) {
            return Unreadable(path, file.errorString());
        }
        if (got == 0) {
            break;
        }
        hash.addData(chunk.constData(), got);
    }
    return VerifyPrehashed(key, signature, hash.result());
}

} // namespace download
