// The signature and public-key readers, and the verification behind signed
// updates. Each input is read as a key and as a signature file, and is also
// signed as a message with a fixed test key: that signature must verify, and
// must fail for the message with any one byte changed.
#include "FuzzCheck.h"

#include "download/Blake2b.h"
#include "download/Minisign.h"

#include <sodium.h>

namespace {

using download::MinisignSignature;

struct TestKey {
    QByteArray keyId = QByteArrayLiteral("\x01\x02\x03\x04\x05\x06\x07\x08");
    QByteArray publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, '\0');
    download::MinisignPublicKey parsed;
};

TestKey& testKey() {
    static TestKey key;
    return key;
}

QByteArray sign(const QByteArray& message) {
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size()),
                         reinterpret_cast<const unsigned char*>(testKey().secretKey.constData()));
    return signature;
}

// A .minisig file as the minisign tool writes it, for `message`.
QByteArray signatureFile(const QByteArray& message, MinisignSignature::Algorithm algorithm, const QByteArray& comment) {
    const bool prehashed = algorithm == MinisignSignature::Algorithm::Prehashed;
    QByteArray covered = message;
    if (prehashed) {
        covered = QByteArray(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash(reinterpret_cast<unsigned char*>(covered.data()), size_t(covered.size()),
                           reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size()), nullptr,
                           0);
    }
    const QByteArray signature = sign(covered);
    const QByteArray line = QByteArray(prehashed ? "ED" : "Ed") + testKey().keyId + signature;
    return "untrusted comment: fuzz\n" + line.toBase64() + "\ntrusted comment: " + comment + "\n" +
           sign(signature + comment).toBase64() + "\n";
}

void checkParsedKey(const QByteArray& text) {
    const download::Parsed<download::MinisignPublicKey> key = download::ParsePublicKey(text);
    if (!key.check.ok()) {
        FUZZ_CHECK(key.check.error == download::SignatureError::MalformedKey && !key.check.reason.isEmpty());
        return;
    }
    FUZZ_CHECK(key.value.keyId.size() == 8 && key.value.key.size() == 32);
    const download::Parsed<download::MinisignPublicKey> again =
        download::ParsePublicKey(("Ed" + key.value.keyId + key.value.key).toBase64());
    FUZZ_CHECK(again.check.ok() && again.value.keyId == key.value.keyId && again.value.key == key.value.key);
}

void checkParsedSignature(const QByteArray& bytes) {
    const download::Parsed<MinisignSignature> parsed = download::ParseSignature(bytes);
    if (!parsed.check.ok()) {
        FUZZ_CHECK(parsed.check.error == download::SignatureError::MalformedSignature &&
                   !parsed.check.reason.isEmpty());
        return;
    }
    const MinisignSignature& s = parsed.value;
    FUZZ_CHECK(s.keyId.size() == 8 && s.signature.size() == 64 && s.globalSignature.size() == 64);
    FUZZ_CHECK(!s.trustedComment.contains('\n'));
    const QByteArray line =
        (s.algorithm == MinisignSignature::Algorithm::Prehashed ? "ED" : "Ed") + s.keyId + s.signature;
    const download::Parsed<MinisignSignature> again = download::ParseSignature(
        "untrusted comment: x\r\n" + line.toBase64() + "\r\ntrusted comment: " + s.trustedComment + "\r\n" +
        s.globalSignature.toBase64() + "\r\n");
    FUZZ_CHECK(again.check.ok() && again.value.algorithm == s.algorithm && again.value.signature == s.signature &&
               again.value.trustedComment == s.trustedComment && again.value.globalSignature == s.globalSignature);
}

void checkSigned(const QByteArray& message, MinisignSignature::Algorithm algorithm, qsizetype at, char flip) {
    const QByteArray comment("timestamp:1\tfile:Update201.EXE");
    const download::Parsed<MinisignSignature> parsed =
        download::ParseSignature(signatureFile(message, algorithm, comment));
    FUZZ_CHECK(parsed.check.ok() && parsed.value.algorithm == algorithm);
    const download::MinisignPublicKey& key = testKey().parsed;
    FUZZ_CHECK(download::Verify(key, parsed.value, message).ok());
    const download::SignatureCheck byDigest =
        download::VerifyPrehashed(key, parsed.value, download::Blake2b::hash(message));
    if (algorithm == MinisignSignature::Algorithm::Prehashed) {
        FUZZ_CHECK(byDigest.ok());
    } else {
        FUZZ_CHECK(byDigest.error == download::SignatureError::NeedsWholeMessage);
    }

    if (!message.isEmpty()) {
        QByteArray changed = message;
        changed[at % message.size()] = char(changed[at % message.size()] ^ flip);
        FUZZ_CHECK(download::Verify(key, parsed.value, changed).error == download::SignatureError::MessageMismatch);
    }
    FUZZ_CHECK(download::Verify(key, parsed.value, message + flip).error == download::SignatureError::MessageMismatch);
    MinisignSignature altered = parsed.value;
    altered.trustedComment[at % comment.size()] = char(altered.trustedComment[at % comment.size()] ^ flip);
    FUZZ_CHECK(download::Verify(key, altered, message).error == download::SignatureError::CommentAltered);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FUZZ_CHECK(sodium_init() >= 0);
    TestKey& key = testKey();
    const QByteArray seed(crypto_sign_SEEDBYTES, 'k');
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char*>(key.publicKey.data()),
                             reinterpret_cast<unsigned char*>(key.secretKey.data()),
                             reinterpret_cast<const unsigned char*>(seed.constData()));
    const download::Parsed<download::MinisignPublicKey> parsed =
        download::ParsePublicKey("untrusted comment: fuzz\n" + ("Ed" + key.keyId + key.publicKey).toBase64() + "\n");
    FUZZ_CHECK(parsed.check.ok());
    key.parsed = parsed.value;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    checkParsedKey(bytes);
    checkParsedSignature(bytes);
    // Which byte changes, and how, comes from the input too; never by zero.
    const qsizetype at = size > 0 ? data[0] : 0;
    const char flip = char(size > 0 ? (data[size - 1] | 1) : 1);
    checkSigned(bytes, MinisignSignature::Algorithm::Prehashed, at, flip);
    checkSigned(bytes, MinisignSignature::Algorithm::Legacy, at, flip);
    return 0;
}
