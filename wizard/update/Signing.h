#pragma once

#include "host/Failure.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// Whether a downloaded file is what the vendor signed, by one of the
// vendor's minisign public keys that the build carries.
namespace signing {

// A signature file larger than this is refused unread.
constexpr qint64 kMaxSignatureBytes = 4096;

// What a signature says about the file it covers, once it has verified.
struct Verified {
    host::Outcome failure;     // why the file is not what a trusted key signed; nothing when it is
    QByteArray trustedComment; // the signed comment, when there is no failure
};

// Whether the file at `path` is what `signatureFile` says the owner of one
// of `keyLines` signed. `digest`, when not empty, is the file's BLAKE2b-512
// taken as it arrived, so a large file is not read again.
Verified Check(const QStringList& keyLines, const QByteArray& signatureFile, const QString& path,
               const QByteArray& digest);

// One release as the vendor's publishing tool names it in the trusted
// comment of the version file's signature: tab-separated "key:value" fields.
//   timestamp:SECONDS  file:EDITION_FILE  product:NAME  version:VERSION
//   size:BYTES  blake2b:128 HEX DIGITS  [expires:SECONDS]
// Times are seconds since 1970 UTC. Fields this program does not know are
// passed over, so that a later tool may add some.
struct Release {
    qint64 signedAt = 0;
    QByteArray file;    // the version file's name: the edition it is for
    QByteArray product; // line 1 of the version file, byte for byte
    QByteArray version; // line 2 of the version file, byte for byte
    qint64 packageSize = 0;
    QByteArray packageDigest; // BLAKE2b-512 of the package, 64 bytes
    std::optional<qint64> expiresAt;
};

struct ParsedRelease {
    Release release;
    host::Outcome failure; // Malformed: why the comment names no release
};
ParsedRelease ParseRelease(const QByteArray& trustedComment);

// A signing or expiry time as the user reads it: "2026-12-07 21:04:38 UTC".
QString TimeText(qint64 secondsSinceEpoch);

} // namespace signing
