// The version file from the raw bytes to what the check decides: whether the
// file is accepted, and the name, version, package URL and file name it
// takes from it. The same bytes are read as the trusted comment of a version
// file's signature, which names the release.
#include "FuzzCheck.h"

#include "download/AsyncRead.h"
#include "wizard/update/Signing.h"
#include "wizard/update/VersionFile.h"

#include <QDir>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

namespace {

// A release is named whole, or not at all.
void checkRelease(const QByteArray& comment) {
    const signing::ParsedRelease parsed = signing::ParseRelease(comment);
    if (parsed.failure) {
        return;
    }
    const signing::Release& release = parsed.release;
    FUZZ_CHECK(release.signedAt >= 0 && release.packageSize >= 1);
    FUZZ_CHECK(release.packageDigest.size() == 64);
    FUZZ_CHECK(!release.file.isEmpty() && !release.version.isEmpty());
    FUZZ_CHECK(!release.expiresAt || *release.expiresAt >= 0);
    FUZZ_CHECK(comment.contains("blake2b:" + release.packageDigest.toHex()) ||
               comment.toLower().contains("blake2b:" + release.packageDigest.toHex()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    checkRelease(bytes);
    const QStringList lines = versionfile::ReadLines(bytes);
    for (const QString& line : lines) {
        FUZZ_CHECK(!line.contains(QLatin1Char('\r')));
    }
    // The lines written back with CR LF ends read as the same lines.
    FUZZ_CHECK(versionfile::SplitLines(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")) == lines ||
               lines.isEmpty());

    const versionfile::Published published = versionfile::Interpret(lines);
    FUZZ_CHECK(published.productName == lines.value(0));
    FUZZ_CHECK(published.serverVersion == lines.value(1));
    if (published.problem) {
        // Nothing may be fetched or written for a refused file.
        FUZZ_CHECK(published.updateURL.isEmpty() && published.updateFileName.isEmpty());
        FUZZ_CHECK(published.problem->endsWith(QLatin1Char('.')));
        return 0;
    }
    FUZZ_CHECK(lines.size() >= 3);
    FUZZ_CHECK(!published.serverVersion.isEmpty());
    FUZZ_CHECK(!published.updateURL.isEmpty() && published.updateURL == lines.at(2));

    // The package lands directly inside the program folder, under a name
    // made of the version without its full stops.
    const QString name = published.updateFileName;
    FUZZ_CHECK(name.startsWith(QLatin1String("Update")) && name.endsWith(QLatin1String(".EXE")));
    FUZZ_CHECK(!name.mid(6, name.size() - 10).contains(QLatin1Char('.')));
    FUZZ_CHECK(versionfile::IsPlainFileName(name));
    const QString folder = QStringLiteral("/program/folder");
    const QString stored = QDir::cleanPath(folder + QLatin1Char('/') + name);
    FUZZ_CHECK(stored == folder + QLatin1Char('/') + name);

    // The package URL can be fetched: http or https, with a server.
    const download::ParsedTarget target = download::ParseTarget(published.updateURL);
    FUZZ_CHECK(!target.error && target.url.isValid() && !target.url.host().isEmpty());
    const QString scheme = target.url.scheme().toLower();
    FUZZ_CHECK(scheme == QLatin1String("http") || scheme == QLatin1String("https"));
    return 0;
}
