// Saving a package onto a disk that fills up: the save must fail with the
// system's reason and leave the older package exactly as it was, however
// small the new one is.
#include "host/SaveFile.h"
#include "tests/support/SmallDisk.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace {
qint64 available(const QString& path) {
    struct statvfs info {};
    return ::statvfs(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.f_bavail * info.f_frsize) : -1;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}
} // namespace

class tst_savefile : public QObject {
    Q_OBJECT

private slots:
    void fullDisk_isAFailedSave_olderPackageKept_data() {
        QTest::addColumn<int>("freeBytes");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("fits");
        QTest::newRow("nothing free, 100 bytes") << 0 << 100 << false;
        QTest::newRow("8 KiB free, 12000 bytes") << 8192 << 12000 << false;
        QTest::newRow("8 KiB free, 16 KiB") << 8192 << 16384 << false;
        QTest::newRow("12 KiB free, 16 KiB") << 12288 << 16384 << false;
        QTest::newRow("8 KiB free, 40000 bytes") << 8192 << 40000 << false;
        QTest::newRow("16 KiB free, 16 KiB") << 16384 << 16384 << true;
    }
    void fullDisk_isAFailedSave_olderPackageKept() {
        QFETCH(int, freeBytes);
        QFETCH(int, size);
        QFETCH(bool, fits);
        const SmallDisk dir("64k");
        if (!dir.mounted()) {
            QSKIP(qPrintable(dir.error()));
        }
        const QString target = dir.filePath(QStringLiteral("Update201.EXE"));
        const QByteArray older("the older package");
        QVERIFY(writeFile(target, older));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("filler")), QByteArray(available(dir.path()) - freeBytes, 'f')));
        QCOMPARE(available(dir.path()), qint64(freeBytes));

        const QByteArray package(size, 'p');
        const host::Outcome result = host::SaveWholeFile(target, package);
        const QString failure = result ? result->detail : QStringLiteral("(saved)");

        QFile saved(target);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        if (fits) {
            QCOMPARE(failure, QStringLiteral("(saved)"));
            QCOMPARE(saved.readAll(), package);
        } else {
            QCOMPARE(failure, qt_error_string(ENOSPC));
            QCOMPARE(result->kind, host::Failure::Kind::WriteFailed);
            QCOMPARE(saved.readAll(), older);
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{QStringLiteral("filler"), QStringLiteral("Update201.EXE")}));
    }

    // Every byte written, but the whole file cannot take the target's name:
    // another file is mounted over the target, and a mount point is not
    // renamed over. The save fails with the system's reason and leaves no
    // temporary file; the older package is still there under the mount.
    void targetNotReplaceable_isAFailedSave_olderPackageKept_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("100 bytes onto a mount point") << 100;
        QTest::newRow("nothing onto a mount point") << 0;
    }
    void targetNotReplaceable_isAFailedSave_olderPackageKept() {
        QFETCH(int, size);
        if (::geteuid() != 0) {
            QSKIP("mounting a file over another needs root");
        }
        QTemporaryDir dir, elsewhere;
        const QString target = dir.filePath(QStringLiteral("Update201.EXE"));
        const QString cover = elsewhere.filePath(QStringLiteral("cover"));
        QVERIFY(writeFile(target, "the older package") && writeFile(cover, "the mounted file"));
        const QByteArray encoded = QFile::encodeName(target);
        QVERIFY2(::mount(QFile::encodeName(cover).constData(), encoded.constData(), nullptr, MS_BIND, nullptr) == 0,
                 qPrintable(qt_error_string(errno)));

        const host::Outcome result = host::SaveWholeFile(target, QByteArray(size, 'p'));
        QCOMPARE(::umount2(encoded.constData(), MNT_DETACH), 0);
        QCOMPARE(result ? result->detail : QStringLiteral("(saved)"), qt_error_string(EBUSY));
        QCOMPARE(result->kind, host::Failure::Kind::WriteFailed);
        QCOMPARE(readFile(target), QByteArray("the older package"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("Update201.EXE")});
    }
};

QTEST_GUILESS_MAIN(tst_savefile)
#include "tst_savefile.moc"
