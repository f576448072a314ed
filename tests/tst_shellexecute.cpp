// Handing a package that is not a program to the desktop's opener: its exit
// status decides whether the package was taken, an opener that stays running
// counts as having taken it and is neither killed nor left as a zombie.
#include "host/ShellExecute.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <map>

namespace {

// Sets environment variables for the life of the object (empty: unset).
class EnvGuard {
public:
    void set(const char* name, const QByteArray& value) {
        if (mSaved.find(name) == mSaved.end()) {
            mSaved[name] = qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
        }
        value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
    }
    ~EnvGuard() {
        for (const auto& [name, value] : mSaved) {
            value ? qputenv(name.c_str(), *value) : qunsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<QByteArray>> mSaved;
};

// A folder with a package of plain bytes and, when a script is given, a
// stand-in xdg-open placed first on PATH.
struct Desk {
    QTemporaryDir dir;
    EnvGuard env;
    QString package = dir.filePath(QStringLiteral("Update202.EXE"));
    QString record = dir.filePath(QStringLiteral("record"));

    bool prepare(const QByteArray& script) {
        QFile file(package);
        if (!file.open(QIODevice::WriteOnly) || file.write("plain bytes, no program") <= 0) {
            return false;
        }
        file.close();
        // Nothing on this machine may take the file by chance: no display, no browser.
        env.set("DISPLAY", {});
        env.set("WAYLAND_DISPLAY", {});
        env.set("XDG_CURRENT_DESKTOP", {});
        env.set("BROWSER", QFile::encodeName(dir.filePath(QStringLiteral("no-browser"))));
        if (script.isEmpty()) {
            return true;
        }
        const QString bin = dir.filePath(QStringLiteral("bin"));
        QFile opener(bin + QStringLiteral("/xdg-open"));
        const QByteArray text =
            "#!/bin/sh\nprintf '%s\\n%s\\n' \"$PWD\" \"$1\" > '" + QFile::encodeName(record) + "'\n" + script + "\n";
        env.set("PATH", QFile::encodeName(bin) + ':' + qgetenv("PATH"));
        return QDir().mkdir(bin) && opener.open(QIODevice::WriteOnly) && opener.write(text) == text.size() &&
               opener.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    std::int32_t open() { return host::ShellExecuteOpen(package.toStdU16String(), dir.path().toStdU16String()); }
};

} // namespace

class tst_shellexecute : public QObject {
    Q_OBJECT

private slots:
    void openerExitStatus_decidesWhetherThePackageWasTaken_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("taken");
        QTest::newRow("real xdg-open, nothing opens .EXE") << QByteArray() << false;
        QTest::newRow("opener exits 0") << QByteArray("exit 0") << true;
        QTest::newRow("opener exits 4") << QByteArray("exit 4") << false;
        QTest::newRow("opener killed") << QByteArray("kill -9 $$") << false;
    }
    void openerExitStatus_decidesWhetherThePackageWasTaken() {
        QFETCH(QByteArray, script);
        QFETCH(bool, taken);
        Desk desk;
        QVERIFY(desk.prepare(script));

        const std::int32_t result = desk.open();

        QCOMPARE(result, taken ? 42 : 31);
        if (!script.isEmpty()) {
            QFile record(desk.record);
            QVERIFY(record.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromUtf8(record.readAll()), desk.dir.path() + QLatin1Char('\n') + desk.package + '\n');
        }
    }

    void openerStillRunning_countsAsTaken_andIsLeftRunning() {
        Desk desk;
        const QString pidFile = desk.dir.filePath(QStringLiteral("pid"));
        const QString release = desk.dir.filePath(QStringLiteral("release"));
        const QString done = desk.dir.filePath(QStringLiteral("done"));
        QVERIFY(desk.prepare("echo $$ > '" + QFile::encodeName(pidFile) + "'\nn=0\nwhile [ ! -e '" +
                             QFile::encodeName(release) + "' ] && [ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); done\n" +
                             "touch '" + QFile::encodeName(done) + "'"));
        const auto previous = host::SetOpenerWaitForTest(std::chrono::milliseconds(200));
        const std::int32_t result = desk.open();
        host::SetOpenerWaitForTest(previous);

        QCOMPARE(result, 42);
        QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
        QFile pidText(pidFile);
        QVERIFY(pidText.open(QIODevice::ReadOnly));
        const pid_t pid = pidText.readAll().trimmed().toInt();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid, 0), 0);
        QFile(release).open(QIODevice::WriteOnly);
        QTRY_VERIFY(QFileInfo::exists(done));
        // Once it has ended, the updater reaps it: no zombie stays behind.
        QTRY_VERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    }
};

QTEST_GUILESS_MAIN(tst_shellexecute)
#include "tst_shellexecute.moc"
