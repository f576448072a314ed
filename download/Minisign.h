#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// Checks minisign signatures, so that a version file or a package that did
// not come from the vendor is never recorded or offered. The vendor signs
// with the stock minisign tool; Kelvane holds only the public key.
namespace download {

enum class SignatureError {
    None,
    MalformedKey,       // the public key text is not a minisign key
    MalformedSignature, // the .minisig file cannot be read as one
    OtherKey,           // signed, but not with the key this build trusts
    NeedsWholeMessage,  // a legacy signature cannot be checked against a digest
    MessageMismatch,    // the signature does not cover these bytes
    CommentAltered,     // the trusted comment is not the one that was signed
    Unreadable,         // the signed file could not be read
    LibraryFailed,      // the cryptography library could not start
};

// The outcome of a parse or a check: None, or an error and an English reason
// fit to follow "The signature ... :" in a message.
struct SignatureCheck {
    SignatureError error = SignatureError::None;
    QString reason;
    bool ok() const { return error == SignatureError::None; }
};

struct MinisignPublicKey {
    QByteArray keyId; // 8 bytes
    QByteArray key;   // 32 bytes, Ed25519
};

struct MinisignSignature {
    enum class Algorithm {
        Legacy,    // "Ed": the signature covers the message itself
        Prehashed, // "ED": the signature covers the message's BLAKE2b-512 digest
    };
    Algorithm algorithm = Algorithm::Prehashed;
    QByteArray keyId;           // 8 bytes
    QByteArray signature;       // 64 bytes
    QByteArray trustedComment;  // the text after "trusted comment: ", without the line end
    QByteArray globalSignature; // 64 bytes, over signature + trustedComment
};

// A parsed value, meaningful only when `check` is ok.
template <typename T> struct Parsed {
    T value;
    SignatureCheck check;
};

// No .minisig or .pub file is anywhere near this size; a larger one is not read.
constexpr qint64 MaxMinisignFileSize = 4096;

// Accepts the base64 key line alone or a whole .pub file (an "untrusted
// comment:" line, then the key line). Blanks and line ends around it are
// ignored.
Parsed<MinisignPublicKey> ParsePublicKey(const QByteArray& text);

// Reads a .minisig file: untrusted comment, signature line, trusted comment,
// global signature. Lines may end in LF or CR LF.
Parsed<MinisignSignature> ParseSignature(const QByteArray& bytes);

// For small files held in memory; works for both algorithms.
SignatureCheck Verify(const MinisignPublicKey& key, const MinisignSignature& signature, const QByteArray& message);

// For a message whose BLAKE2b-512 digest (64 bytes) was computed as it
// streamed past. A legacy signature needs the whole message and fails with
// NeedsWholeMessage.
SignatureCheck VerifyPrehashed(const MinisignPublicKey& key, const MinisignSignature& signature,
                               const QByteArray& digest);

// For a file on disk of any size: mapped for a legacy signature, read in
// chunks for a prehashed one.
SignatureCheck VerifyFile(const MinisignPublicKey& key, const MinisignSignature& signature, const QString& path);

// The key id as minisign prints it (upper-case hex), for messages.
QString KeyIdText(const QByteArray& keyId);

} // namespace download
