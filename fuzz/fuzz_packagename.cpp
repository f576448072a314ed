// The package URL and package file-name rules on any text: what they accept
// can be downloaded, and can only name a file inside the program folder.
#include "FuzzCheck.h"

#include "download/AsyncRead.h"
#include "wizard/update/VersionFile.h"

#include <QDir>

namespace {

// A name the rules accept stays a single entry of the folder it is put in.
void checkStaysInFolder(const QString& name) {
    if (!versionfile::IsPlainFileName(name)) {
        return;
    }
    FUZZ_CHECK(name.toUtf8().size() <= 255);
    const QString folder = QStringLiteral("/program/folder");
    FUZZ_CHECK(QDir::cleanPath(folder + QLatin1Char('/') + name) == folder + QLatin1Char('/') + name);
    for (const QChar c : name) {
        FUZZ_CHECK(c.unicode() >= 0x20 && c != QLatin1Char('\\') && c != QLatin1Char(':'));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    checkStaysInFolder(text);
    checkStaysInFolder(versionfile::UpdateFileNameFor(text));

    namespace N = download::AsyncReadErrorNumber;
    const download::ParsedTarget parsed = download::ParseTarget(text);
    if (parsed.error) {
        FUZZ_CHECK(parsed.url.isEmpty());
        FUZZ_CHECK(parsed.error->Number == N::EmptyTarget || parsed.error->Number == N::MalformedTarget ||
                   parsed.error->Number == N::UnsupportedScheme);
        FUZZ_CHECK(parsed.error->Description.endsWith(QLatin1Char('.')));
        return 0;
    }
    FUZZ_CHECK(parsed.url.isValid() && !parsed.url.host().isEmpty());
    const QString scheme = parsed.url.scheme();
    FUZZ_CHECK(scheme == QLatin1String("http") || scheme == QLatin1String("https"));
    // The address as it goes on the wire reads back as the same address, so
    // what is fetched is what was accepted.
    const QString wire = parsed.url.toString(QUrl::FullyEncoded | QUrl::RemoveFragment);
    const download::ParsedTarget again = download::ParseTarget(wire);
    FUZZ_CHECK(!again.error);
    FUZZ_CHECK(again.url.toString(QUrl::FullyEncoded | QUrl::RemoveFragment) == wire);
    return 0;
}
