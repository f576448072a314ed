#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Whether a downloaded file is what the vendor signed, by the vendor's
// minisign public key that the build carries.
namespace signing {

// A signature file larger than this is refused unread.
constexpr qint64 kMaxSignatureBytes = 4096;

// Why the file at `path` is not what `signatureFile` says the key's owner
// signed, or nothing when it is. `digest`, when not empty, is the file's
// BLAKE2b-512 taken as it arrived, so a large file is not read again.
std::optional<QString> Check(const QString& keyLine, const QByteArray& signatureFile, const QString& path,
                             const QByteArray& digest);

} // namespace signing
