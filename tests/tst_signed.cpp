// A build that carries the vendor's keys takes only what the vendor signed
// as one release: keys and signatures made by the real minisign tool, the
// wizard with a scripted download service, and once the real reader.
#include "download/NetworkAsyncReader.h"
#include "settings/modRWRegistry.h"
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/FaultServer.h"
#include "tests/support/Sandbox.h"
#include "tests/support/SigningKeys.h"
#include "wizard/vcUPDATECTL.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace {
const QByteArray kVersionFile = "Veltrin Marlo\r\n2.0.1\r\nhttp://updates.test/soft/setup.exe\r\n";
const QByteArray kPackage = QByteArray("#!/bin/sh\n") + QByteArray(50000, '#');
const qint64 kSignedAt = QDateTime::currentSecsSinceEpoch() - 60;
QByteArray releaseComment(qint64 signedAt = kSignedAt, const QByteArray& package = kPackage, qint64 expires = -1) {
    return SigningKeys::releaseComment(signedAt, "veltrin_marlo.txt", "Veltrin Marlo", "2.0.1", package, expires);
}
} // namespace

class tst_Signed : public QObject {
    Q_OBJECT

private:
    SigningKeys mKeys;
    QString mKey;      // the vendor's public key line
    QString mOtherKey; // somebody else's
    std::unique_ptr<Sandbox> mSandbox;
    FakeAsyncReader* mReader = nullptr;
    std::unique_ptr<vcUPDATECTL> mWizard;

    QByteArray sign(const QByteArray& bytes, bool legacy = false, const QByteArray& comment = releaseComment()) {
        return mKeys.sign(QStringLiteral("vendor"), bytes, comment, legacy);
    }
    QString versionPath() const { return mSandbox->file(QStringLiteral("veltrin_marlo.txt")); }
    QString packagePath() const { return mSandbox->file(QStringLiteral("Update201.EXE")); }
    QStringList partFiles() const {
        return QDir(mSandbox->folder.path()).entryList({QStringLiteral("Kelvane-*.part")}, QDir::Files);
    }
    // Next, then the reads it started (file, and the version file's signature) complete.
    void step(const QByteArray& file, const std::optional<QByteArray>& signature) {
        const qsizetype before = mReader->started.size();
        mWizard->cmdNEXT_Click();
        if (mWizard->step() == 2) {
            QCOMPARE(mReader->started.size(), before + 1);
            mReader->complete(mReader->started.at(before).propertyName, file);
            return;
        }
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
        QVERIFY2(SigningKeys::available(), "minisign is missing: scripts/deps.sh test installs it");
        mKey = mKeys.make(QStringLiteral("vendor"));
        mOtherKey = mKeys.make(QStringLiteral("other"));
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
        mWizard->setSigningKeys({mKey});
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
        QTest::addColumn<QString>("refusal"); // "": verified
        QTest::addColumn<qint64>("signedAt");
        QByteArray flipped = kVersionFile;
        flipped[20] = char(flipped[20] ^ 1);
        const QByteArray good = sign(kVersionFile);
        QByteArray badSignature = good;
        const qsizetype line2 = good.indexOf('\n') + 10;
        badSignature[line2] = badSignature[line2] == 'A' ? 'B' : 'A';
        QByteArray badComment = good;
        badComment.replace("version:2.0.1", "version:9.9.9");
        const QString unverified = QStringLiteral("could not be verified");
        QTest::newRow("prehashed") << mKey << kVersionFile << std::optional(good) << "" << kSignedAt;
        QTest::newRow("legacy") << mKey << kVersionFile << std::optional(sign(kVersionFile, true)) << "" << kSignedAt;
        QTest::newRow("another key") << mOtherKey << kVersionFile << std::optional(good) << unverified << kSignedAt;
        QTest::newRow("file changed") << mKey << flipped << std::optional(good) << unverified << kSignedAt;
        QTest::newRow("signature changed")
            << mKey << kVersionFile << std::optional(badSignature) << unverified << kSignedAt;
        QTest::newRow("trusted comment changed")
            << mKey << kVersionFile << std::optional(badComment) << unverified << kSignedAt;
        QTest::newRow("signature of another file")
            << mKey << kVersionFile << std::optional(sign("another file\r\n")) << unverified << kSignedAt;
        QTest::newRow("truncated") << mKey << kVersionFile << std::optional(good.left(good.size() / 2)) << unverified
                                   << kSignedAt;
        QTest::newRow("oversized") << mKey << kVersionFile << std::optional(good + QByteArray(5000, ' ')) << unverified
                                   << kSignedAt;
        QTest::newRow("no signature") << mKey << kVersionFile << std::optional<QByteArray>() << unverified << kSignedAt;
        QTest::newRow("signed before the one accepted")
            << mKey << kVersionFile << std::optional(sign(kVersionFile, false, releaseComment(kSignedAt - 7200)))
            << "older than the one this computer has already accepted" << kSignedAt;
        QTest::newRow("expired") << mKey << kVersionFile
                                 << std::optional(
                                        sign(kVersionFile, false, releaseComment(kSignedAt, kPackage, kSignedAt + 1)))
                                 << "out of date" << kSignedAt;
        // Stored, a signing time far ahead of this computer's clock would
        // hold back every release signed until then.
        const qint64 ahead = kSignedAt + 365 * 86400;
        QTest::newRow("signed a year ahead")
            << mKey << kVersionFile << std::optional(sign(kVersionFile, false, releaseComment(ahead)))
            << "more than a day after this computer's date" << kSignedAt;
    }
    void versionFile_countsOnlyWhenSigned() {
        QFETCH(QString, key);
        QFETCH(QByteArray, file);
        QFETCH(std::optional<QByteArray>, signature);
        QFETCH(QString, refusal);
        QFETCH(qint64, signedAt);
        const bool verified = refusal.isEmpty();
        const QString accepted = QString::number(kSignedAt - 3600);
        modRWRegistry::SaveAppSetting(QStringLiteral("ServerSignedTime"), accepted);
        mWizard->setSigningKeys({key});
        step(file, signature);
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")),
                 verified ? QStringLiteral("2.0.1") : QStringLiteral("1.5"));
        const qint64 stored = modRWRegistry::GetAppSetting(QStringLiteral("ServerSignedTime")).toLongLong();
        QCOMPARE(stored, verified ? signedAt : accepted.toLongLong()); // the exact time
        QCOMPARE(mWizard->cmdNEXT->isEnabled(), verified);
        const QString shown = mWizard->lblPROGRESS->text();
        QVERIFY2(verified ? !shown.contains(QLatin1String("could not be verified")) : shown.contains(refusal),
                 qPrintable(shown));
        QVERIFY(!QFile::exists(versionPath()));
        QCOMPARE(partFiles(), QStringList());
    }

    void package_keepsItsNameOnlyWhenSigned_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("verified");
        QByteArray flipped = kPackage;
        flipped[30000] = 'x';
        QTest::newRow("as signed") << kPackage << true;
        QTest::newRow("package changed") << flipped << false;
        QTest::newRow("another release's package") << kPackage.left(40000) << false;
    }
    void package_keepsItsNameOnlyWhenSigned() {
        QFETCH(QByteArray, file);
        QFETCH(bool, verified);
        step(kVersionFile, sign(kVersionFile));
        QVERIFY(mWizard->cmdNEXT->isEnabled());
        step(file, std::nullopt);
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
        if (swapped) {
            package[100] = '!';
        }
        server.route(QStringLiteral("/p/setup.exe"), FaultRoute::ok(package));

        mWizard = std::make_unique<vcUPDATECTL>(new download::NetworkAsyncReader);
        mWizard->setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        mWizard->setConfigFileURL(server.url(QStringLiteral("/soft/veltrin_marlo.txt")).toString());
        mWizard->setSigningKeys({mKey});
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
