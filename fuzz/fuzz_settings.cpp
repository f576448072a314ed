// The settings file that other programs also write. Input: one byte giving
// the length of a value, that many bytes of the value (UTF-8), then the
// bytes of the settings file. The file is read, the value is saved as
// ServerVersion, and then: a value saved reads back unchanged, every other
// value reads as before, and a file that was refused is left byte for byte.
#include "FuzzCheck.h"

#include "settings/RegistryBackend.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <map>

namespace {

using modRWRegistry::RegReadString;
using modRWRegistry::RegWriteString;
using modRWRegistry::RootKey;

const std::u16string kKey = u"Software\\Quorant";

QTemporaryDir& configHome() {
    static QTemporaryDir dir;
    return dir;
}

QString settingsFile() {
    return configHome().filePath(QStringLiteral("Quorant.conf"));
}

QByteArray fileBytes() {
    QFile file(settingsFile());
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

// The names the product uses, and the names the file's own lines give.
QStringList namesIn(const QByteArray& file) {
    QStringList names{QStringLiteral("CurrentProduct"), QStringLiteral("CurrentVersion"),
                      QStringLiteral("ServerVersion")};
    for (const QByteArray& line : file.split('\n').mid(0, 8)) {
        const qsizetype equals = line.indexOf('=');
        const QString name = QString::fromUtf8(line.left(equals)).trimmed();
        if (equals > 0 && !name.isEmpty() && !name.contains(QLatin1Char('/'))) {
            names.append(name);
        }
    }
    return names;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every write ends in an fsync; in memory it costs nothing, so the
    // fuzzer tries hundreds of files a second instead of a few.
    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable()) {
        qputenv("TMPDIR", "/dev/shm");
    }
    FUZZ_CHECK(configHome().isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome().path()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t valueSize = std::min<size_t>(data[0] % 64, size - 1);
    const QString value = QString::fromUtf8(reinterpret_cast<const char*>(data) + 1, qsizetype(valueSize));
    const QByteArray original(reinterpret_cast<const char*>(data) + 1 + valueSize, qsizetype(size - 1 - valueSize));
    {
        QFile file(settingsFile());
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(original) == original.size() && file.flush());
    }

    // A regular file that can be read is always read, whatever it holds.
    std::map<QString, std::optional<std::u16string>> before;
    for (const QString& name : namesIn(original)) {
        const modRWRegistry::ReadResult read = RegReadString(RootKey::CurrentUser, kKey, name.toStdU16String());
        FUZZ_CHECK(!read.failure);
        before[name] = read.value;
    }

    const QString written = QStringLiteral("ServerVersion");
    const std::optional<modRWRegistry::StoreFailure> failure =
        RegWriteString(RootKey::CurrentUser, kKey, written.toStdU16String(), value.toStdU16String());
    if (failure) {
        FUZZ_CHECK(fileBytes() == original);
        return 0;
    }
    for (const auto& [name, previous] : before) {
        const modRWRegistry::ReadResult read = RegReadString(RootKey::CurrentUser, kKey, name.toStdU16String());
        FUZZ_CHECK(!read.failure);
        if (name == written) {
            FUZZ_CHECK(read.value == value.toStdU16String());
        } else {
            FUZZ_CHECK(read.value == previous);
        }
    }
    return 0;
}
