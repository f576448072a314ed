#include "wizard/vcUPDATECTL.h"

#include "download/KeptPart.h"
#include "download/PartFile.h"
#include "host/App.h"
#include "host/MsgBox.h"
#include "host/PropertyBag.h"
#include "settings/modRWRegistry.h"
#include "wizard/PackageRecord.h"
#include "wizard/VersionFile.h"
#include "wizard/WizardTexts.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLockFile>
#include <QLoggingCategory>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>
#include <limits>

using namespace wizardtexts;

namespace {
const QString kCheckFailed = QStringLiteral(" The update check did not succeed.");
// One copy at a time works on a program folder's downloads; the others see
// this file. No package or version file is ever called so.
const QString kFolderLockName = QStringLiteral("Kelvane.lock");
// A signed build's record of the newest version file it accepted: its
// signing time, seconds since 1970 UTC, beside ServerVersion.
const QString kSignedTimeSetting = QStringLiteral("ServerSignedTime");
// A lock file that holds no owner is what a power cut between making and
// filling it leaves; one this old has no owner coming back.
constexpr qint64 kUnreadableLockAgeMs = 10 * 1000;
// A package's part that nobody continued for this long is given up.
constexpr int kKeptPartDays = 14;

#ifndef KELVANE_MAX_PACKAGE_BYTES
#error "KELVANE_MAX_PACKAGE_BYTES caps the size of a package; the build sets it"
#endif

// Failures the wizard finds itself (an unusable or unverified file, a folder
// it cannot hold): one warning line each. A read that failed has its line
// from the reader.
Q_LOGGING_CATEGORY(lcWizard, "kelvane.wizard", QtInfoMsg)

QString WithSeparator(QString folder) {
    if (!folder.endsWith(QDir::separator())) {
        folder += QDir::separator();
    }
    return folder;
}

// Why nothing can be written in `folder`, or nothing when a file can be made
// there. Only a real file tells: permission bits do not, for root, on a
// read-only mount or under an access control list.
std::optional<QString> WriteProbe(const QString& folder) {
    QTemporaryFile probe(folder + QStringLiteral("Kelvane-XXXXXX.tmp"));
    if (probe.open()) {
        return std::nullopt;
    }
    return probe.errorString();
}

// Makes `folder` and the parents it lacks, each for its owner alone, as a
// user's cache folders are.
void MakePrivateFolder(const QString& folder) {
    const QString clean = QDir::cleanPath(folder);
    if (QFileInfo::exists(clean)) {
        return;
    }
    const QString parent = QFileInfo(clean).path();
    if (parent != clean) {
        MakePrivateFolder(parent);
    }
    QDir().mkdir(clean, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
} // namespace

vcUPDATECTL::vcUPDATECTL(download::AsyncReader* reader, QWidget* parent)
    : QWidget(parent), mReader(reader), mPackageLimit(KELVANE_MAX_PACKAGE_BYTES) {
    buildPanel();

    // Start-up: the program's folder, the first step, the installed version.
    mAppFolder = WithSeparator(host::AppPath());
    mDownloadFolder = chooseDownloadFolder();
    mStep = 0;
    mCurrentVersion = modRWRegistry::GetAppSetting(QStringLiteral("CurrentVersion"));
    // Part files in the folder while no copy works on it are what a crashed
    // run left; a copy still downloading holds the folder's lock.
    removeLeftovers();
    mDownloadedFile.clear();

    Q_ASSERT(mReader);
    mReader->setParent(this);
    connect(cmdNEXT, &QPushButton::clicked, this, &vcUPDATECTL::cmdNEXT_Click);
    connect(cmdCANCEL, &QPushButton::clicked, this, &vcUPDATECTL::cmdCANCEL_Click);
}

// A read still running is abandoned with the control: the reader goes first,
// so none of its events reaches a half-destroyed panel or job.
vcUPDATECTL::~vcUPDATECTL() {
    delete mReader;
}

void vcUPDATECTL::setConfigFileURL(const QString& pstr) {
    mConfigFileURL = pstr;
    emit PropertyChanged(QStringLiteral("ConfigFileURL"));
}

void vcUPDATECTL::setVersionFileName(const QString& pstr) {
    mVersionFileName = pstr;
}

void vcUPDATECTL::GetVersion() {
    cmdNEXT_Click();
}

void vcUPDATECTL::ReadProperties(const host::PropertyBag& bag) {
    mConfigFileURL = bag.ReadProperty(QStringLiteral("ConfigFileURL"), QString()).toString();
}

void vcUPDATECTL::WriteProperties(host::PropertyBag& bag) const {
    bag.WriteProperty(QStringLiteral("ConfigFileURL"), mConfigFileURL, QString());
}

void vcUPDATECTL::cmdNEXT_Click() {
    cmdCANCEL->setFocus();
    cmdNEXT->setEnabled(false);
    mStep += 1;
    for (qsizetype i = 0; i < fraFRAME.size(); ++i) {
        fraFRAME.at(i)->setVisible(i == mStep);
    }

    if (mStep == 1) {
        if (mConfigFileURL.isEmpty()) {
            mFailureText = QStringLiteral("A configuration download URL was not provided.  Kelvane cannot continue.");
            qCWarning(lcWizard, "no version file address: the installed edition is unknown");
            host::MsgBox(mFailureText, host::MsgBoxIcon::Critical, QStringLiteral("Error"));
            mStep -= 1;
        } else if (const std::optional<QString> busy = lockFolder()) {
            qCWarning(lcWizard, "%s", qUtf8Printable(*busy));
            showStepFailure(*busy);
        } else {
            BeginDownload(mConfigFileURL, mDownloadFolder + mVersionFileName, FetchJob::Kind::VersionFile);
        }
    }
    if (mStep == 2) {
        QString caption = lblUPDATE->text();
        caption.replace(QStringLiteral("$n"), QStringLiteral("\r\n") + mProductName);
        lblUPDATE->setText(caption);
        caption = lblUPDATE->text();
        caption.replace(QStringLiteral("$f"), QStringLiteral("\r\n") + mDownloadFolder + mUpdateFileName);
        lblUPDATE->setText(caption);

        // An old copy of this very package goes; nothing else in the folder.
        const QString target = mDownloadFolder + mUpdateFileName;
        if (!mUpdateFileName.isEmpty() && QFileInfo(target).isFile()) {
            QFile::remove(target);
        }
        BeginDownload(mUpdateURL, target, FetchJob::Kind::Package);
    }
}

void vcUPDATECTL::cmdCANCEL_Click() {
    emit CloseRequest(mDownloadedFile);
}

void vcUPDATECTL::BeginDownload(const QString& url, const QString& localPath, FetchJob::Kind kind) {
    const bool versionFile = kind == FetchJob::Kind::VersionFile;
    FetchTrust trust;
    trust.keys = mSigningKeys;
    trust.versionFileName = mVersionFileName;
    if (!mSigningKeys.isEmpty()) {
        trust.newestSignedAt = newestSignedAt();
        trust.now = QDateTime::currentSecsSinceEpoch();
        trust.release = mRelease;
    }
    if (mJob) {
        // A forced Next: the earlier fetch ends unheard.
        mJob->disconnect(this);
    }
    mJob = new FetchJob(mReader, kind, url, localPath, versionFile ? kMaxVersionFileBytes : mPackageLimit, trust, this);
    connect(mJob, &FetchJob::progress, this, &vcUPDATECTL::onFetchProgress);
    connect(mJob, &FetchJob::result, this, &vcUPDATECTL::onFetchResult);
    const std::optional<download::AsyncReadError> error = mJob->start();
    if (error) {
        qCWarning(lcWizard, "%s: download to %s not started (error %d): %s", qUtf8Printable(url),
                  qUtf8Printable(QDir::toNativeSeparators(localPath)), error->Number,
                  qUtf8Printable(error->Description));
        mFailureText = QString::number(error->Number) + QStringLiteral(":Error in call to BeginDownload().") +
                       QStringLiteral("\r\n\r\n") + QStringLiteral("Error Description: ") + error->Description;
        host::MsgBox(mFailureText, host::MsgBoxIcon::Critical, QStringLiteral("Warning"));
    }
}

qint64 vcUPDATECTL::newestSignedAt() const {
    const QString stored = modRWRegistry::GetAppSetting(kSignedTimeSetting);
    bool ok = false;
    const qint64 value = stored.toLongLong(&ok);
    if (!stored.isEmpty() && (!ok || value < 0)) {
        qCWarning(lcWizard, "the stored %s \"%s\" is not a time; any signing time counts as newer",
                  qUtf8Printable(kSignedTimeSetting), qUtf8Printable(stored));
        return 0;
    }
    return ok ? value : 0;
}

void vcUPDATECTL::onFetchProgress(qint64 bytesRead, qint64 bytesMax, bool resuming, qint64 crawlRate) {
    if (bytesMax == 0) {
        return;
    }
    DownloadProgress(bytesRead, bytesMax, mJob->kind() == FetchJob::Kind::VersionFile, resuming, crawlRate);
}

void vcUPDATECTL::DownloadProgress(qint64 bytesRead, qint64 bytesMax, bool versionFile, bool resuming,
                                   qint64 crawlRate) {
    if (versionFile) {
        lblPROGRESS->setText(VersionProgressText(bytesRead, bytesMax, crawlRate));
        return;
    }
    lblPROGRESSUPDATE->setText(PackageProgressText(bytesRead, bytesMax, resuming, crawlRate));
    mLastBytesMax = bytesMax;
}

void vcUPDATECTL::onFetchResult(const FetchJob::Result& result) {
    using Kind = host::Failure::Kind;
    const bool versionFile = mJob->kind() == FetchJob::Kind::VersionFile;
    const QString target = mJob->target();
    if (!result.failure) {
        if (versionFile) {
            mRelease = result.release;
        } else if (mLastBytesMax == 0) {
            // No progress report announced a size; the completed read knows it.
            mLastBytesMax = result.size;
        }
        DownloadComplete(versionFile, target);
        return;
    }
    const host::Failure& failure = *result.failure;
    switch (failure.kind) {
    case Kind::Network:
    case Kind::TooSlow:
    case Kind::TooLarge:
    case Kind::NoSpace:
    case Kind::WriteFailed:
        showReadFailure(versionFile, target, failure);
        return;
    case Kind::ReadFailed:
    case Kind::Malformed:
    case Kind::OtherKey:
    case Kind::Unverified:
    case Kind::LibraryFailed:
    case Kind::OlderRelease:
    case Kind::Expired:
        qCWarning(lcWizard, "%s: refused (%s): %s", qUtf8Printable(mJob->url()), host::KindName(failure.kind),
                  qUtf8Printable(failure.detail));
        showRefusal(versionFile, result);
        return;
    }
}

void vcUPDATECTL::showRefusal(bool versionFile, const FetchJob::Result& result) {
    using signing::TimeText;
    const host::Failure& failure = *result.failure;
    if (failure.kind == host::Failure::Kind::OlderRelease) {
        showStepFailure(QStringLiteral("The version file on the server is older than the one this computer has "
                                       "already accepted: it was signed on %1, the accepted one on %2. Somebody "
                                       "may be sending an old copy to hold back updates, so nothing was recorded.")
                            .arg(TimeText(result.release->signedAt), TimeText(newestSignedAt())) +
                        kCheckFailed);
        return;
    }
    if (failure.kind == host::Failure::Kind::Expired) {
        showStepFailure(QStringLiteral("The update information on the server is out of date: its signature "
                                       "expired on %1, so nothing was recorded. If this computer's date is right "
                                       "and this goes on, tell the vendor: somebody may be holding back newer "
                                       "updates.")
                            .arg(TimeText(*result.release->expiresAt)) +
                        kCheckFailed);
        return;
    }
    showStepFailure(versionFile
                        ? QStringLiteral("The version file could not be verified: ") + failure.detail +
                              QStringLiteral(". It is not what the vendor signed, so nothing was recorded. This is "
                                             "not a connection problem.") +
                              kCheckFailed
                        : QStringLiteral("The update package could not be verified: ") + failure.detail +
                              QStringLiteral(". It is not what the vendor signed, so it was not kept and will not "
                                             "be run. This is not a connection problem."));
}

void vcUPDATECTL::showReadFailure(bool versionFile, const QString& localPath, const host::Failure& failure) {
    using Kind = host::Failure::Kind;
    const QString& detail = failure.detail;
    const QString path = QDir::toNativeSeparators(localPath);
    switch (failure.kind) {
    case Kind::TooSlow:
        // The step's own text, then how slow it was.
        showStepFailure((mStep == 1 ? kVersionFailureText : kPackageFailureText) + QLatin1Char(' ') + detail);
        return;
    case Kind::TooLarge:
        showStepFailure(versionFile
                            ? QStringLiteral("The version file on the server is larger than 1 MB and was not read. "
                                             "The update check did not succeed.")
                            : QStringLiteral("The update package is too large to download. ") + detail);
        return;
    case Kind::NoSpace:
        showStepFailure(QStringLiteral("Not enough free space for ") + path + QStringLiteral(": ") + detail +
                        (versionFile ? kCheckFailed : QString()));
        return;
    case Kind::WriteFailed:
        // A file that could not be written whole is never offered for
        // setup, nor read as a version file.
        showStepFailure((versionFile ? QStringLiteral("Could not write the version file to ")
                                     : QStringLiteral("Could not write the update package to ")) +
                        path + QStringLiteral(": ") + detail +
                        (versionFile ? QLatin1Char('.') + kCheckFailed : QString()));
        return;
    default: // Network, and what only a proof fails with
        break;
    }
    ErrorMessage();
}

void vcUPDATECTL::DownloadComplete(bool versionFile, const QString& localPath) {
    if (versionFile) {
        const std::optional<versionfile::Published> published = ReadVersionFile();
        if (!published) {
            qCWarning(lcWizard, "%s: the downloaded version file cannot be read",
                      qUtf8Printable(QDir::toNativeSeparators(localPath)));
            ErrorMessage();
            return;
        }
        // A file that cannot drive an update is a failed check: nothing is
        // recorded, Next is not offered, and even a forced Next has no
        // package to fetch and no name to write outside the program folder.
        if (published->problem) {
            qCWarning(lcWizard, "%s: %s", qUtf8Printable(mConfigFileURL), qUtf8Printable(*published->problem));
            showStepFailure(*published->problem + kCheckFailed);
            return;
        }
        mServerVersionRecorded = modRWRegistry::SaveAppSetting(QStringLiteral("ServerVersion"), mServerVersion);
        if (mRelease) {
            // Later checks refuse what was signed before this. A signing
            // time ahead of this computer's clock counts as the present: a
            // signer's wrong clock, or a stolen key, must not hold back every
            // release signed after it.
            const qint64 signedAt = std::min(mRelease->signedAt, QDateTime::currentSecsSinceEpoch());
            mServerVersionRecorded =
                modRWRegistry::SaveAppSetting(kSignedTimeSetting, QString::number(signedAt)) && mServerVersionRecorded;
        }
        // Only the published release's package may be continued later.
        tidyKeptParts(mUpdateFileName);
        lblVERSION->setText(VersionText(mCurrentVersion, mServerVersion));
        if (mServerVersion == mCurrentVersion) {
            lblYES->setText(kNoNewVersionText);
        }
        lblYES->setVisible(true);
        cmdNEXT->setEnabled(true);
        cmdNEXT->setFocus();
        return;
    }

    cmdCANCEL->setText(QStringLiteral("Setup"));
    cmdCANCEL->setFocus();
    lblPROGRESSUPDATE->setText(PackageCompleteText(mLastBytesMax));
    mDownloadedFile = localPath;
    removeOlderPackages();
}

void vcUPDATECTL::removeOlderPackages() {
    const packagerecord::Cleanup cleanup =
        packagerecord::PackageCompleted(mDownloadFolder, mUpdateFileName, mServerVersion);
    for (const QString& removed : cleanup.removed) {
        qCDebug(lcWizard, "removed the older package %s", qUtf8Printable(removed));
    }
    for (const QString& problem : cleanup.problems) {
        qCWarning(lcWizard, "%s", qUtf8Printable(problem));
    }
}

void vcUPDATECTL::ErrorMessage() {
    showStepFailure(mStep == 1 ? kVersionFailureText : kPackageFailureText);
}

void vcUPDATECTL::showStepFailure(const QString& text) {
    mFailureText = text;
    if (mStep != 1) {
        lblPROGRESSUPDATE->setText(text);
        return;
    }
    // A failed check never shows versions: the empty version strip gives way
    // to the reason, which may need several lines for a path.
    lblVERSION->setVisible(false);
    lblPROGRESS->setText(text);
}

// Returns nothing, with every field as it was, when the local copy could not
// be opened or read; the caller then treats the check as failed. Otherwise
// the file's reading, for the caller to judge.
std::optional<versionfile::Published> vcUPDATECTL::ReadVersionFile() {
    const QString path = mDownloadFolder + mVersionFileName;
    const std::optional<QStringList> lines = versionfile::ReadFile(path);
    if (!lines) {
        return std::nullopt;
    }
    const versionfile::Published published = versionfile::Interpret(*lines);
    mProductName = published.productName;
    mServerVersion = published.serverVersion;
    mUpdateURL = published.updateURL;
    mUpdateFileName = published.updateFileName;
    QFile::remove(path);
    return published;
}

QString vcUPDATECTL::chooseDownloadFolder() {
    mAppFolderUnwritable = WriteProbe(mAppFolder);
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (!mAppFolderUnwritable || cache.isEmpty()) {
        return mAppFolder;
    }
    const QString folder = WithSeparator(QDir::toNativeSeparators(cache));
    qCDebug(lcWizard, "the program folder %s cannot be written (%s): downloads go to %s",
            qUtf8Printable(QDir::toNativeSeparators(mAppFolder)), qUtf8Printable(*mAppFolderUnwritable),
            qUtf8Printable(folder));
    return folder;
}

void vcUPDATECTL::removeLeftovers() {
    QLockFile probe(mDownloadFolder + kFolderLockName);
    probe.setStaleLockTime(0);
    if (probe.tryLock(0)) {
        download::RemovePartFiles(mDownloadFolder);
        tidyKeptParts();
    }
}

void vcUPDATECTL::tidyKeptParts(const QString& keepOnly) {
    for (const QString& line : download::TidyKeptParts(mDownloadFolder, keepOnly, kKeptPartDays)) {
        qCInfo(lcWizard, "%s", qUtf8Printable(line));
    }
}

namespace {

// A lock file that names no owner and has not been written for a while:
// nobody holds it.
bool isUnreadableAndOld(const QLockFile& lock, const QString& path) {
    qint64 pid = 0;
    QString hostName, appName;
    if (lock.getLockInfo(&pid, &hostName, &appName)) {
        return false;
    }
    const QFileInfo info(path);
    const qint64 age = info.lastModified().msecsTo(QDateTime::currentDateTime());
    return info.exists() && qAbs(age) > kUnreadableLockAgeMs;
}

} // namespace

// Takes away a lock file with no owner in it, so that a lock left empty by a
// power cut does not block every later update. Two copies that find it at
// once agree through a second lock on who removes it, as QLockFile does with
// a lock whose owner has died.
bool vcUPDATECTL::takeOverUnreadableLock(QLockFile& lock) {
    const QString path = mDownloadFolder + kFolderLockName;
    if (lock.error() != QLockFile::LockFailedError || !isUnreadableAndOld(lock, path)) {
        return false;
    }
    QLockFile removal(path + QStringLiteral(".rmlock"));
    if (!removal.tryLock(0) || !isUnreadableAndOld(lock, path)) {
        return false;
    }
    qCWarning(lcWizard, "%s holds no owner and is %lld s old: taken over",
              qUtf8Printable(QDir::toNativeSeparators(path)),
              static_cast<long long>(QFileInfo(path).lastModified().secsTo(QDateTime::currentDateTime())));
    return lock.removeStaleLockFile();
}

std::optional<QString> vcUPDATECTL::lockFolder() {
    if (mFolderLock && mFolderLock->isLocked()) {
        return std::nullopt;
    }
    if (mDownloadFolder != mAppFolder) {
        MakePrivateFolder(mDownloadFolder);
    }
    const QString path = mDownloadFolder + kFolderLockName;
    mFolderLock = std::make_unique<QLockFile>(path);
    // Held for the whole run, however long the user takes: only a lock whose
    // owner has died is taken over.
    mFolderLock->setStaleLockTime(0);
    if (mFolderLock->tryLock(0) || (takeOverUnreadableLock(*mFolderLock) && mFolderLock->tryLock(0))) {
        download::RemovePartFiles(mDownloadFolder);
        tidyKeptParts();
        return std::nullopt;
    }
    const QLockFile::LockError error = mFolderLock->error();
    mFolderLock.reset();
    const QString folder = QDir::toNativeSeparators(mDownloadFolder);
    if (error == QLockFile::LockFailedError) {
        return QStringLiteral("Another copy of Kelvane is already updating in %1. Let it finish, or close it, "
                              "before you start again.")
            .arg(folder);
    }
    // QLockFile does not keep the system's reason; a file made and removed
    // at once in the same folder tells it.
    const QString reason =
        WriteProbe(mDownloadFolder)
            .value_or(QStringLiteral("the file %1 cannot be made").arg(QDir::toNativeSeparators(path)));
    if (mDownloadFolder == mAppFolder) {
        return QStringLiteral("Kelvane cannot write in its folder %1: %2.").arg(folder, reason) + kCheckFailed;
    }
    return QStringLiteral("Kelvane cannot write in its folder %1 (%2), nor in its cache folder %3: %4.")
               .arg(QDir::toNativeSeparators(mAppFolder), mAppFolderUnwritable.value_or(QString()), folder, reason) +
           kCheckFailed;
}
