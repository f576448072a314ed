// Handing a package that is not a program to the desktop's opener: its exit
// status decides whether the package was taken; an opener that stays running
// counts as having taken it and is neither killed nor left as a zombie.
#include "host/ShellExecute.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray gPath;

QByteArray quoted(const QString& path) {
    return '\'' + QFile::encodeName(path) + '\'';
}

// A package of plain bytes in `dir` and, for a script, a stand-in xdg-open
// first on PATH that notes its folder and argument in "record".
std::int32_t openWithOpener(const QTemporaryDir& dir, const QByteArray& script) {
    const QString package = dir.filePath(QStringLiteral("Update202.EXE"));
    QFile file(package);
    file.open(QIODevice::WriteOnly);
    file.write("plain bytes, no program");
    file.close();
    qputenv("PATH", gPath);
    if (!script.isEmpty()) {
        QDir(dir.path()).mkdir(QStringLiteral("bin"));
        QFile opener(dir.filePath(QStringLiteral("bin/xdg-open")));
        opener.open(QIODevice::WriteOnly);
        opener.write("#!/bin/sh\nprintf '%s\\n%s\\n' \"$PWD\" \"$1\" > " + quoted(dir.filePath("record")) + '\n' +
                     script + '\n');
        opener.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        qputenv("PATH", QFile::encodeName(dir.filePath(QStringLiteral("bin"))) + ':' + gPath);
    }
    return host::ShellExecuteOpen(package.toStdU16String(), dir.path().toStdU16String());
}
} // namespace

class tst_shellexecute : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        gPath = qgetenv("PATH");
        // Nothing on this machine may take the file by chance: no display, no browser.
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        qunsetenv("XDG_CURRENT_DESKTOP");
        qputenv("BROWSER", "/nonexistent/browser");
    }

    void openerExitStatus_decidesWhetherThePackageWasTaken_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("result");
        QTest::newRow("real xdg-open, nothing opens .EXE") << QByteArray() << 31;
        QTest::newRow("opener exits 0") << QByteArray("exit 0") << 42;
        QTest::newRow("opener exits 4") << QByteArray("exit 4") << 31;
        QTest::newRow("opener killed") << QByteArray("kill -9 $$") << 31;
    }
    void openerExitStatus_decidesWhetherThePackageWasTaken() {
        QFETCH(QByteArray, script);
        QFETCH(int, result);
        QTemporaryDir dir;
        QCOMPARE(openWithOpener(dir, script), result);
        QFile record(dir.filePath(QStringLiteral("record")));
        QCOMPARE(record.open(QIODevice::ReadOnly), !script.isEmpty());
        if (!script.isEmpty()) {
            QCOMPARE(QString::fromUtf8(record.readAll()),
                     dir.path() + QStringLiteral("\n%1/Update202.EXE\n").arg(dir.path()));
        }
    }

    void openerStillRunning_countsAsTaken_andIsLeftRunning() {
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("pid"));
        const QString release = dir.filePath(QStringLiteral("release"));
        const QString done = dir.filePath(QStringLiteral("done"));
        const auto previous = host::SetOpenerWaitForTest(std::chrono::milliseconds(200));
        const std::int32_t result =
            openWithOpener(dir, "echo $$ > " + quoted(pidFile) + "\nn=0\nwhile [ ! -e " + quoted(release) +
                                    " ] && [ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); done\ntouch " + quoted(done));
        host::SetOpenerWaitForTest(previous);

        QCOMPARE(result, 42);
        QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
        QFile pidText(pidFile);
        QVERIFY(pidText.open(QIODevice::ReadOnly));
        const QString proc = QStringLiteral("/proc/") + QString::fromLatin1(pidText.readAll().trimmed());
        QVERIFY(QFileInfo::exists(proc));
        QFile(release).open(QIODevice::WriteOnly);
        QTRY_VERIFY(QFileInfo::exists(done));
        QTRY_VERIFY(!QFileInfo::exists(proc)); // ended and reaped: no zombie stays behind
    }
};

QTEST_GUILESS_MAIN(tst_shellexecute)
#include "tst_shellexecute.moc"
