// The whole road over real HTTP: the wizard with the real network reader
// against a local fault server, and the real main window against the bundled
// update server, from Next to the package's own installer.
#include "app/frmUPDATE.h"
#include "download/NetworkAsyncReader.h"
#include "host/App.h"
#include "settings/modRWRegistry.h"
#include "tests/support/FaultServer.h"
#include "tests/support/Sandbox.h"
#include "wizard/WizardTexts.h"
#include "wizard/vcUPDATECTL.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {
constexpr int kWaitMs = 15000;
const QByteArray kPackage = QByteArray("#!/bin/sh\n") + QByteArray(300000, '#') + "\n";

// What a download left in the program folder; the lock that a running
// wizard holds on the folder is no download and goes with the wizard.
QStringList filesIn(const QString& folder) {
    QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    files.removeAll(QStringLiteral("Kelvane.lock"));
    return files;
}
} // namespace

class tst_Road : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> mSandbox;
    std::unique_ptr<FaultServer> mServer;
    std::unique_ptr<vcUPDATECTL> mWizard;

    QByteArray versionFile(const QString& packagePath) const {
        return "Veltrin Marlo\r\n2.0.1\r\n" + mServer->url(packagePath).toString().toUtf8() + "\r\n";
    }
    void makeWizard() {
        mWizard = std::make_unique<vcUPDATECTL>(new download::NetworkAsyncReader(nullptr, 300ms));
        mWizard->setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        mWizard->setConfigFileURL(mServer->url(QStringLiteral("/soft/veltrin_marlo.txt")).toString());
        mWizard->show();
    }
    bool waitForVersions() {
        return QTest::qWaitFor([&] { return mWizard->lblYES->isVisible(); }, kWaitMs);
    }

private slots:
    void init() {
        mSandbox = std::make_unique<Sandbox>();
        mServer = std::make_unique<FaultServer>();
        QVERIFY(mServer->isListening());
        modRWRegistry::SaveAppSetting(QStringLiteral("CurrentVersion"), QStringLiteral("1.0"));
    }
    void cleanup() {
        mWizard.reset();
        mServer.reset();
        mSandbox.reset();
    }

    void versionFileFailures_showStepOneTextAndLeaveNoFile_data() {
        QTest::addColumn<int>("kind");
        QTest::newRow("404") << 0;
        QTest::newRow("refused") << 1;
        QTest::newRow("cut off") << 2;
        QTest::newRow("stall") << 3;
        QTest::newRow("empty") << 4;
    }
    void versionFileFailures_showStepOneTextAndLeaveNoFile() {
        QFETCH(int, kind);
        const QString path = QStringLiteral("/soft/veltrin_marlo.txt");
        const QByteArray good = versionFile(QStringLiteral("/p.exe"));
        switch (kind) {
        case 0:
            mServer->route(path, FaultRoute::withStatus(404, "not here"));
            break;
        case 2:
            mServer->route(path, FaultRoute::cutOff(good.left(10), good.size()));
            break;
        case 3:
            mServer->route(path, FaultRoute::stall(good.left(10), good.size()));
            break;
        case 4:
            mServer->route(path, FaultRoute::empty());
            break;
        }
        makeWizard();
        if (kind == 1) {
            mWizard->setConfigFileURL(
                QStringLiteral("http://127.0.0.1:%1/soft/veltrin_marlo.txt").arg(FaultServer::unusedPort()));
        }
        mWizard->cmdNEXT_Click();
        QTRY_COMPARE_WITH_TIMEOUT(mWizard->lblPROGRESS->text(), wizardtexts::kVersionFailureText, kWaitMs);
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
        QCOMPARE(filesIn(mSandbox->folder.path()), QStringList());
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QString());
        QVERIFY(mSandbox->boxes.calls.isEmpty());
    }

    void versionFile_redirectAndUnknownLengthStillArrive_data() {
        QTest::addColumn<bool>("redirect");
        QTest::newRow("redirect") << true;
        QTest::newRow("no Content-Length") << false;
    }
    void versionFile_redirectAndUnknownLengthStillArrive() {
        QFETCH(bool, redirect);
        const QByteArray good = versionFile(QStringLiteral("/p.exe"));
        if (redirect) {
            mServer->route(QStringLiteral("/soft/veltrin_marlo.txt"), FaultRoute::redirect(QStringLiteral("/moved")));
            mServer->route(QStringLiteral("/moved"), FaultRoute::ok(good));
        } else {
            mServer->route(QStringLiteral("/soft/veltrin_marlo.txt"), FaultRoute::chunked(good));
        }
        makeWizard();
        mWizard->cmdNEXT_Click();
        QVERIFY(waitForVersions());
        QCOMPARE(mWizard->serverVersion(), QStringLiteral("2.0.1"));
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QStringLiteral("2.0.1"));
        QCOMPARE(filesIn(mSandbox->folder.path()), QStringList()); // the local copy is gone
    }

    void packageFailures_showStepTwoTextAndLeaveNoFile_data() {
        QTest::addColumn<int>("kind");
        QTest::newRow("404") << 0;
        QTest::newRow("refused") << 1;
        QTest::newRow("cut off") << 2;
        QTest::newRow("stall") << 3;
    }
    void packageFailures_showStepTwoTextAndLeaveNoFile() {
        QFETCH(int, kind);
        const QString packageUrlPath = QStringLiteral("/soft/marlo-2.0.1.exe");
        QByteArray version = versionFile(packageUrlPath);
        switch (kind) {
        case 0:
            mServer->route(packageUrlPath, FaultRoute::withStatus(404));
            break;
        case 1:
            version = "Veltrin Marlo\r\n2.0.1\r\nhttp://127.0.0.1:" + QByteArray::number(FaultServer::unusedPort()) +
                      "/p.exe\r\n";
            break;
        case 2:
            mServer->route(packageUrlPath, FaultRoute::cutOff(kPackage.left(200000), kPackage.size()));
            break;
        case 3:
            mServer->route(packageUrlPath, FaultRoute::stall(kPackage.left(200000), kPackage.size()));
            break;
        }
        mServer->route(QStringLiteral("/soft/veltrin_marlo.txt"), FaultRoute::ok(version));
        makeWizard();
        mWizard->cmdNEXT_Click();
        QVERIFY(waitForVersions());
        mWizard->cmdNEXT_Click();
        QTRY_COMPARE_WITH_TIMEOUT(mWizard->lblPROGRESSUPDATE->text(), wizardtexts::kPackageFailureText, kWaitMs);
        QCOMPARE(mWizard->cmdCANCEL->text(), QStringLiteral("&Cancel"));
        QCOMPARE(mWizard->downloadedFile(), QString());
        QCOMPARE(filesIn(mSandbox->folder.path()), QStringList());
    }

    void package_redirectAndUnknownLengthArriveWhole_data() {
        QTest::addColumn<bool>("redirect");
        QTest::newRow("redirect") << true;
        QTest::newRow("no Content-Length") << false;
    }
    void package_redirectAndUnknownLengthArriveWhole() {
        QFETCH(bool, redirect);
        const QString packageUrlPath = QStringLiteral("/soft/marlo-2.0.1.exe");
        mServer->route(QStringLiteral("/soft/veltrin_marlo.txt"), FaultRoute::ok(versionFile(packageUrlPath)));
        if (redirect) {
            mServer->route(packageUrlPath, FaultRoute::redirect(QStringLiteral("/mirror/setup.exe")));
            mServer->route(QStringLiteral("/mirror/setup.exe"), FaultRoute::ok(kPackage));
        } else {
            mServer->route(packageUrlPath, FaultRoute::chunked(kPackage));
        }
        makeWizard();
        mWizard->cmdNEXT_Click();
        QVERIFY(waitForVersions());
        mWizard->cmdNEXT_Click();
        QTRY_COMPARE_WITH_TIMEOUT(mWizard->cmdCANCEL->text(), QStringLiteral("Setup"), kWaitMs);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), QStringLiteral("Download of 300.01 KB complete."));
        const QString package = mSandbox->file(QStringLiteral("Update201.EXE"));
        QCOMPARE(mWizard->downloadedFile(), package);
        QFile file(package);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == kPackage);
        QCOMPARE(filesIn(mSandbox->folder.path()),
                 (QStringList{QStringLiteral("Kelvane.packages"), QStringLiteral("Update201.EXE")}));
    }

    void closingDuringDownload_leavesNoFileAndNoConnection() {
        const QString packageUrlPath = QStringLiteral("/soft/marlo-2.0.1.exe");
        mServer->route(QStringLiteral("/soft/veltrin_marlo.txt"), FaultRoute::ok(versionFile(packageUrlPath)));
        mServer->route(packageUrlPath, FaultRoute::stall(kPackage.left(100000), kPackage.size()));
        mWizard = std::make_unique<vcUPDATECTL>(new download::NetworkAsyncReader);
        mWizard->setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        mWizard->setConfigFileURL(mServer->url(QStringLiteral("/soft/veltrin_marlo.txt")).toString());
        mWizard->show();
        mWizard->cmdNEXT_Click();
        QVERIFY(waitForVersions());
        mWizard->cmdNEXT_Click();
        QTRY_VERIFY_WITH_TIMEOUT(mWizard->lblPROGRESSUPDATE->text().contains(QLatin1String("downloaded")), kWaitMs);

        mWizard.reset(); // the window closes with the download running
        QTRY_COMPARE_WITH_TIMEOUT(mServer->openConnections(), 0, kWaitMs);
        QCOMPARE(filesIn(mSandbox->folder.path()), QStringList());
    }

    // The real window, the real network reader, the bundled update server
    // as a process of its own and the system's open: Next, Next, Setup.
    void mainWindow_runsTheWholeRoadAgainstTheBundledServer() {
        QTemporaryDir serverFolder;
        QProcess serve;
        serve.start(QStringLiteral("bash"),
                    {QStringLiteral(KELVANE_SOURCE_DIR "/server/serve.sh"), serverFolder.path()});
        QVERIFY(serve.waitForFinished(20000));
        QCOMPARE(serve.exitCode(), 0);
        const QString base = QString::fromUtf8(serve.readAllStandardOutput()).trimmed();
        QFile pidFile(serverFolder.filePath(QStringLiteral("server.pid")));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const QString pid = QString::fromUtf8(pidFile.readAll()).trimmed();
        auto stopServer = qScopeGuard([&] { QProcess::execute(QStringLiteral("kill"), {pid}); });

        qputenv("KELVANE_UPDATE_SERVER", base.toUtf8());
        auto unsetServer = qScopeGuard([] { qunsetenv("KELVANE_UPDATE_SERVER"); });
        host::SetCommandOverride(QString());
        frmUPDATE form(new download::NetworkAsyncReader);
        form.Start();
        QVERIFY(form.isVisible());
        vcUPDATECTL* wizard = form.vcUPDATECTL1;

        QTest::mouseClick(wizard->cmdNEXT, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(wizard->lblYES->isVisible(), kWaitMs);
        QCOMPARE(wizard->lblYES->text(), wizardtexts::kNewVersionText);
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QStringLiteral("2.0.1"));

        QTest::mouseClick(wizard->cmdNEXT, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(wizard->cmdCANCEL->text(), QStringLiteral("Setup"), kWaitMs);
        QTest::mouseClick(wizard->cmdCANCEL, Qt::LeftButton);
        QVERIFY(form.isUnloaded());
        QVERIFY(mSandbox->boxes.calls.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(mSandbox->file(QStringLiteral("SAMPLE-UPDATE-RAN.txt"))), kWaitMs);
        host::SetCommandOverride(std::nullopt);
    }
};

QTEST_MAIN(tst_Road)
#include "tst_road.moc"
