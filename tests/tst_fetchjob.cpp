// The fetch of one release without a window: the version file with its
// signature, then the package that signature names. Keys and signatures are
// made by the real minisign tool; the downloads are scripted.
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/SigningKeys.h"
#include "wizard/update/FetchJob.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kEdition = QStringLiteral("veltrin_marlo.txt");
const QString kVersionUrl = QStringLiteral("http://updates.test/soft/veltrin_marlo.txt");
const QByteArray kPackage = QByteArray("#!/bin/sh\n") + QByteArray(50000, '#');
const QByteArray kOldPackage = QByteArray("#!/bin/sh\n") + QByteArray(40000, '1');
constexpr qint64 kNow = 2000000000;

QByteArray versionFile(const QByteArray& product, const QByteArray& version) {
    return product + "\r\n" + version + "\r\nhttp://updates.test/p/setup.exe\r\n";
}
using K = host::Failure::Kind;
constexpr int kAccepted = -1; // the "error" of a fetch that went through

int kindOf(const FetchJob::Result& result) {
    return result.failure ? int(result.failure->kind) : kAccepted;
}
QString detailOf(const FetchJob::Result& result) {
    return result.failure ? result.failure->detail : QString();
}
} // namespace

class tst_FetchJob : public QObject {
    Q_OBJECT

private:
    SigningKeys mKeys;
    QMap<QString, QString> mKeyLines; // name -> public key line
    std::unique_ptr<QTemporaryDir> mFolder;
    FakeAsyncReader mReader;

    QString path(const QString& name) const { return mFolder->filePath(name); }
    QStringList leftovers() const {
        return QDir(mFolder->path())
            .entryList({QStringLiteral("Kelvane-*"), QStringLiteral(".Kelvane-*")}, QDir::Files | QDir::Hidden);
    }
    // One fetch whose reads complete with `file` and `signature` (none: the
    // signature's read fails).
    FetchJob::Result fetch(FetchJob::Kind kind, const QString& target, const FetchTrust& trust, const QByteArray& file,
                           const std::optional<QByteArray>& signature = std::nullopt) {
        mReader.started.clear();
        FetchJob job(&mReader, kind, QStringLiteral("http://updates.test/x"), target, 1 << 30, trust);
        job.setAutoDelete(false);
        QSignalSpy results(&job, &FetchJob::result);
        job.start();
        mReader.complete(mReader.started.at(0).propertyName, file);
        if (mReader.started.size() > 1) {
            signature ? mReader.complete(mReader.started.at(1).propertyName, *signature)
                      : mReader.fail(mReader.started.at(1).propertyName);
        }
        // Every transfer is in: the file is proven apart from their events.
        const bool verifying = job.phase() == FetchJob::Phase::Verifying;
        const bool ended = QTest::qWaitFor([&results] { return !results.isEmpty(); }, 5000);
        QCoreApplication::processEvents();
        const bool accepted = ended && !results.at(0).at(0).value<FetchJob::Result>().failure;
        if (results.size() != 1 || job.phase() != FetchJob::Phase::Finished || (accepted && !verifying)) {
            qWarning("%lld results", static_cast<long long>(results.size()));
            FetchJob::Result wrong;
            wrong.failure = host::Failure{K::WriteFailed, QStringLiteral("not exactly one result, after verifying")};
            return wrong;
        }
        return results.at(0).at(0).value<FetchJob::Result>();
    }

private slots:
    void initTestCase() {
        QVERIFY2(SigningKeys::available(), "minisign is missing: scripts/deps.sh test installs it");
        for (const QString& name : {QStringLiteral("vendor"), QStringLiteral("next"), QStringLiteral("stranger")}) {
            mKeyLines[name] = mKeys.make(name);
            QVERIFY(!mKeyLines[name].isEmpty());
        }
    }
    void init() {
        mFolder = std::make_unique<QTemporaryDir>();
        mReader.settle = false; // a fetch is seen verifying between its transfers' ends and its result
    }

    // Each row is one attempt at an update: what the server hands over and
    // what this computer accepted before. A release goes through only when a
    // trusted key signed its version file as this edition's, no older than
    // the newest accepted and not expired, and the package is the one it
    // names.
    void release_isAcceptedOnlyWhole_data() {
        QTest::addColumn<QStringList>("trusted");
        QTest::addColumn<QString>("signer"); // "": no signature
        QTest::addColumn<QByteArray>("comment");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("newest");
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<QString>("refusedAt"); // "": accepted
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("why");
        const QStringList vendor{QStringLiteral("vendor")};
        const QStringList rotating{QStringLiteral("vendor"), QStringLiteral("next")};
        const QByteArray v2 = versionFile("Veltrin Marlo", "2.0");
        const QByteArray v1 = versionFile("Veltrin Marlo", "1.0");
        auto comment = [](qint64 at, const QByteArray& version, const QByteArray& package, qint64 expires = -1,
                          const QByteArray& file = "veltrin_marlo.txt", const QByteArray& product = "Veltrin Marlo") {
            return SigningKeys::releaseComment(at, file, product, version, package, expires);
        };
        const QByteArray current = comment(kNow - 60, "2.0", kPackage);
        QTest::newRow("current release") << vendor << "vendor" << current << v2 << kNow - 3600 << kPackage << ""
                                         << kAccepted << "";
        QTest::newRow("same release fetched again")
            << vendor << "vendor" << current << v2 << kNow - 60 << kPackage << "" << kAccepted << "";
        QTest::newRow("replay of an older release")
            << vendor << "vendor" << comment(kNow - 90 * 86400, "1.0", kOldPackage) << v1 << kNow - 60 << kOldPackage
            << "version" << int(K::OlderRelease) << "before";
        QTest::newRow("older release signed again later")
            << vendor << "vendor" << comment(kNow - 10, "1.0", kOldPackage) << v1 << kNow - 60 << kOldPackage << ""
            << kAccepted << "";
        QTest::newRow("mix and match: another release's package")
            << vendor << "vendor" << current << v2 << Q_INT64_C(0) << kOldPackage << "package" << int(K::Unverified)
            << "bytes";
        QTest::newRow("package changed, same size")
            << vendor << "vendor" << current << v2 << Q_INT64_C(0) << QByteArray(kPackage).replace(100, 1, "!")
            << "package" << int(K::Unverified) << "digest differs";
        QTest::newRow("other edition's file under this name")
            << vendor << "vendor" << comment(kNow - 60, "2.0", kPackage, -1, "veltrin_zent.txt", "Veltrin Zent")
            << versionFile("Veltrin Zent", "2.0") << Q_INT64_C(0) << kPackage << "version" << int(K::Unverified)
            << "signed as \"veltrin_zent.txt\"";
        QTest::newRow("product not the signed one")
            << vendor << "vendor" << comment(kNow - 60, "2.0", kPackage, -1, "veltrin_marlo.txt", "Veltrin Zent") << v2
            << Q_INT64_C(0) << kPackage << "version" << int(K::Unverified) << "product line";
        QTest::newRow("version not the signed one")
            << vendor << "vendor" << comment(kNow - 60, "1.0", kPackage) << v2 << Q_INT64_C(0) << kPackage << "version"
            << int(K::Unverified) << "version line \"2.0\" is not the signed version \"1.0\"";
        QTest::newRow("expired") << vendor << "vendor" << comment(kNow - 8 * 86400, "2.0", kPackage, kNow - 86400) << v2
                                 << Q_INT64_C(0) << kPackage << "version" << int(K::Expired) << "expired";
        // A wrong clock at the signer's, or a stolen key, would hold back every
        // release signed until then.
        QTest::newRow("signed ten years ahead")
            << vendor << "vendor" << comment(kNow + 3650 * 86400, "2.0", kPackage) << v2 << Q_INT64_C(0) << kPackage
            << "version" << int(K::Future) << "more than a day after";
        QTest::newRow("signed an hour ahead") << vendor << "vendor" << comment(kNow + 3600, "2.0", kPackage) << v2
                                              << Q_INT64_C(0) << kPackage << "" << kAccepted << "";
        QTest::newRow("not yet expired") << vendor << "vendor" << comment(kNow - 60, "2.0", kPackage, kNow + 86400)
                                         << v2 << Q_INT64_C(0) << kPackage << "" << kAccepted << "";
        QTest::newRow("second of two trusted keys")
            << rotating << "next" << current << v2 << Q_INT64_C(0) << kPackage << "" << kAccepted << "";
        QTest::newRow("untrusted key") << rotating << "stranger" << current << v2 << Q_INT64_C(0) << kPackage
                                       << "version" << int(K::OtherKey) << "another key";
        QTest::newRow("comment names no package")
            << vendor << "vendor"
            << QByteArray("timestamp:1\tfile:veltrin_marlo.txt\tproduct:Veltrin Marlo\tversion:2.0") << v2
            << Q_INT64_C(0) << kPackage << "version" << int(K::Malformed) << "no package size";
        QTest::newRow("no signature") << vendor << "" << current << v2 << Q_INT64_C(0) << kPackage << "version"
                                      << int(K::Unverified) << "could not be downloaded";
    }
    void release_isAcceptedOnlyWhole() {
        QFETCH(QStringList, trusted);
        QFETCH(QString, signer);
        QFETCH(QByteArray, comment);
        QFETCH(QByteArray, file);
        QFETCH(qint64, newest);
        QFETCH(QByteArray, package);
        QFETCH(QString, refusedAt);
        QFETCH(int, error);
        QFETCH(QString, why);
        FetchTrust trust;
        for (const QString& name : trusted) {
            trust.keys << mKeyLines.value(name);
        }
        trust.versionFileName = kEdition;
        trust.newestSignedAt = newest;
        trust.now = kNow;
        std::optional<QByteArray> signature;
        if (!signer.isEmpty()) {
            signature = mKeys.sign(signer, file, comment);
            QVERIFY(!signature->isEmpty());
        }

        const FetchJob::Result checked = fetch(FetchJob::Kind::VersionFile, path(kEdition), trust, file, signature);
        QCOMPARE(mReader.started.size(), 2);
        QCOMPARE(mReader.started.at(1).target, QStringLiteral("http://updates.test/x.minisig"));
        const bool versionRefused = refusedAt == QLatin1String("version");
        QCOMPARE(kindOf(checked), versionRefused ? error : kAccepted);
        QVERIFY2(detailOf(checked).contains(versionRefused ? why : QString()), qPrintable(detailOf(checked)));
        QVERIFY(!QFile::exists(path(kEdition))); // read where it lay, and gone
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(checked.published.has_value(), !versionRefused);
        if (versionRefused) {
            return;
        }
        QVERIFY(checked.release);

        trust.release = checked.release;
        const QString target = path(QStringLiteral("Update20.EXE"));
        const FetchJob::Result fetched = fetch(FetchJob::Kind::Package, target, trust, package);
        QCOMPARE(mReader.started.size(), 1); // the package's own signature no longer decides
        QCOMPARE(mReader.started.at(0).maxBytes, checked.release->packageSize);
        QCOMPARE(kindOf(fetched), error);
        QVERIFY2(detailOf(fetched).contains(why), qPrintable(detailOf(fetched)));
        QCOMPARE(QFile::exists(target), !fetched.failure);
        QCOMPARE(leftovers(), QStringList());
    }

    // A fetch no longer wanted (a forced Next) ends at once: its transfers
    // end with it, nothing it read stays, no result comes, and it goes.
    void kill_endsTheTransfersWithoutAResult() {
        FetchTrust trust;
        trust.keys << mKeyLines.value(QStringLiteral("vendor"));
        trust.versionFileName = kEdition;
        trust.now = kNow;
        mReader.started.clear();
        const QPointer<FetchJob> job =
            new FetchJob(&mReader, FetchJob::Kind::VersionFile, kVersionUrl, path(kEdition), 1 << 20, trust);
        QSignalSpy results(job, &FetchJob::result);
        job->start();
        QCOMPARE(mReader.started.size(), 2); // the file and its signature
        mReader.complete(mReader.started.at(0).propertyName, versionFile("Veltrin Marlo", "2.0"));
        job->kill();
        mReader.complete(mReader.started.at(1).propertyName, "too late: nobody hears it");
        QTRY_VERIFY(!job);
        QCOMPARE(results.size(), 0);
        QCOMPARE(leftovers(), QStringList());
    }

    // The reader's own verdicts, and progress that knows the signed size.
    void package_readFailuresAndProgress() {
        FetchTrust trust;
        trust.keys << mKeyLines.value(QStringLiteral("vendor"));
        trust.release = signing::ParseRelease(SigningKeys::releaseComment(1, "f", "p", "v", kPackage)).release;
        const QString target = path(QStringLiteral("Update.EXE"));
        FetchJob job(&mReader, FetchJob::Kind::Package, QStringLiteral("http://updates.test/p"), target, 1 << 30,
                     trust);
        job.setAutoDelete(false);
        QSignalSpy progress(&job, &FetchJob::progress);
        QSignalSpy results(&job, &FetchJob::result);
        mReader.started.clear();
        job.start();
        const QString stored = mReader.started.at(0).propertyName;
        mReader.progress(QStringLiteral("another read"), 5, 10);
        mReader.progress(stored, 1000, 0); // sent without a length
        QCOMPARE(progress.size(), 1);
        QCOMPARE(progress.at(0).at(1).toLongLong(), kPackage.size());
        mReader.fail(stored, host::Failure::Kind::TooLarge);
        mReader.fail(stored, host::Failure::Kind::Network); // a second completion is not heard
        QCOMPARE(results.size(), 1);
        const auto result = results.at(0).at(0).value<FetchJob::Result>();
        QCOMPARE(kindOf(result), int(K::Unverified));
        QVERIFY(detailOf(result).contains(QStringLiteral("more than the %1 bytes").arg(kPackage.size())));

        // Unsigned: the reader's failure as it came, the file straight to its name.
        const FetchJob::Result plain = fetch(FetchJob::Kind::Package, target, {}, kPackage);
        QCOMPARE(mReader.started.at(0).propertyName, target);
        QCOMPARE(kindOf(plain), kAccepted);
        QCOMPARE(plain.size, kPackage.size());
    }
};

QTEST_GUILESS_MAIN(tst_FetchJob)
#include "tst_fetchjob.moc"
