// Saving a package onto a disk that fills up: the save must fail with the
// system's reason and leave the older package exactly as it was, however
// small the new one is.
#include "host/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace {

// A 64 KiB tmpfs of its own, mounted inside a temporary folder for the life
// of the object.
class SmallDisk {
public:
    SmallDisk() : mPath(mDir.filePath(QStringLiteral("disk"))) {
        mMounted = QDir().mkdir(mPath) && ::mount("tmpfs", QFile::encodeName(mPath).constData(), "tmpfs",
                                                  MS_NOSUID | MS_NODEV, "size=64k") == 0;
        mError = errno;
    }
    ~SmallDisk() {
        if (mMounted) {
            ::umount2(QFile::encodeName(mPath).constData(), MNT_DETACH);
        }
    }
    bool mounted() const { return mMounted; }
    QString why() const { return qt_error_string(mError); }
    QString path() const { return mPath; }
    qint64 available() const {
        struct statvfs info {};
        return ::statvfs(QFile::encodeName(mPath).constData(), &info) == 0
                   ? qint64(info.f_bavail) * qint64(info.f_frsize)
                   : -1;
    }

private:
    QTemporaryDir mDir;
    QString mPath;
    bool mMounted = false;
    int mError = 0;
};

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
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
        if (::geteuid() != 0) {
            QSKIP("mounting a small tmpfs needs root");
        }
        SmallDisk disk;
        QVERIFY2(disk.mounted(), qPrintable(QStringLiteral("no tmpfs could be mounted: ") + disk.why()));
        const QString target = disk.path() + QStringLiteral("/Update201.EXE");
        const QByteArray older("the older package");
        QVERIFY(writeFile(target, older));
        QVERIFY(writeFile(disk.path() + QStringLiteral("/filler"), QByteArray(disk.available() - freeBytes, 'f')));
        QCOMPARE(disk.available(), qint64(freeBytes));

        const QByteArray package(size, 'p');
        const std::optional<QString> failure = host::SaveWholeFile(target, package);

        QFile saved(target);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        if (fits) {
            QCOMPARE(failure.value_or(QString()), QString());
            QCOMPARE(saved.readAll(), package);
        } else {
            QCOMPARE(failure.value_or(QStringLiteral("(saved)")), qt_error_string(ENOSPC));
            QCOMPARE(saved.readAll(), older);
        }
        QCOMPARE(QDir(disk.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{QStringLiteral("filler"), QStringLiteral("Update201.EXE")}));
    }
};

QTEST_GUILESS_MAIN(tst_savefile)
#include "tst_savefile.moc"
