// A build that carries the vendor's key takes only what the vendor signed:
// keys and signatures made by the real minisign tool, the wizard with a
// scripted download service.
#include "host/NetworkAsyncReader.h"
#include "settings/modRWRegistry.h"
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/FaultServer.h"
#include "tests/support/Sandbox.h"
#include "wizard/vcUPDATECTL.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QByteArray kVersionFile = "Veltrin Marlo\r\n2.0.1\r\nhttp://updates.test/soft/setup.exe\r\n";
const QByteArray kPackage = QByteArray("#!/bin/sh\n") + QByteArray(50000, '#');
} // namespace

class tst_Signed : public QObject {
    Q_OBJECT

private:
    QTemporaryDir mKeys;
    QString mKey;      // the vendor's public key line
    QString mOtherKey; // somebody else's
    std::unique_ptr<Sandbox> mSandbox;
    FakeAsyncReader* mReader = nullptr;
    std::unique_ptr<vcUPDATECTL> mWizard;

    bool minisign(const QStringList& args) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStandardPaths::findExecutable(QStringLiteral("minisign")), args);
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
    QString makeKey(const QString& name) {
        const QString pub = mKeys.filePath(name + QStringLiteral(".pub"));
        if (!minisign({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), pub, QStringLiteral("-s"),
                       mKeys.filePath(name + QStringLiteral(".key"))})) {
            return QString();
        }
        QFile file(pub);
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().split('\n').value(1)) : QString();
    }
    // The .minisig the vendor's tool writes for `bytes`.
    QByteArray sign(const QByteArray& bytes, bool legacy = false, const QString& key = QStringLiteral("vendor")) {
        const QString message = mKeys.filePath(QStringLiteral("message"));
        QFile file(message);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            return QByteArray();
        }
        file.close();
        QStringList args{QStringLiteral("-S"),
                         QStringLiteral("-s"),
                         mKeys.filePath(key + QStringLiteral(".key")),
                         QStringLiteral("-m"),
                         message,
                         QStringLiteral("-t"),
                         QStringLiteral("Veltrin 2.0.1")};
        if (legacy) {
            args << QStringLiteral("-l");
        }
        QFile signature(message + QStringLiteral(".minisig"));
        return minisign(args) && signature.open(QIODevice::ReadOnly) ? signature.readAll() : QByteArray();
    }
    QString versionPath() const { return mSandbox->file(QStringLiteral("veltrin_marlo.txt")); }
    QString packagePath() const { return mSandbox->file(QStringLiteral("Update201.EXE")); }
    QStringList partFiles() const {
        return QDir(mSandbox->folder.path()).entryList({QStringLiteral("Kelvane-*.part")}, QDir::Files);
    }
    // Next, then the two reads it started (file, signature) complete.
    void step(const QByteArray& file, const std::optional<QByteArray>& signature) {
        const qsizetype before = mReader->started.size();
        mWizard->cmdNEXT_Click();
        QCOMPARE(mReader->started.size(), before + 2);
        const FakeAsyncReader::Started read = mReader->started.at(before);
        const FakeAsyncReader::Started signatureRead = mReader->started.at(before + 1);
        QCOMPARE(signatureRead.target, read.target + QStringLiteral(".minisig"));
        mReader->complete(read.propertyName, file);
        if (signature) {
            mReader->complete(signatureRead.propertyName, *signature);
        } else {
            mReader->fail(signatureRead.propertyName);
        }
    }

private slots:
    void initTestCase() {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty(),
                 "minisign is missing: scripts/deps.sh test installs it");
        mKey = makeKey(QStringLiteral("vendor"));
        mOtherKey = makeKey(QStringLiteral("other"));
        QVERIFY(!mKey.isEmpty() && !mOtherKey.isEmpty());
    }
    void init() {
        mSandbox = std::make_unique<Sandbox>();
        modRWRegistry::SaveAppSetting(QStringLiteral("CurrentVersion"), QStringLiteral("1.0"));
        modRWRegistry::SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("1.5"));
        mReader = new FakeAsyncReader;
        mWizard = std::make_unique<vcUPDATECTL>(mReader);
        mWizard->setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        mWizard->setConfigFileURL(QStringLiteral("http://updates.test/soft/veltrin_marlo.txt"));
        mWizard->setSigningKey(mKey);
        mWizard->show();
    }
    void cleanup() {
        mWizard.reset();
        mSandbox.reset();
    }

    void versionFile_countsOnlyWhenSigned_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<std::optional<QByteArray>>("signature");
        QTest::addColumn<bool>("verified");
        QByteArray flipped = kVersionFile;
        flipped[20] = char(flipped[20] ^ 1);
        const QByteArray good = sign(kVersionFile);
        QByteArray badSignature = good;
        const qsizetype line2 = good.indexOf('\n') + 10;
        badSignature[line2] = badSignature[line2] == 'A' ? 'B' : 'A';
        QByteArray badComment = good;
        badComment.replace("Veltrin 2.0.1", "Veltrin 9.9.9");
        QTest::newRow("prehashed") << mKey << kVersionFile << std::optional(good) << true;
        QTest::newRow("legacy") << mKey << kVersionFile << std::optional(sign(kVersionFile, true)) << true;
        QTest::newRow("another key") << mOtherKey << kVersionFile << std::optional(good) << false;
        QTest::newRow("file changed") << mKey << flipped << std::optional(good) << false;
        QTest::newRow("signature changed") << mKey << kVersionFile << std::optional(badSignature) << false;
        QTest::newRow("trusted comment changed") << mKey << kVersionFile << std::optional(badComment) << false;
        QTest::newRow("signature of another file")
            << mKey << kVersionFile << std::optional(sign("another file\r\n")) << false;
        QTest::newRow("truncated") << mKey << kVersionFile << std::optional(good.left(good.size() / 2)) << false;
        QTest::newRow("oversized") << mKey << kVersionFile << std::optional(good + QByteArray(5000, ' ')) << false;
        QTest::newRow("no signature") << mKey << kVersionFile << std::optional<QByteArray>() << false;
    }
    void versionFile_countsOnlyWhenSigned() {
        QFETCH(QString, key);
        QFETCH(QByteArray, file);
        QFETCH(std::optional<QByteArray>, signature);
        QFETCH(bool, verified);
        mWizard->setSigningKey(key);
        step(file, signature);
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")),
                 verified ? QStringLiteral("2.0.1") : QStringLiteral("1.5"));
        QCOMPARE(mWizard->cmdNEXT->isEnabled(), verified);
        QCOMPARE(mWizard->lblPROGRESS->text().contains(QLatin1String("could not be verified")), !verified);
        QVERIFY(!QFile::exists(versionPath()));
        QCOMPARE(partFiles(), QStringList());
    }

    void package_keepsItsNameOnlyWhenSigned_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<bool>("verified");
        QByteArray flipped = kPackage;
        flipped[30000] = 'x';
        QTest::newRow("prehashed") << kPackage << false << true;
        QTest::newRow("legacy") << kPackage << true << true;
        QTest::newRow("package changed") << flipped << false << false;
    }
    void package_keepsItsNameOnlyWhenSigned() {
        QFETCH(QByteArray, file);
        QFETCH(bool, legacy);
        QFETCH(bool, verified);
        step(kVersionFile, sign(kVersionFile));
        QVERIFY(mWizard->cmdNEXT->isEnabled());
        step(file, sign(kPackage, legacy));
        QCOMPARE(QFile::exists(packagePath()), verified);
        QCOMPARE(mWizard->cmdCANCEL->text(), verified ? QStringLiteral("Setup") : QStringLiteral("&Cancel"));
        QCOMPARE(mWizard->downloadedFile(), verified ? packagePath() : QString());
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text().contains(QLatin1String("could not be verified")), !verified);
        QCOMPARE(partFiles(), QStringList());
    }

    // The real reader over HTTP, hashing the package as it streams: a
    // package swapped on the way never gets its name.
    void realReader_checksThePackageItStreamed_data() {
        QTest::addColumn<bool>("swapped");
        QTest::newRow("as signed") << false;
        QTest::newRow("swapped on the way") << true;
    }
    void realReader_checksThePackageItStreamed() {
        QFETCH(bool, swapped);
        FaultServer server;
        QVERIFY(server.isListening());
        const QByteArray versionFile =
            "Veltrin Marlo\r\n2.0.1\r\n" + server.url(QStringLiteral("/p/setup.exe")).toEncoded() + "\r\n";
        QByteArray package = kPackage;
        server.route(QStringLiteral("/soft/veltrin_marlo.txt"), FaultRoute::ok(versionFile));
        server.route(QStringLiteral("/soft/veltrin_marlo.txt.minisig"), FaultRoute::ok(sign(versionFile)));
        server.route(QStringLiteral("/p/setup.exe.minisig"), FaultRoute::ok(sign(package)));
        if (swapped) {
            package[100] = '!';
        }
        server.route(QStringLiteral("/p/setup.exe"), FaultRoute::ok(package));

        mWizard = std::make_unique<vcUPDATECTL>(new host::NetworkAsyncReader);
        mWizard->setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        mWizard->setConfigFileURL(server.url(QStringLiteral("/soft/veltrin_marlo.txt")).toString());
        mWizard->setSigningKey(mKey);
        mWizard->cmdNEXT_Click();
        QTRY_VERIFY_WITH_TIMEOUT(mWizard->cmdNEXT->isEnabled(), 15000);
        mWizard->cmdNEXT_Click();
        QTRY_VERIFY_WITH_TIMEOUT(mWizard->lblPROGRESSUPDATE->text().contains(QLatin1String("complete")) ||
                                     mWizard->lblPROGRESSUPDATE->text().contains(QLatin1String("verified")),
                                 15000);
        QCOMPARE(QFile::exists(packagePath()), !swapped);
        QCOMPARE(mWizard->cmdCANCEL->text(), swapped ? QStringLiteral("&Cancel") : QStringLiteral("Setup"));
        QCOMPARE(partFiles(), QStringList());
    }
};

QTEST_MAIN(tst_Signed)
#include "tst_signed.moc"
