// The wizard with a scripted download service: start-up, the step machine,
// progress and completion texts, failures at each step.
#include "download/KeptPart.h"
#include "host/App.h"
#include "host/PropertyBag.h"
#include "settings/modRWRegistry.h"
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/Sandbox.h"
#include "tests/support/SigningKeys.h"
#include "wizard/WizardTexts.h"
#include "wizard/update/PackageRecord.h"
#include "wizard/update/Signing.h"
#include "wizard/vcUPDATECTL.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace wizardtexts;

namespace {
const QByteArray kVersionFile = "Veltrin Marlo\r\n2.0.1\r\nhttp://updates.test/soft/setup.exe\r\n";

} // namespace

class tst_Wizard : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> mSandbox;
    FakeAsyncReader* mReader = nullptr;
    std::unique_ptr<vcUPDATECTL> mWizard;

    QString folderFile(const QString& name) const { return mSandbox->file(name); }
    // `name` in the folder the wizard writes into; the program folder before there is one.
    QString downloadFile(const QString& name) const {
        return mWizard ? mWizard->downloadFolder() + name : folderFile(name);
    }
    QString versionPath() const { return downloadFile(QStringLiteral("veltrin_marlo.txt")); }
    QString packagePath() const { return downloadFile(QStringLiteral("Update201.EXE")); }
    // The folder Kelvane takes when its own cannot be written.
    static QString cacheFolder() {
        return QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)) +
               QDir::separator();
    }

    void makeWizard(const QString& currentVersion = QStringLiteral("1.0")) {
        if (!currentVersion.isNull()) {
            modRWRegistry::SaveAppSetting(QStringLiteral("CurrentVersion"), currentVersion);
        }
        mReader = new FakeAsyncReader;
        mWizard = std::make_unique<vcUPDATECTL>(mReader);
        mWizard->setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        mWizard->setConfigFileURL(QStringLiteral("http://updates.test/soft/veltrin_marlo.txt"));
        mWizard->show();
    }
    // Next, and the version file arrives whole.
    void passStepOne(const QByteArray& versionFile = kVersionFile) {
        mWizard->cmdNEXT_Click();
        mReader->complete(versionPath(), versionFile);
    }
    // A whole update of `version`, up to Setup, with a package of `size` bytes.
    void completePackage(const QByteArray& version, int size = 10) {
        makeWizard();
        passStepOne("Veltrin Marlo\r\n" + version + "\r\nhttp://updates.test/soft/setup.exe\r\n");
        mWizard->cmdNEXT_Click();
        mReader->complete(mWizard->downloadFolder() + mWizard->updateFileName(), QByteArray(size, 'x'));
        QCOMPARE(mWizard->cmdCANCEL->text(), QStringLiteral("Setup"));
    }
    // A forced Next after a failed check has no package to fetch: the empty
    // address is refused, when its transfer starts, with a box.
    void verifyForcedNextStartsNothing() {
        mWizard->cmdNEXT_Click();
        QCOMPARE(mReader->started.size(), 2);
        QCOMPARE(mReader->started[1].target, QString());
        QTRY_COMPARE(mSandbox->boxes.calls.size(), 1);
        QVERIFY2(mSandbox->boxes.calls[0].text.startsWith(QStringLiteral("1001:Error in call to BeginDownload().")),
                 qPrintable(mSandbox->boxes.calls[0].text));
    }

private slots:
    void init() {
        QLocale::setDefault(QLocale::c());
        mSandbox = std::make_unique<Sandbox>();
    }
    void cleanup() {
        mWizard.reset();
        mSandbox.reset();
    }

    void startup_appFolderEndsInOneSeparator_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << "/opt/kelvane"
                               << "/opt/kelvane/";
        QTest::newRow("root") << "/"
                              << "/";
    }
    void startup_appFolderEndsInOneSeparator() {
        QFETCH(QString, path);
        QFETCH(QString, folder);
        host::SetAppPathOverride(path);
        vcUPDATECTL wizard(new FakeAsyncReader);
        QCOMPARE(wizard.appFolder(), folder);
        QCOMPARE(wizard.step(), 0);
        QCOMPARE(wizard.downloadedFile(), QString());
    }

    void startup_readsInstalledVersionAndStoredUrl() {
        makeWizard(QStringLiteral("3.1"));
        QCOMPARE(mWizard->currentVersion(), QStringLiteral("3.1"));

        host::PropertyBag bag;
        bag.WriteProperty(QStringLiteral("configfileurl"), QStringLiteral("http://x/soft/veltrin_marlo.txt"));
        mWizard->ReadProperties(bag);
        QCOMPARE(mWizard->ConfigFileURL(), QStringLiteral("http://x/soft/veltrin_marlo.txt"));
        mWizard->ReadProperties(host::PropertyBag());
        QCOMPARE(mWizard->ConfigFileURL(), QString());

        QSignalSpy changed(mWizard.get(), &vcUPDATECTL::PropertyChanged);
        mWizard->setConfigFileURL(QString());
        QCOMPARE(changed.size(), 1);
        host::PropertyBag saved;
        mWizard->WriteProperties(saved);
        QVERIFY(!saved.contains(QStringLiteral("ConfigFileURL"))); // equal to its default
    }

    void next_withoutUrl_refusesAndStaysStuck() {
        makeWizard();
        mWizard->setConfigFileURL(QString());
        mWizard->cmdNEXT_Click();
        QCOMPARE(mSandbox->boxes.calls.size(), 1);
        QCOMPARE(mSandbox->boxes.calls[0].text,
                 QStringLiteral("A configuration download URL was not provided.  Kelvane cannot continue."));
        QCOMPARE(mSandbox->boxes.calls[0].title, QStringLiteral("Error"));
        QCOMPARE(mSandbox->boxes.calls[0].icon, host::MsgBoxIcon::Critical);
        QCOMPARE(mWizard->step(), 0);
        QVERIFY(mWizard->fraFRAME[1]->isVisible());
        QVERIFY(!mWizard->fraFRAME[0]->isVisible());
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
        QVERIFY(mReader->started.isEmpty());
    }

    void next_startsVersionDownloadIntoProgramFolder() {
        makeWizard();
        mWizard->GetVersion();
        QCOMPARE(mWizard->step(), 1);
        QVERIFY(mWizard->fraFRAME[1]->isVisible());
        QVERIFY(!mWizard->lblYES->isVisible());
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
        QCOMPARE(mReader->started.size(), 1);
        QCOMPARE(mReader->started[0].target, QStringLiteral("http://updates.test/soft/veltrin_marlo.txt"));
        QCOMPARE(mReader->started[0].propertyName, versionPath());
        QCOMPARE(mReader->started[0].maxBytes, vcUPDATECTL::kMaxVersionFileBytes);
    }

    void versionProgress_showsBytesAndLeavesPackageTotal() {
        makeWizard();
        mWizard->cmdNEXT_Click();
        mReader->progress(versionPath(), 1024, 2048);
        QCOMPARE(mWizard->lblPROGRESS->text(), QStringLiteral("1024 bytes of 2048 bytes of configuration retreived."));
        mReader->progress(versionPath(), 5, 0); // no total yet: ignored
        QCOMPARE(mWizard->lblPROGRESS->text(), QStringLiteral("1024 bytes of 2048 bytes of configuration retreived."));
        QCOMPARE(mWizard->lastBytesMax(), 0);
    }

    void versionComplete_showsBothVersionsAndRecordsPublished_data() {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("published");
        QTest::addColumn<bool>("same");
        QTest::newRow("newer") << "1.0"
                               << "2.0.1" << false;
        QTest::newRow("equal") << "1.0"
                               << "1.0" << true;
        QTest::newRow("1.00 is new") << "1.0"
                                     << "1.00" << false;
        QTest::newRow("case counts") << "1.0a"
                                     << "1.0A" << false;
        QTest::newRow("older counts as new") << "3.0"
                                             << "2.0" << false;
        QTest::newRow("none installed") << ""
                                        << "2.0" << false;
    }
    void versionComplete_showsBothVersionsAndRecordsPublished() {
        QFETCH(QString, installed);
        QFETCH(QString, published);
        QFETCH(bool, same);
        makeWizard(installed);
        passStepOne("Veltrin Marlo\r\n" + published.toUtf8() + "\r\nhttp://updates.test/soft/setup.exe\r\n");

        QCOMPARE(mWizard->productName(), QStringLiteral("Veltrin Marlo"));
        QCOMPARE(mWizard->serverVersion(), published);
        QCOMPARE(mWizard->updateURL(), QStringLiteral("http://updates.test/soft/setup.exe"));
        QVERIFY(!QFile::exists(versionPath()));
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), published);
        QCOMPARE(mWizard->lblVERSION->text(), QStringLiteral("Phiên bản hiện thời: ") + installed +
                                                  QStringLiteral("    Phiên bản trên máy chủ: ") + published);
        QCOMPARE(mWizard->lblYES->text(), same ? kNoNewVersionText : kNewVersionText);
        QVERIFY(mWizard->lblYES->isVisible());
        QVERIFY(mWizard->cmdNEXT->isEnabled());
        QCOMPARE(mWizard->focusWidget(), mWizard->cmdNEXT);
        QCOMPARE(mWizard->step(), 1);
    }

    void versionFailure_showsLongTextAndWritesNothing_data() {
        QTest::addColumn<int>("failure");
        QTest::newRow("network") << int(host::Failure::Kind::Network);
        QTest::newRow("too large") << int(host::Failure::Kind::TooLarge);
        QTest::newRow("too slow") << int(host::Failure::Kind::TooSlow);
    }
    void versionFailure_showsLongTextAndWritesNothing() {
        QFETCH(int, failure);
        makeWizard();
        modRWRegistry::SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("1.5"));
        mWizard->cmdNEXT_Click();
        mReader->fail(versionPath(), host::Failure::Kind(failure));
        if (failure == int(host::Failure::Kind::Network)) {
            QCOMPARE(mWizard->lblPROGRESS->text(), kVersionFailureText);
        } else if (failure == int(host::Failure::Kind::TooSlow)) {
            // The step's text, then the reader's words on how slow it was.
            QCOMPARE(mWizard->lblPROGRESS->text(), kVersionFailureText + QStringLiteral(" scripted failure"));
        } else {
            QVERIFY(mWizard->lblPROGRESS->text().contains(QLatin1String("larger than 1 MB")));
        }
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
        QVERIFY(!mWizard->lblYES->isVisible());
        QVERIFY(mWizard->lblVERSION->isVisible()); // nothing else on the panel changes
        QVERIFY(!QFile::exists(versionPath()));
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QStringLiteral("1.5"));
    }

    void unsafePublishedVersion_failsTheCheck_data() {
        QTest::addColumn<QByteArray>("version");
        QTest::newRow("parent folder") << QByteArray("../x");
        QTest::newRow("climbs out") << QByteArray("/../../../home/x");
        QTest::newRow("backslash") << QByteArray("..\\..\\x");
        QTest::newRow("colon") << QByteArray("C:1");
    }
    void unsafePublishedVersion_failsTheCheck() {
        QFETCH(QByteArray, version);
        makeWizard();
        passStepOne("P\r\n" + version + "\r\nhttp://updates.test/x.exe\r\n");
        QVERIFY(mWizard->lblPROGRESS->text().contains(QLatin1String("cannot be used in a file name")));
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QString());
        QCOMPARE(mWizard->updateURL(), QString());
        QCOMPARE(mWizard->updateFileName(), QString());
        verifyForcedNextStartsNothing();
    }

    // Where the version file cannot be written the user learns where and
    // why, not that the server is out of reach.
    void versionFileUnwritable_namesPathAndReason() {
        makeWizard();
        mWizard->cmdNEXT_Click();
        mReader->fail(versionPath(), host::Failure::Kind::WriteFailed);
        QVERIFY(mWizard->lblPROGRESS->text().startsWith(QStringLiteral("Could not write the version file to ") +
                                                        versionPath() + QStringLiteral(": scripted failure")));
        QVERIFY(mWizard->lblPROGRESS->text().endsWith(QLatin1String("The update check did not succeed.")));
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QString());
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
    }

    // Where nothing can be written the check does not start, and the text
    // names where it tried: the program folder, or, when that could not be
    // written at start, the program folder and the cache folder.
    void unwritableFolder_checkDoesNotStart_data() {
        QTest::addColumn<bool>("programFolderAtStart");
        QTest::addColumn<QString>("text");
        QTest::newRow("program folder removed after start")
            << true << "Kelvane cannot write in its folder {app}: No such file or directory.";
        QTest::newRow("program folder missing, cache folder below a file")
            << false
            << "Kelvane cannot write in its folder {app} (No such file or directory), nor in its cache folder "
               "{cache}: Not a directory.";
    }
    void unwritableFolder_checkDoesNotStart() {
        QFETCH(bool, programFolderAtStart);
        QFETCH(QString, text);
        const QString program = folderFile(QStringLiteral("prog"));
        QVERIFY(!programFolderAtStart || QDir().mkdir(program));
        QVERIFY(QFile(folderFile(QStringLiteral("plain"))).open(QIODevice::WriteOnly));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(folderFile(QStringLiteral("plain/cache"))));
        host::SetAppPathOverride(program);
        makeWizard();
        QVERIFY(QDir(program).removeRecursively());
        mWizard->cmdNEXT_Click();
        QVERIFY(mReader->started.isEmpty());
        text.replace(QStringLiteral("{app}"), mWizard->appFolder()).replace(QStringLiteral("{cache}"), cacheFolder());
        QCOMPARE(mWizard->lblPROGRESS->text(), text + QStringLiteral(" The update check did not succeed."));
        QVERIFY(!QFileInfo::exists(program));
    }

    // The program folder holds the downloads whenever it can be written;
    // otherwise (an install for every user) the user's cache folder does,
    // made for the user alone, and the texts name the folder used.
    void downloadFolder_isTheProgramFolderWhenWritable_data() {
        QTest::addColumn<QString>("program"); // below the sandbox
        QTest::addColumn<bool>("cacheUsed");
        QTest::newRow("writable") << "prog" << false;
        QTest::newRow("missing") << "no-such-folder" << true;
        QTest::newRow("below a regular file") << "plain/bin" << true;
    }
    void downloadFolder_isTheProgramFolderWhenWritable() {
        QFETCH(QString, program);
        QFETCH(bool, cacheUsed);
        QVERIFY(QDir().mkdir(folderFile(QStringLiteral("prog"))));
        QVERIFY(QFile(folderFile(QStringLiteral("plain"))).open(QIODevice::WriteOnly));
        const QString cacheHome = mSandbox->cache.path() + QStringLiteral("/home"); // made when needed
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome));
        host::SetAppPathOverride(folderFile(program));
        makeWizard();
        const QString folder = cacheUsed ? cacheFolder() : mWizard->appFolder();
        QCOMPARE(mWizard->appFolder(), folderFile(program) + QDir::separator());
        QCOMPARE(mWizard->downloadFolder(), folder);

        passStepOne();
        QCOMPARE(mReader->started[0].propertyName, folder + QStringLiteral("veltrin_marlo.txt"));
        QVERIFY(QFile::exists(folder + QStringLiteral("Kelvane.lock")));
        QCOMPARE(QFileInfo::exists(cacheHome), cacheUsed);
        for (const QString& made : {cacheHome, folder}) {
            // Made for the user alone: mode 0700 (the "user" flags repeat the owner's here).
            const QFile::Permissions mode =
                QFile::permissions(made) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
            QVERIFY(!cacheUsed || mode == (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        vcUPDATECTL other(new FakeAsyncReader);
        other.setVersionFileName(mWizard->VersionFileName());
        other.setConfigFileURL(mWizard->ConfigFileURL());
        other.cmdNEXT_Click();
        QCOMPARE(other.lblPROGRESS->text(),
                 QStringLiteral("Another copy of Kelvane is already updating in ") + folder +
                     QStringLiteral(". Let it finish, or close it, before you start again."));

        mWizard->cmdNEXT_Click();
        QVERIFY(mWizard->lblUPDATE->text().endsWith(QStringLiteral("\r\n") + folder + QStringLiteral("Update201.EXE")));
        mReader->complete(packagePath(), "x");
        QCOMPARE(mWizard->downloadedFile(), folder + QStringLiteral("Update201.EXE"));
        QVERIFY(QFileInfo(mWizard->downloadedFile()).isFile());
    }

    // Once a newer package is complete, the packages Kelvane stored for
    // earlier versions go. A file it did not write, or that is no longer the
    // one it wrote, stays, and so does whatever a damaged record names.
    void olderPackages_onlyKelvanesOwnGo_data() {
        QTest::addColumn<QString>("change");    // between the two updates
        QTest::addColumn<QByteArray>("second"); // the second update's version
        QTest::addColumn<QString>("file");      // below the sandbox
        QTest::addColumn<bool>("stays");
        QTest::newRow("its own older package") << "" << QByteArray("2.0.2") << "prog/Update201.EXE" << false;
        QTest::newRow("the same version again") << "" << QByteArray("2.0.1") << "prog/Update201.EXE" << true;
        QTest::newRow("not in the record") << "stranger" << QByteArray("2.0.2") << "prog/Update200.EXE" << true;
        QTest::newRow("grown since") << "grow" << QByteArray("2.0.2") << "prog/Update201.EXE" << true;
        QTest::newRow("touched since") << "touch" << QByteArray("2.0.2") << "prog/Update201.EXE" << true;
        QTest::newRow("a link in its place") << "link" << QByteArray("2.0.2") << "prog/Update201.EXE" << true;
        QTest::newRow("a line outside the folder") << "outside" << QByteArray("2.0.2") << "Update201.EXE" << true;
        QTest::newRow("a line naming the program") << "program" << QByteArray("2.0.2") << "prog/kelvane" << true;
        QTest::newRow("a record that cannot be read")
            << "unreadable" << QByteArray("2.0.2") << "prog/Update201.EXE" << true;
    }
    void olderPackages_onlyKelvanesOwnGo() {
        QFETCH(QString, change);
        QFETCH(QByteArray, second);
        QFETCH(QString, file);
        QFETCH(bool, stays);
        const QString program = folderFile(QStringLiteral("prog"));
        QVERIFY(QDir().mkdir(program));
        host::SetAppPathOverride(program);
        completePackage("2.0.1");
        const QString own = program + QStringLiteral("/Update201.EXE");
        const QString record = program + QStringLiteral("/Kelvane.packages");
        const QString path = folderFile(file);
        QFile victim(path);
        const QDateTime written = QFileInfo(own).lastModified();
        if (change == QLatin1String("stranger") || change == QLatin1String("grow")) {
            QVERIFY(victim.open(QIODevice::Append) && victim.write("!") == 1 && victim.flush());
            // Its time put back: only the size tells.
            QVERIFY(change != QLatin1String("grow") || victim.setFileTime(written, QFileDevice::FileModificationTime));
        } else if (change == QLatin1String("touch")) {
            QVERIFY(victim.open(QIODevice::Append));
            QVERIFY(victim.setFileTime(written.addSecs(-60), QFileDevice::FileModificationTime));
        } else if (change == QLatin1String("link")) {
            QVERIFY(QFile::rename(own, folderFile(QStringLiteral("elsewhere.EXE"))));
            QVERIFY(QFile::link(folderFile(QStringLiteral("elsewhere.EXE")), own));
        } else if (change == QLatin1String("outside") || change == QLatin1String("program")) {
            QVERIFY(QFile::copy(own, path));
            const QFileInfo info(path);
            const QByteArray name = change == QLatin1String("outside") ? "../Update201.EXE" : "kelvane";
            QFile lines(record);
            QVERIFY(lines.open(QIODevice::Append));
            lines.write(name + '\t' + QByteArray::number(info.size()) + '\t' +
                        QByteArray::number(info.lastModified().toMSecsSinceEpoch()) + "\t2.0.1\n");
        } else if (change == QLatin1String("unreadable")) {
            QVERIFY(QFile::remove(record) && QDir().mkdir(record));
            // Logged; the update goes on.
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Kelvane.packages cannot be read")));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Kelvane.packages cannot be saved")));
        }
        victim.close();
        completePackage(second);
        QCOMPARE(QFileInfo::exists(path) || QFileInfo(path).isSymLink(), stays);
        QVERIFY(QFileInfo(mWizard->downloadedFile()).isFile());
        QFile lines(record);
        if (change != QLatin1String("unreadable")) {
            QVERIFY(lines.open(QIODevice::ReadOnly));
            const QList<packagerecord::Entry> entries = packagerecord::Parse(lines.readAll());
            QCOMPARE(entries.size(), 1); // the newest package alone
            QCOMPARE(program + QDir::separator() + entries[0].fileName, mWizard->downloadedFile());
        }
    }

    // One copy at a time works on a folder: a second one's Next would
    // otherwise delete the package the first is about to hand over.
    void secondCopy_inTheSameFolder_startsNothing() {
        makeWizard();
        passStepOne();
        auto* otherReader = new FakeAsyncReader;
        vcUPDATECTL other(otherReader);
        other.setVersionFileName(mWizard->VersionFileName());
        other.setConfigFileURL(QStringLiteral("http://updates.test/soft/veltrin_marlo.txt"));
        other.cmdNEXT_Click();
        QVERIFY(otherReader->started.isEmpty());
        QVERIFY(
            other.lblPROGRESS->text().startsWith(QStringLiteral("Another copy of Kelvane is already updating in ")));
        QVERIFY(mSandbox->boxes.calls.isEmpty());
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QStringLiteral("2.0.1"));

        mWizard.reset(); // the first copy ends: the folder is free again
        auto* thirdReader = new FakeAsyncReader;
        vcUPDATECTL third(thirdReader);
        third.setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        third.setConfigFileURL(QStringLiteral("http://updates.test/soft/veltrin_marlo.txt"));
        third.cmdNEXT_Click();
        QCOMPARE(thirdReader->started.size(), 1);
    }

    // A lock file with no owner in it is what a power cut between making and
    // filling it leaves: once old it is taken over. One that names a live
    // owner holds however old it is, and so does a fresh one being filled.
    void leftLockFile_isTakenOverOnlyWhenOwnerless_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("ageSeconds");
        QTest::addColumn<bool>("takenOver");
        const QByteArray live = QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
                                QCoreApplication::applicationName().toUtf8() + '\n' +
                                QSysInfo::machineHostName().toUtf8() + '\n';
        QTest::newRow("empty, three days old") << QByteArray() << 3 * 86400 << true;
        QTest::newRow("garbled, three days old") << QByteArray("\x01\xff?") << 3 * 86400 << true;
        QTest::newRow("empty, being filled") << QByteArray() << 0 << false;
        QTest::newRow("live owner, three days old") << live << 3 * 86400 << false;
        // A link is never a lock Kelvane made; dangling, it would block every start.
        QTest::newRow("a dangling link") << QByteArray("link:nowhere") << 0 << true;
    }
    void leftLockFile_isTakenOverOnlyWhenOwnerless() {
        QFETCH(QByteArray, content);
        QFETCH(int, ageSeconds);
        QFETCH(bool, takenOver);
        QFile lock(folderFile(QStringLiteral("Kelvane.lock")));
        if (content.startsWith("link:")) {
            QVERIFY(QFile::link(folderFile(QString::fromLatin1(content.mid(5))), lock.fileName()));
        } else {
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(content);
            lock.flush();
            QVERIFY(
                lock.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds), QFileDevice::FileModificationTime));
            lock.close();
        }
        const QString leftover = folderFile(QStringLiteral("Kelvane-a1B2c3.part"));
        QVERIFY(QFile(leftover).open(QIODevice::WriteOnly));
        makeWizard();
        mWizard->cmdNEXT_Click();
        QCOMPARE(mReader->started.size(), takenOver ? 1 : 0);
        QCOMPARE(mWizard->lblPROGRESS->text().startsWith(QLatin1String("Another copy of Kelvane")), !takenOver);
        QCOMPARE(QFile::exists(leftover), !takenOver);
    }

    void startRefused_showsWarningAndStaysInStep() {
        makeWizard();
        mReader->refuseNext = download::AsyncReadError{13, QStringLiteral("Unsupported scheme")};
        mWizard->cmdNEXT_Click();
        QTRY_COMPARE(mSandbox->boxes.calls.size(), 1); // when the transfer starts
        QCOMPARE(mSandbox->boxes.calls[0].text,
                 QStringLiteral("13:Error in call to BeginDownload().\r\n\r\nError Description: Unsupported scheme"));
        QCOMPARE(mSandbox->boxes.calls[0].title, QStringLiteral("Warning"));
        QCOMPARE(mSandbox->boxes.calls[0].icon, host::MsgBoxIcon::Critical);
        QCOMPARE(mWizard->step(), 1);
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
    }

    void stepTwo_fillsCaptionDeletesStalePackageAndDownloads() {
        makeWizard();
        passStepOne();
        QFile stale(packagePath());
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("old");
        stale.close();
        QFile neighbour(folderFile(QStringLiteral("Update201.EXE.bak")));
        QVERIFY(neighbour.open(QIODevice::WriteOnly));
        neighbour.close();

        mWizard->cmdNEXT_Click();
        QCOMPARE(mWizard->step(), 2);
        QVERIFY(mWizard->fraFRAME[2]->isVisible());
        QVERIFY(!mWizard->fraFRAME[1]->isVisible());
        QCOMPARE(mWizard->lblUPDATE->text(),
                 QStringLiteral("Đang download cập nhập cho: \r\nVeltrin Marlo to \r\n") + packagePath());
        QVERIFY(!QFile::exists(packagePath()));
        QVERIFY(QFile::exists(neighbour.fileName()));
        QCOMPARE(mReader->started.size(), 2);
        QCOMPARE(mReader->started[1].target, QStringLiteral("http://updates.test/soft/setup.exe"));
        QCOMPARE(mReader->started[1].propertyName, packagePath());
        // Announced or not, a package past the build's limit fails as too large.
        QCOMPARE(mReader->started[1].maxBytes, qint64(KELVANE_MAX_PACKAGE_BYTES));
    }

    void packageTexts_followTheTotal_data() {
        QTest::addColumn<int>("read");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("progress");
        QTest::addColumn<QString>("complete");
        QTest::newRow("512") << 512 << 512 << "0.51 KB of 0.51 KB downloaded..."
                             << "Download of 0.51 KB complete.";
        QTest::newRow("999999") << 999999 << 999999 << "1000.00 KB of 1000.00 KB downloaded..."
                                << "Download of 1000.00 KB complete.";
        QTest::newRow("1000000") << 500000 << 1000000 << "0.50 MB of 1.00 MB downloaded..."
                                 << "Download 1.00" + kCompleteMbPiece;
        QTest::newRow("2500000") << 1250000 << 2500000 << "1.25 MB of 2.50 MB downloaded..."
                                 << "Download 2.50" + kCompleteMbPiece;
    }
    void packageTexts_followTheTotal() {
        QFETCH(int, read);
        QFETCH(int, total);
        QFETCH(QString, progress);
        QFETCH(QString, complete);
        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        mReader->progress(packagePath(), read, total);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), progress);
        QCOMPARE(mWizard->lastBytesMax(), total);
        mReader->progress(packagePath(), read, 0); // no total: nothing changes
        QCOMPARE(mWizard->lastBytesMax(), total);

        QStringList closeRequests;
        // Queued, as a receiver in another thread would get it: the path travels by value.
        connect(
            mWizard.get(), &vcUPDATECTL::CloseRequest, this, [&](const QString& file) { closeRequests << file; },
            Qt::QueuedConnection);
        mReader->complete(packagePath(), QByteArray(total, 'x'));
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), complete);
        QCOMPARE(mWizard->cmdCANCEL->text(), QStringLiteral("Setup"));
        QCOMPARE(mWizard->focusWidget(), mWizard->cmdCANCEL);
        QCOMPARE(mWizard->downloadedFile(), packagePath());
        QCOMPARE(QFileInfo(packagePath()).size(), qint64(total));

        QTest::mouseClick(mWizard->cmdCANCEL, Qt::LeftButton);
        QTRY_COMPARE(closeRequests, QStringList{packagePath()});
    }

    // Sizes past 2 GiB, a transfer that resumes, and the failures of a
    // download that is written as it arrives.
    void streamedPackage_sizesResumeSpaceAndWrite() {
        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        mReader->progress(packagePath(), 1500000000, 3000000000);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), QStringLiteral("1500.00 MB of 3000.00 MB downloaded..."));
        mReader->progress(packagePath(), 1600000000, 3000000000, 1);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), QStringLiteral("1600.00 MB of 3000.00 MB downloaded... resuming"));
        // Continuing what an earlier run kept, and crawling: the text says both.
        mReader->progress(packagePath(), 1700000000, 3000000000, 0, 1500000000, 312);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(),
                 QStringLiteral("1700.00 MB of 3000.00 MB downloaded... resuming. The server is sending only 312 "
                                "bytes a second."));
        mReader->progress(packagePath(), 1700000000, 3000000000, 0, 0, 3500);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(),
                 QStringLiteral("1700.00 MB of 3000.00 MB downloaded... The server is sending only 3.50 KB a second."));
        mReader->complete(packagePath(), "x"); // the total comes from the last progress report
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), QStringLiteral("Download 3000.00") + kCompleteMbPiece);
        QCOMPARE(mWizard->lastBytesMax(), Q_INT64_C(3000000000));

        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        mReader->fail(packagePath(), host::Failure::Kind::NoSpace);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(),
                 QStringLiteral("Not enough free space for ") + packagePath() + QStringLiteral(": scripted failure"));
        QCOMPARE(mWizard->cmdCANCEL->text(), QStringLiteral("&Cancel"));
        QCOMPARE(mWizard->downloadedFile(), QString());

        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        mReader->fail(packagePath(), host::Failure::Kind::TooLarge);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(),
                 QStringLiteral("The update package is too large to download. scripted failure"));
    }

    // A part file nobody works on is what a crashed run left; one that a
    // running copy writes into stays. A file that only looks like one is
    // not Kelvane's and always stays.
    void leftoverPartFiles_goAtStartWhenNoCopyWorksHere_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("partFile");
        QTest::newRow("part file") << QStringLiteral("Kelvane-a1B2c3.part") << true;
        QTest::newRow("three characters") << QStringLiteral("Kelvane-abc.part") << false;
        QTest::newRow("another program's") << QStringLiteral("other.part") << false;
        QTest::newRow("a part file's copy") << QStringLiteral("Kelvane-a1B2c3.part.bak") << false;
    }
    void leftoverPartFiles_goAtStartWhenNoCopyWorksHere() {
        QFETCH(QString, name);
        QFETCH(bool, partFile);
        const QString leftover = folderFile(name);
        const QString package = folderFile(QStringLiteral("Update201.EXE"));
        for (const QString& path : {leftover, package}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        makeWizard();
        QCOMPARE(QFile::exists(leftover), !partFile);
        QVERIFY(QFile::exists(package));

        mWizard->cmdNEXT_Click(); // this copy now works on the folder
        QFile busy(leftover);
        QVERIFY(busy.open(QIODevice::WriteOnly));
        busy.close();
        vcUPDATECTL other(new FakeAsyncReader);
        QVERIFY(QFile::exists(leftover));

        // The first copy ends and leaves its part file, as a crash would: the
        // other one clears it when it takes the folder on its first Next.
        mWizard.reset();
        other.setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
        other.setConfigFileURL(QStringLiteral("http://updates.test/soft/veltrin_marlo.txt"));
        other.cmdNEXT_Click();
        QVERIFY(!other.lblPROGRESS->text().startsWith(QLatin1String("Another copy of Kelvane")));
        QCOMPARE(QFile::exists(leftover), !partFile);
        QVERIFY(QFile::exists(package));
    }

    // Kelvane's kept parts are tidied when it takes the folder, and the
    // published release's package replaces every other package's part once
    // the check has read it; another copy's part stays while that copy
    // holds the folder.
    void keptParts_goWhenStaleOrReplaced() {
        const auto keep = [this](const QString& name, int daysOld) {
            const QString target = folderFile(name);
            for (const QString& path : {download::KeptPartPath(target), download::ResumeRecordPath(target)}) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1 && file.flush());
                QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-daysOld), QFile::FileModificationTime));
            }
        };
        const auto kept = [this](const QString& name) {
            return QFile::exists(download::KeptPartPath(folderFile(name)));
        };
        {
            vcUPDATECTL other(new FakeAsyncReader);
            other.setVersionFileName(QStringLiteral("veltrin_marlo.txt"));
            other.setConfigFileURL(QStringLiteral("http://updates.test/soft/veltrin_marlo.txt"));
            other.cmdNEXT_Click(); // another copy holds the folder
            keep(QStringLiteral("Update200.EXE"), 15);
            keep(QStringLiteral("Update199.EXE"), 13);
            keep(QStringLiteral("Update201.EXE"), 1);
            makeWizard();
            QVERIFY(kept(QStringLiteral("Update200.EXE")));
            mWizard.reset();
        }
        makeWizard();
        QVERIFY(!kept(QStringLiteral("Update200.EXE")));
        QVERIFY(!QFile::exists(download::ResumeRecordPath(folderFile(QStringLiteral("Update200.EXE")))));
        QVERIFY(kept(QStringLiteral("Update199.EXE")));
        passStepOne(); // 2.0.1 is published
        QVERIFY(!kept(QStringLiteral("Update199.EXE")));
        QVERIFY(kept(QStringLiteral("Update201.EXE")));
        mWizard->cmdNEXT_Click();
        QVERIFY(mReader->started.last().options.resumable);
    }

    // A signature file is read up to 4 KiB and refused unread beyond; its
    // untrusted comment, which no signature covers, fills it to the size.
    void signatureFile_isReadUpTo4KiB_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("problem"); // "": verified
        QTest::newRow("4096 bytes") << 4096 << QString();
        QTest::newRow("4097 bytes") << 4097 << QStringLiteral("its signature is larger than 4 KiB");
    }
    void signatureFile_isReadUpTo4KiB() {
        QFETCH(int, size);
        QFETCH(QString, problem);
        QVERIFY2(SigningKeys::available(), "minisign is missing: scripts/deps.sh test installs it");
        SigningKeys keys;
        const QString key = keys.make(QStringLiteral("vendor"));
        QByteArray signature = keys.sign(QStringLiteral("vendor"), kVersionFile, "timestamp:1");
        QVERIFY(!key.isEmpty() && !signature.isEmpty() && signature.size() <= size);
        signature.insert(signature.indexOf('\n'), QByteArray(size - signature.size(), 'x'));
        QFile signedFile(versionPath());
        QVERIFY(signedFile.open(QIODevice::WriteOnly) && signedFile.write(kVersionFile) == kVersionFile.size());
        signedFile.close();

        const signing::Verified verified = signing::Check({key}, signature, versionPath(), QByteArray());
        QCOMPARE(verified.failure ? verified.failure->detail : QString(), problem);
    }

    void sizes_useTheLocaleDecimalSeparator() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(PackageProgressText(1250000, 2500000), QStringLiteral("1,25 MB of 2,50 MB downloaded..."));
        QCOMPARE(PackageProgressText(999990000, 2000000000),
                 QStringLiteral("999,99 MB of 2000,00 MB downloaded...")); // no digit grouping
        // The locale's separator, but ASCII digits, as in the byte counts.
        QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
        QCOMPARE(PackageProgressText(1250000, 2500000), QStringLiteral("1") + QLocale().decimalPoint() +
                                                            QStringLiteral("25 MB of 2") + QLocale().decimalPoint() +
                                                            QStringLiteral("50 MB downloaded..."));
        QCOMPARE(PackageCompleteText(512),
                 QStringLiteral("Download of 0") + QLocale().decimalPoint() + QStringLiteral("51 KB complete."));
    }

    void packageFailure_keepsCancelAndOffersNothing() {
        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        mReader->progress(packagePath(), 100, 2000);
        mReader->fail(packagePath());
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), kPackageFailureText);
        QCOMPARE(mWizard->cmdCANCEL->text(), QStringLiteral("&Cancel"));
        QCOMPARE(mWizard->downloadedFile(), QString());
        QVERIFY(!QFile::exists(packagePath()));
    }

    void packageUnwritable_saysSoAndOffersNothing() {
        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        // A folder in the package's place: the write must fail.
        QVERIFY(QDir(mSandbox->folder.path()).mkdir(QStringLiteral("Update201.EXE")));
        mReader->complete(packagePath(), QByteArray(4000, 'x'));
        QVERIFY(
            mWizard->lblPROGRESSUPDATE->text().startsWith(QStringLiteral("Could not write the update package to ")));
        QVERIFY(mWizard->lblPROGRESSUPDATE->text().contains(packagePath()));
        QCOMPARE(mWizard->cmdCANCEL->text(), QStringLiteral("&Cancel"));
        QCOMPARE(mWizard->downloadedFile(), QString());
    }

    void completionWithoutProgress_usesTheReceivedSize() {
        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        mReader->complete(packagePath(), QByteArray(2500000, 'x'));
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), QStringLiteral("Download 2.50") + kCompleteMbPiece);
    }

    // Each step hears its own read only: one under another name, even the
    // version file's in other letter case, changes nothing.
    void readOfAnotherName_isNotTheStepsOwn() {
        makeWizard();
        mWizard->cmdNEXT_Click();
        const QString package = mWizard->lblPROGRESSUPDATE->text();
        mReader->progress(versionPath().toUpper(), 1250000, 2500000);
        mReader->complete(versionPath().toUpper(), kVersionFile);
        QCOMPARE(mWizard->lblPROGRESSUPDATE->text(), package);
        QCOMPARE(mWizard->lblPROGRESS->text(), QString());
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
    }

    void cancel_beforeAnyDownload_carriesNothing() {
        makeWizard();
        QStringList closeRequests;
        // Queued, as a receiver in another thread would get it: the path travels by value.
        connect(
            mWizard.get(), &vcUPDATECTL::CloseRequest, this, [&](const QString& file) { closeRequests << file; },
            Qt::QueuedConnection);
        QTest::mouseClick(mWizard->cmdCANCEL, Qt::LeftButton);
        QTRY_COMPARE(closeRequests, QStringList{QString()});
    }

    void thirdNext_hidesEveryFrameAndStartsNothing() {
        makeWizard();
        passStepOne();
        mWizard->cmdNEXT_Click();
        mWizard->cmdNEXT_Click();
        QCOMPARE(mWizard->step(), 3);
        for (QGroupBox* frame : mWizard->fraFRAME) {
            QVERIFY(!frame->isVisible());
        }
        QCOMPARE(mReader->started.size(), 2);
    }

    // A version file that cannot drive an update is a failed check:
    // nothing recorded, Next not offered, nothing to fetch even if forced.
    void unusableVersionFile_failsTheCheck_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("LF only") << QByteArray("P\n2.0.1\nhttp://updates.test/u.exe\n");
        QTest::newRow("two lines") << QByteArray("P\r\n2.0\r\n");
        QTest::newRow("empty version") << QByteArray("P\r\n\r\nhttp://updates.test/u.exe\r\n");
        QTest::newRow("ftp package") << QByteArray("P\r\n2.0\r\nftp://updates.test/u.exe\r\n");
    }
    void unusableVersionFile_failsTheCheck() {
        QFETCH(QByteArray, content);
        makeWizard();
        modRWRegistry::SaveAppSetting(QStringLiteral("ServerVersion"), QStringLiteral("1.5"));
        passStepOne(content);
        QVERIFY(mWizard->lblPROGRESS->text().endsWith(QLatin1String("The update check did not succeed.")));
        QVERIFY(mWizard->lblPROGRESS->text().contains(QLatin1String("not usable")));
        QCOMPARE(modRWRegistry::GetAppSetting(QStringLiteral("ServerVersion")), QStringLiteral("1.5"));
        QVERIFY(!mWizard->cmdNEXT->isEnabled());
        QVERIFY(!mWizard->lblYES->isVisible());
        QVERIFY(!QFile::exists(versionPath()));
        verifyForcedNextStartsNothing();
    }
};

QTEST_MAIN(tst_Wizard)
#include "tst_wizard.moc"
