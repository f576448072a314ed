#include "wizard/Signing.h"

#include "host/Blake2b.h"
#include "host/Minisign.h"

namespace signing {

std::optional<QString> Check(const QString& keyLine, const QByteArray& signatureFile, const QString& path,
                             const QByteArray& digest) {
    const host::Parsed<host::MinisignPublicKey> key = host::ParsePublicKey(keyLine.toLatin1());
    if (!key.check.ok()) {
        return QStringLiteral("the key this program was built with is not usable (%1)").arg(key.check.reason);
    }
    if (signatureFile.size() > kMaxSignatureBytes) {
        return QStringLiteral("its signature is larger than 4 KiB");
    }
    const host::Parsed<host::MinisignSignature> signature = host::ParseSignature(signatureFile);
    if (!signature.check.ok()) {
        return signature.check.reason;
    }
    // The digest taken while the file arrived spares reading a large package
    // again; a legacy signature covers the bytes themselves and reads them.
    const bool prehashed = signature.value.algorithm == host::MinisignSignature::Algorithm::Prehashed;
    const host::SignatureCheck check = prehashed && digest.size() == host::Blake2b::DigestSize
                                           ? host::VerifyPrehashed(key.value, signature.value, digest)
                                           : host::VerifyFile(key.value, signature.value, path);
    if (!check.ok()) {
        return check.reason;
    }
    return std::nullopt;
}

} // namespace signing
