// The per-user settings file that Kelvane shares with the product: what is
// read, what is written, and what happens when the file is not what it
// should be or another program writes it at the same time.
#include "host/MsgBox.h"
#include "settings/RegistryBackend.h"
#include "settings/modRWRegistry.h"
#include "tests/support/Recorders.h"
#include "tests/support/TempConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <unistd.h>

using namespace modRWRegistry;

namespace {

const char kProductWriterMode[] = "--write-as-product";

// The product's side of the concurrency test: `count` values written one by
// one through QSettings, as the product writes its own.
int writeAsProduct(const QString& path, int count) {
    for (int i = 0; i < count; ++i) {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Product%1").arg(i), QString::number(i));
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            return 1;
        }
    }
    return 0;
}

ReadResult readBackend(const QString& name) {
    return RegReadString(RootKey::CurrentUser, kProductKey.toStdU16String(), name.toStdU16String());
}

void verifyBox(const host::MsgBoxCall& call, const QString& text) {
    QCOMPARE(call.text, text);
    QCOMPARE(call.icon, host::MsgBoxIcon::None);
    QCOMPARE(call.title, host::ProgramTitle());
}

const QString kProductFile = QStringLiteral("[General]\nCurrentProduct=1ZT\nCurrentVersion=1.2.3\n[Other]\nKey=kept\n");

} // namespace

class tst_settings : public QObject {
    Q_OBJECT

private slots:
    void missingFile_readsEmptyAndCreatesNothing_writeCreatesIt() {
        TempConfig config;
        const QString folder = config.folder() + QStringLiteral("/not/yet");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder));
        MsgBoxRecorder boxes;

        QCOMPARE(GetAppSetting(QStringLiteral("CurrentVersion")), QString());
        QVERIFY(!QFileInfo::exists(config.folder() + QStringLiteral("/not")));

        SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("2.0.1"));
        QFile file(folder + QStringLiteral("/Quorant.conf"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("[General]\nServerVersion=2.0.1\n"));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Quorant.conf")});
        QVERIFY(boxes.calls.isEmpty());
    }

    void blankName_isRefusedWithMessage_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("three blanks") << QStringLiteral("   ");
    }
    void blankName_isRefusedWithMessage() {
        QFETCH(QString, name);
        TempConfig config;
        MsgBoxRecorder boxes;

        QCOMPARE(GetAppSetting(name), QString());
        SaveAppSetting(name, QStringLiteral("1.0"));

        QCOMPARE(boxes.calls.size(), 2);
        verifyBox(boxes.calls.at(0), QStringLiteral("strValue do not null"));
        verifyBox(boxes.calls.at(1), QStringLiteral("strValue do not null"));
        QVERIFY(!QFileInfo::exists(config.settingsFile()));
    }

    void valueName_addressesOnlyItsOwnValue_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("leading blank") << QStringLiteral(" CurrentVersion");
        QTest::newRow("trailing blank") << QStringLiteral("CurrentVersion ");
        QTest::newRow("equals sign") << QStringLiteral("Current=Version");
        QTest::newRow("backslash") << QStringLiteral("Current\\Version");
        QTest::newRow("semicolon") << QStringLiteral("Current;Version");
        QTest::newRow("section-like") << QStringLiteral("[Other]");
        QTest::newRow("Vietnamese") << QStringLiteral("Phiên bản");
    }
    void valueName_addressesOnlyItsOwnValue() {
        QFETCH(QString, name);
        TempConfig config;
        config.writeSettings(kProductFile);
        MsgBoxRecorder boxes;

        SaveAppSetting(name, QStringLiteral("9.9"));

        QCOMPARE(GetAppSetting(name), QStringLiteral("9.9"));
        QCOMPARE(GetAppSetting(QStringLiteral("CurrentVersion")), QStringLiteral("1.2.3"));
        QCOMPARE(GetAppSetting(QStringLiteral("CurrentProduct")), QStringLiteral("1ZT"));
        QCOMPARE(QSettings(config.settingsFile(), QSettings::IniFormat).value(QStringLiteral("Other/Key")),
                 QVariant(QStringLiteral("kept")));
        QVERIFY(boxes.calls.isEmpty());
    }

    void nameWithSlash_isRefusedWithMessage() {
        TempConfig config;
        config.writeSettings(QStringLiteral("[Current]\nVersion=1.2.3\n"));
        const QByteArray before = config.readSettingsBytes();
        MsgBoxRecorder boxes;

        QCOMPARE(GetAppSetting(QStringLiteral("Current/Version")), QString());
        SaveAppSetting(QStringLiteral("Current/Version"), QStringLiteral("9.9"));

        QCOMPARE(boxes.calls.size(), 2);
        QVERIFY(boxes.calls.at(1).text.contains(QLatin1String("\"/\"")));
        QCOMPARE(config.readSettingsBytes(), before);
    }

    void writtenText_readsBackWhole_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("empty") << QString() << QByteArray("ServerVersion=\n");
        QTest::newRow("Vietnamese") << QStringLiteral("Phiên bản 2.0 – mới nhất")
                                    << QStringLiteral("ServerVersion=Phiên bản 2.0 – mới nhất\n").toUtf8();
        QTest::newRow("comma") << QStringLiteral("2,0") << QByteArray();
        QTest::newRow("type notation") << QStringLiteral("@Invalid()") << QByteArray();
    }
    void writtenText_readsBackWhole() {
        QFETCH(QString, text);
        QFETCH(QByteArray, line);
        TempConfig config;
        MsgBoxRecorder boxes;

        SaveAppSetting(QStringLiteral("ServerVersion"), text);

        const ReadResult read = readBackend(QStringLiteral("ServerVersion"));
        QVERIFY(!read.failure);
        QVERIFY(read.value.has_value());
        QCOMPARE(QString::fromStdU16String(*read.value), text);
        if (!line.isEmpty()) {
            QVERIFY(config.readSettingsBytes().contains(line));
        }
        QVERIFY(boxes.calls.isEmpty());
    }

    void productFile_isReadAsTextOrAbsent_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("value");
        QTest::newRow("no section header") << QStringLiteral("CurrentVersion=1.2.3") << true << QStringLiteral("1.2.3");
        QTest::newRow("blanks and CRLF") << QStringLiteral("[General]\r\nCurrentVersion = 1.2.3 \r\n") << true
                                         << QStringLiteral("1.2.3");
        QTest::newRow("byte order mark") << QStringLiteral("\uFEFF[General]\nCurrentVersion=1.2.3\n") << true
                                         << QStringLiteral("1.2.3");
        QTest::newRow("number") << QStringLiteral("[General]\nCurrentVersion=5\n") << true << QStringLiteral("5");
        QTest::newRow("empty") << QStringLiteral("[General]\nCurrentVersion=\n") << true << QString();
        QTest::newRow("list") << QStringLiteral("[General]\nCurrentVersion=1, 2\n") << false << QString();
        QTest::newRow("byte array") << QStringLiteral("[General]\nCurrentVersion=@ByteArray(1.2)\n") << false
                                    << QString();
        QTest::newRow("invalid") << QStringLiteral("[General]\nCurrentVersion=@Invalid()\n") << false << QString();
        QTest::newRow("other section") << QStringLiteral("[Other]\nCurrentVersion=1.2.3\n") << false << QString();
        QTest::newRow("other case") << QStringLiteral("[General]\ncurrentversion=1.2.3\n") << false << QString();
    }
    void productFile_isReadAsTextOrAbsent() {
        QFETCH(QString, file);
        QFETCH(bool, present);
        QFETCH(QString, value);
        TempConfig config;
        config.writeSettings(file);
        MsgBoxRecorder boxes;

        const ReadResult read = readBackend(QStringLiteral("CurrentVersion"));
        QVERIFY(!read.failure);
        QCOMPARE(read.value.has_value(), present);
        QCOMPARE(GetAppSetting(QStringLiteral("CurrentVersion")), value);
        QVERIFY(boxes.calls.isEmpty());
    }

    // QSettings reads past a line it cannot parse; the edition must not fall
    // back to the default because of damage elsewhere in the file.
    void damagedFile_readsWhatIsReadable_isNeverRewritten_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("product");
        const QString zt = QStringLiteral("1ZT");
        QTest::newRow("unclosed section") << QByteArray("[General\nCurrentProduct=1ZT\n") << true << zt;
        QTest::newRow("line without =") << QByteArray("[General]\nnonsense\nCurrentProduct=1ZT\nV=1\n") << true << zt;
        QTest::newRow("Latin-1 elsewhere")
            << QByteArray("[General]\nOwner=Jos\xe9\nCurrentProduct=1ZT\n") << true << zt;
        QTest::newRow("NUL elsewhere") << QByteArray("[General]\nCurrentProduct=1ZT\nV=1.").append('\0') << true << zt;
        QTest::newRow("Latin-1 in the value")
            << QByteArray("[General]\nCurrentProduct=1Z\xe9T\n") << false << QString();
        QTest::newRow("quoted") << QByteArray("[General]\nCurrentProduct=\"1ZT\xe9\"\nV=\xe9\n") << false << QString();
        QTest::newRow("U+FFFD is text") << QByteArray("[General]\nCurrentProduct=1\xef\xbf\xbdT\nV=\xe9\n") << true
                                        << QStringLiteral("1\uFFFDT");
        QTest::newRow("escape is text") << QByteArray("[General]\nCurrentProduct=\\xfdd0\nV=\xe9\n") << true
                                        << QStringLiteral("\uFDD0");
    }
    void damagedFile_readsWhatIsReadable_isNeverRewritten() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, present);
        QFETCH(QString, product);
        TempConfig config;
        QFile file(config.settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        MsgBoxRecorder boxes;

        const ReadResult read = readBackend(QStringLiteral("CurrentProduct"));
        QVERIFY(!read.failure);
        QCOMPARE(read.value.has_value(), present);
        QCOMPARE(QString::fromStdU16String(read.value.value_or(u"")), product);
        SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("2.0"));

        QCOMPARE(boxes.calls.size(), 1);
        QVERIFY2(boxes.calls.at(0).text.startsWith(
                     QStringLiteral("ServerVersion was not saved in the settings file \"%1\": ").arg(file.fileName())),
                 qPrintable(boxes.calls.at(0).text));
        QCOMPARE(config.readSettingsBytes(), bytes);
        QCOMPARE(QDir(config.folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("Quorant.conf")});
    }

    void unreadableFile_isAFailure_andLeftUntouched_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder") << QStringLiteral("folder") << QStringLiteral("Is a directory");
        QTest::newRow("no permission") << QStringLiteral("unreadable") << QStringLiteral("Permission denied");
    }
    void unreadableFile_isAFailure_andLeftUntouched() {
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        TempConfig config;
        const QByteArray bytes("[General]\nCurrentProduct=1ZT\n");
        QFile file(config.settingsFile());
        if (damage == QLatin1String("folder")) {
            QVERIFY(QDir(config.folder()).mkdir(QStringLiteral("Quorant.conf")));
        } else if (::geteuid() == 0) {
            // File permissions do not bind root: the row runs again as a user they bind.
            QProcess child;
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                         QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                         QStringLiteral("unreadableFile_isAFailure_andLeftUntouched:") +
                             QString::fromLatin1(QTest::currentDataTag())});
            QVERIFY2(child.waitForFinished(60000), qPrintable(child.errorString()));
            const QByteArray output = child.readAll();
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 &&
                         output.contains("PASS   : tst_settings::unreadableFile_isAFailure_andLeftUntouched("),
                     output.constData());
            return;
        } else {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
            file.close();
            QVERIFY(file.setPermissions(QFileDevice::WriteOwner));
            QVERIFY2(!file.open(QIODevice::ReadOnly), "file permissions do not bind this user");
        }
        MsgBoxRecorder boxes;

        QCOMPARE(TryGetAppSetting(QStringLiteral("CurrentProduct")), std::nullopt);
        SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("2.0"));

        QCOMPARE(boxes.calls.size(), 2);
        QCOMPARE(boxes.calls.at(0).text,
                 QStringLiteral("Cannot read the settings file \"%1\": %2.").arg(config.settingsFile(), reason));
        QVERIFY(boxes.calls.at(1).text.startsWith(QLatin1String("ServerVersion was not saved")));
        for (const host::MsgBoxCall& box : std::as_const(boxes.calls)) {
            QVERIFY2(box.text.contains(config.settingsFile()), qPrintable(box.text));
            QCOMPARE(box.icon, host::MsgBoxIcon::None);
            QCOMPARE(box.title, host::ProgramTitle());
        }
        if (damage == QLatin1String("folder")) {
            QVERIFY(QFileInfo(config.settingsFile()).isDir());
        } else {
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            QCOMPARE(config.readSettingsBytes(), bytes);
        }
        QCOMPARE(QDir(config.folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("Quorant.conf")});
    }

    // The time stamp of a file moves once per clock tick, so these rewrites
    // keep both the size and, mostly, the time stamp of the file.
    void productRewriteAMomentAgo_isNeitherReadStaleNorLost() {
        TempConfig config;
        MsgBoxRecorder boxes;
        for (int i = 0; i < 20; ++i) {
            config.writeSettings(QStringLiteral("[General]\nCurrentVersion=1.0\n"));
            QCOMPARE(GetAppSetting(QStringLiteral("CurrentVersion")), QStringLiteral("1.0"));
            config.writeSettings(QStringLiteral("[General]\nCurrentVersion=2.0\n"));
            QCOMPARE(GetAppSetting(QStringLiteral("CurrentVersion")), QStringLiteral("2.0"));
            config.writeSettings(QStringLiteral("[General]\nCurrentVersion=3.0\n"));
            SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("4.0"));
            QCOMPARE(config.readSettingsBytes(), QByteArray("[General]\nCurrentVersion=3.0\nServerVersion=4.0\n"));
        }
        QVERIFY(boxes.calls.isEmpty());
    }

    void productWritingAtTheSameTime_losesNothing() {
        TempConfig config;
        SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("1.0"));
        MsgBoxRecorder boxes;
        const int count = 25;
        QProcess product;
        product.start(QCoreApplication::applicationFilePath(),
                      {QLatin1String(kProductWriterMode), config.settingsFile(), QString::number(count)});
        QVERIFY(product.waitForStarted());
        for (int i = 0; i < count; ++i) {
            SaveAppSetting(QStringLiteral("Server%1").arg(i), QString::number(i));
        }
        QVERIFY(product.waitForFinished());
        QCOMPARE(product.exitCode(), 0);

        for (int i = 0; i < count; ++i) {
            QCOMPARE(GetAppSetting(QStringLiteral("Server%1").arg(i)), QString::number(i));
            QCOMPARE(GetAppSetting(QStringLiteral("Product%1").arg(i)), QString::number(i));
        }
        QCOMPARE(GetAppSetting(QStringLiteral("ServerVersion")), QStringLiteral("1.0"));
        QVERIFY(boxes.calls.isEmpty());
        QVERIFY(!QFileInfo::exists(config.settingsFile() + QStringLiteral(".lock")));
    }
};

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], kProductWriterMode) == 0) {
        return writeAsProduct(QFile::decodeName(argv[2]), QByteArray(argv[3]).toInt());
    }
    QCoreApplication app(argc, argv);
    tst_settings test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings.moc"
