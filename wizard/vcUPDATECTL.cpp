#include "wizard/vcUPDATECTL.h"

#include "host/App.h"
#include "host/MsgBox.h"
#include "host/PartFile.h"
#include "host/PropertyBag.h"
#include "settings/modRWRegistry.h"
#include "wizard/Signing.h"
#include "wizard/VersionFile.h"
#include "wizard/WizardTexts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLockFile>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTemporaryFile>

#include <limits>

using namespace wizardtexts;

namespace {
const QString kCheckFailed = QStringLiteral(" The update check did not succeed.");
// One copy at a time works on a program folder's downloads; the others see
// this file. No package or version file is ever called so.
const QString kFolderLockName = QStringLiteral("Kelvane.lock");

// Failures the wizard finds itself (an unusable or unverified file, a folder
// it cannot hold): one warning line each. A read that failed has its line
// from the reader.
Q_LOGGING_CATEGORY(lcWizard, "kelvane.wizard", QtInfoMsg)
} // namespace

vcUPDATECTL::vcUPDATECTL(host::AsyncReader* reader, QWidget* parent) : QWidget(parent), mReader(reader) {
    buildPanel();

    // Start-up: the program's folder, the first step, the installed version.
    mAppFolder = host::AppPath();
    if (!mAppFolder.endsWith(QDir::separator())) {
        mAppFolder += QDir::separator();
    }
    mStep = 0;
    mCurrentVersion = modRWRegistry::GetAppSetting(QStringLiteral("CurrentVersion"));
    // Part files in the folder while no copy works on it are what a crashed
    // run left; a copy still downloading holds the folder's lock.
    removeLeftovers();
    mDownloadedFile.clear();

    Q_ASSERT(mReader);
    mReader->setParent(this);
    connect(mReader, &host::AsyncReader::AsyncReadProgress, this, &vcUPDATECTL::onAsyncReadProgress);
    connect(mReader, &host::AsyncReader::AsyncReadComplete, this, &vcUPDATECTL::onAsyncReadComplete);
    connect(cmdNEXT, &QPushButton::clicked, this, &vcUPDATECTL::cmdNEXT_Click);
    connect(cmdCANCEL, &QPushButton::clicked, this, &vcUPDATECTL::cmdCANCEL_Click);
}

// A read still running is abandoned with the control: the reader goes first,
// so none of its events reaches a half-destroyed panel.
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
            startDownload(mConfigFileURL, mAppFolder + mVersionFileName);
        }
    }
    if (mStep == 2) {
        QString caption = lblUPDATE->text();
        caption.replace(QStringLiteral("$n"), QStringLiteral("\r\n") + mProductName);
        lblUPDATE->setText(caption);
        caption = lblUPDATE->text();
        caption.replace(QStringLiteral("$f"), QStringLiteral("\r\n") + mAppFolder + mUpdateFileName);
        lblUPDATE->setText(caption);

        // An old copy of this very package goes; nothing else in the folder.
        const QString target = mAppFolder + mUpdateFileName;
        if (!mUpdateFileName.isEmpty() && QFileInfo(target).isFile()) {
            QFile::remove(target);
        }
        startDownload(mUpdateURL, target);
    }
}

void vcUPDATECTL::cmdCANCEL_Click() {
    emit CloseRequest(mDownloadedFile);
}

bool vcUPDATECTL::isVersionFile(const QString& localPath) const {
    return localPath == mAppFolder + mVersionFileName;
}

void vcUPDATECTL::BeginDownload(const QString& url, const QString& localPath, bool digest) {
    const qint64 limit = isVersionFile(localPath) ? kMaxVersionFileBytes : std::numeric_limits<qint64>::max();
    const std::optional<host::AsyncReadError> error =
        mReader->AsyncRead(url, localPath, limit, digest ? host::AsyncReadOption::Digest : host::AsyncReadOption::None);
    if (error) {
        qCWarning(lcWizard, "%s: download to %s not started (error %d): %s", qUtf8Printable(url),
                  qUtf8Printable(QDir::toNativeSeparators(localPath)), error->Number,
                  qUtf8Printable(error->Description));
        mFailureText = QString::number(error->Number) + QStringLiteral(":Error in call to BeginDownload().") +
                       QStringLiteral("\r\n\r\n") + QStringLiteral("Error Description: ") + error->Description;
        host::MsgBox(mFailureText, host::MsgBoxIcon::Critical, QStringLiteral("Warning"));
    }
}

void vcUPDATECTL::startDownload(const QString& url, const QString& target) {
    if (mSigningKey.isEmpty()) {
        BeginDownload(url, target);
        return;
    }
    Verification verification;
    verification.url = url;
    verification.target = target;
    verification.stored = isVersionFile(target) ? target : host::NewPartFilePath(mAppFolder);
    verification.signature = host::NewPartFilePath(mAppFolder);
    mVerification = verification;
    const host::ParsedTarget parsed = host::ParseTarget(url);
    BeginDownload(url, verification.stored, true);
    if (parsed.error) {
        mVerification.reset(); // the start-failure box has said why
        return;
    }
    // The signature lies beside the file: its URL with ".minisig" added.
    QUrl signatureUrl = parsed.url;
    signatureUrl.setPath(signatureUrl.path() + QStringLiteral(".minisig"));
    const std::optional<host::AsyncReadError> error =
        mReader->AsyncRead(signatureUrl.toString(), verification.signature, signing::kMaxSignatureBytes);
    if (error) {
        failVerification(QStringLiteral("its signature cannot be downloaded: ") + error->Description);
    }
}

void vcUPDATECTL::onSignedReadComplete(const host::AsyncProperty& property) {
    Verification& verification = *mVerification;
    const bool signature = property.PropertyName == verification.signature;
    if (verification.failed) {
        QFile::remove(property.PropertyName); // a late completion of a failed step leaves nothing
        return;
    }
    if (property.BytesMax == 0) {
        if (signature) {
            const QString why = property.Failure == host::AsyncReadFailure::TooLarge
                                    ? QStringLiteral("its signature is larger than 4 KiB")
                                    : QStringLiteral("its signature could not be downloaded (") +
                                          property.FailureDetail + QLatin1Char(')');
            failVerification(why);
            return;
        }
        // The file itself did not arrive: the step's own failure text, with
        // the path it belongs at.
        verification.failed = true;
        if (verification.signatureDone) {
            QFile::remove(verification.signature);
        }
        host::AsyncProperty failed = property;
        failed.PropertyName = verification.target;
        showReadFailure(failed);
        return;
    }
    if (signature) {
        QFile file(verification.signature);
        if (file.open(QIODevice::ReadOnly)) {
            verification.signatureBytes = file.read(signing::kMaxSignatureBytes + 1);
        }
        file.close();
        QFile::remove(verification.signature);
        verification.signatureDone = true;
    } else {
        verification.fileDone = true;
        verification.digest = property.Digest;
        if (!isVersionFile(verification.target) && mLastBytesMax == 0) {
            mLastBytesMax = property.BytesMax;
        }
    }
    if (verification.fileDone && verification.signatureDone) {
        finishVerification();
    }
}

void vcUPDATECTL::finishVerification() {
    Verification& verification = *mVerification;
    if (const std::optional<QString> problem =
            signing::Check(mSigningKey, verification.signatureBytes, verification.stored, verification.digest)) {
        failVerification(*problem);
        return;
    }
    const QString target = verification.target;
    if (verification.stored != target) {
        if (const std::optional<QString> error = host::ReplaceFile(verification.stored, target)) {
            qCWarning(lcWizard, "%s: the verified file cannot be renamed to %s: %s", qUtf8Printable(verification.url),
                      qUtf8Printable(QDir::toNativeSeparators(target)), qUtf8Printable(*error));
            verification.failed = true;
            QFile::remove(verification.stored);
            showStepFailure(QStringLiteral("Could not write the update package to ") +
                            QDir::toNativeSeparators(target) + QStringLiteral(": ") + *error);
            return;
        }
    }
    mVerification.reset();
    DownloadComplete(target);
}

void vcUPDATECTL::failVerification(const QString& reason) {
    Verification& verification = *mVerification;
    qCWarning(lcWizard, "%s: not verified: %s", qUtf8Printable(verification.url), qUtf8Printable(reason));
    verification.failed = true;
    if (verification.fileDone) {
        QFile::remove(verification.stored);
    }
    QFile::remove(verification.signature);
    const bool versionFile = isVersionFile(verification.target);
    showStepFailure((versionFile ? QStringLiteral("The version file could not be verified: ")
                                 : QStringLiteral("The update package could not be verified: ")) +
                    reason +
                    (versionFile
                         ? QStringLiteral(". It is not what the vendor signed, so nothing was recorded. This is not a "
                                          "connection problem.") +
                               kCheckFailed
                         : QStringLiteral(". It is not what the vendor signed, so it was not kept and will not be run. "
                                          "This is not a connection problem.")));
}

void vcUPDATECTL::onAsyncReadProgress(const host::AsyncProperty& property) {
    if (mVerification && property.PropertyName == mVerification->signature) {
        return; // a signature's few bytes are not the download the user waits for
    }
    if (property.BytesMax == 0) {
        return;
    }
    DownloadProgress(property.BytesRead, property.BytesMax, property.PropertyName, property.Resumes > 0);
}

void vcUPDATECTL::DownloadProgress(qint64 bytesRead, qint64 bytesMax, const QString& localPath, bool resuming) {
    if (isVersionFile(localPath)) {
        lblPROGRESS->setText(VersionProgressText(bytesRead, bytesMax));
        return;
    }
    lblPROGRESSUPDATE->setText(PackageProgressText(bytesRead, bytesMax, resuming));
    mLastBytesMax = bytesMax;
}

void vcUPDATECTL::showReadFailure(const host::AsyncProperty& property) {
    using host::AsyncReadFailure;
    const bool versionFile = isVersionFile(property.PropertyName);
    const QString path = QDir::toNativeSeparators(property.PropertyName);
    switch (property.Failure) {
    case AsyncReadFailure::TooLarge:
        showStepFailure(versionFile
                            ? QStringLiteral("The version file on the server is larger than 1 MB and was not read. "
                                             "The update check did not succeed.")
                            : QStringLiteral("The update package is too large to download."));
        return;
    case AsyncReadFailure::NoSpace:
        showStepFailure(QStringLiteral("Not enough free space for ") + path + QStringLiteral(": ") +
                        property.FailureDetail + (versionFile ? kCheckFailed : QString()));
        return;
    case AsyncReadFailure::WriteFailed:
        // A file that could not be written whole is never offered for
        // setup, nor read as a version file.
        showStepFailure((versionFile ? QStringLiteral("Could not write the version file to ")
                                     : QStringLiteral("Could not write the update package to ")) +
                        path + QStringLiteral(": ") + property.FailureDetail +
                        (versionFile ? QLatin1Char('.') + kCheckFailed : QString()));
        return;
    case AsyncReadFailure::None:
    case AsyncReadFailure::Network:
        break;
    }
    ErrorMessage();
}

void vcUPDATECTL::onAsyncReadComplete(const host::AsyncProperty& property) {
    if (mVerification &&
        (property.PropertyName == mVerification->stored || property.PropertyName == mVerification->signature)) {
        onSignedReadComplete(property);
        return;
    }
    const bool versionFile = isVersionFile(property.PropertyName);
    if (property.BytesMax == 0) {
        showReadFailure(property);
        return;
    }
    if (!versionFile && mLastBytesMax == 0) {
        // No progress report announced a size; the completed read knows it.
        mLastBytesMax = property.BytesMax;
    }
    DownloadComplete(property.PropertyName);
}

void vcUPDATECTL::DownloadComplete(const QString& localPath) {
    if (isVersionFile(localPath)) {
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
    const QString path = mAppFolder + mVersionFileName;
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

void vcUPDATECTL::removeLeftovers() {
    QLockFile probe(mAppFolder + kFolderLockName);
    probe.setStaleLockTime(0);
    if (probe.tryLock(0)) {
        host::RemovePartFiles(mAppFolder);
    }
}

std::optional<QString> vcUPDATECTL::lockFolder() {
    if (mFolderLock && mFolderLock->isLocked()) {
        return std::nullopt;
    }
    const QString path = mAppFolder + kFolderLockName;
    mFolderLock = std::make_unique<QLockFile>(path);
    // Held for the whole run, however long the user takes: only a lock whose
    // owner has died is taken over.
    mFolderLock->setStaleLockTime(0);
    if (mFolderLock->tryLock(0)) {
        host::RemovePartFiles(mAppFolder);
        return std::nullopt;
    }
    const QLockFile::LockError error = mFolderLock->error();
    mFolderLock.reset();
    const QString folder = QDir::toNativeSeparators(mAppFolder);
    if (error == QLockFile::LockFailedError) {
        return QStringLiteral("Another copy of Kelvane is already updating in %1. Let it finish, or close it, "
                              "before you start again.")
            .arg(folder);
    }
    // QLockFile does not keep the system's reason; a file made and removed
    // at once in the same folder tells it.
    QTemporaryFile probe(mAppFolder + QStringLiteral("Kelvane-XXXXXX.tmp"));
    const QString reason = probe.open()
                               ? QStringLiteral("the file %1 cannot be made").arg(QDir::toNativeSeparators(path))
                               : probe.errorString();
    return QStringLiteral("Kelvane cannot write in its folder %1: %2.").arg(folder, reason) + kCheckFailed;
}
