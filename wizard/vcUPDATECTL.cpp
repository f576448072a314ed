#include "wizard/vcUPDATECTL.h"

#include "host/App.h"
#include "host/Log.h"
#include "host/MsgBox.h"
#include "host/PropertyBag.h"
#include "settings/modRWRegistry.h"
#include "wizard/WizardTexts.h"

#include <QDateTime>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>

using namespace wizardtexts;

namespace {

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

} // namespace

vcUPDATECTL::vcUPDATECTL(download::AsyncReader* reader, QWidget* parent)
    : QWidget(parent), mReader(reader), mPackageLimit(KELVANE_MAX_PACKAGE_BYTES) {
    buildPanel();

    // Start-up: the program's folder, the first step, the installed version.
    mAppFolder = WithSeparator(host::AppPath());
    // Chosen now; what a crashed run left there goes when no copy works on it.
    mFolder = std::make_unique<DownloadFolder>(mAppFolder);
    mStep = 0;
    mCurrentVersion = modRWRegistry::GetAppSetting(QStringLiteral("CurrentVersion"));
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
            mFailureText = kNoUrlText;
            qCWarning(lcWizard, "no version file address: the installed edition is unknown");
            host::MsgBox(mFailureText, host::MsgBoxIcon::Critical, QStringLiteral("Error"));
            mStep -= 1;
        } else if (const std::optional<QString> busy = mFolder->lock()) {
            qCWarning(lcWizard, "%s", logPrintable(*busy));
            showStepFailure(*busy);
        } else {
            BeginDownload(mConfigFileURL, mFolder->path() + mVersionFileName, FetchJob::Kind::VersionFile);
        }
    }
    if (mStep == 2) {
        QString caption = lblUPDATE->text();
        caption.replace(QStringLiteral("$n"), QStringLiteral("\r\n") + mProductName);
        lblUPDATE->setText(caption);
        caption = lblUPDATE->text();
        caption.replace(QStringLiteral("$f"), QStringLiteral("\r\n") + mFolder->path() + mUpdateFileName);
        lblUPDATE->setText(caption);

        mFolder->removeStalePackage(mUpdateFileName);
        BeginDownload(mUpdateURL, mFolder->path() + mUpdateFileName, FetchJob::Kind::Package);
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
        trust.newestSignedAt = DownloadFolder::NewestSignedAt();
        trust.now = QDateTime::currentSecsSinceEpoch();
        trust.release = mRelease;
    }
    if (mJob) {
        mJob->kill(); // a forced Next: the earlier fetch ends unheard
    }
    mJob = new FetchJob(mReader, kind, url, localPath, versionFile ? kMaxVersionFileBytes : mPackageLimit, trust, this);
    connect(mJob, &FetchJob::progress, this, &vcUPDATECTL::onFetchProgress);
    connect(mJob, &FetchJob::result, this, &vcUPDATECTL::onFetchResult);
    mJob->start();
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
    const QString url = mJob->url();
    mJob = nullptr; // it deletes itself
    if (!result.failure) {
        if (versionFile) {
            mRelease = result.release;
        } else if (mLastBytesMax == 0) {
            // No progress report announced a size; the completed read knows it.
            mLastBytesMax = result.size;
        }
        DownloadComplete(versionFile, target, result);
        return;
    }
    const host::Failure& failure = *result.failure;
    switch (failure.kind) {
    case Kind::NotStarted:
        qCWarning(lcWizard, "%s: download to %s not started (error %d): %s", logPrintable(url),
                  logPrintable(QDir::toNativeSeparators(target)), failure.code, logPrintable(failure.detail));
        mFailureText = StartFailureText(failure.code, failure.detail);
        host::MsgBox(mFailureText, host::MsgBoxIcon::Critical, QStringLiteral("Warning"));
        return;
    case Kind::Network:
    case Kind::TooSlow:
    case Kind::TooLarge:
    case Kind::NoSpace:
    case Kind::WriteFailed:
        if (const std::optional<QString> text = ReadFailureText(versionFile, failure, target)) {
            showStepFailure(*text);
        } else {
            ErrorMessage();
        }
        return;
    case Kind::ReadFailed:
    case Kind::Malformed:
    case Kind::OtherKey:
    case Kind::Unverified:
    case Kind::LibraryFailed:
    case Kind::OlderRelease:
    case Kind::Expired:
    case Kind::Future:
        qCWarning(lcWizard, "%s: refused (%s): %s", logPrintable(url), host::KindName(failure.kind),
                  logPrintable(failure.detail));
        showStepFailure(RefusalText(versionFile, failure, result.release, DownloadFolder::NewestSignedAt()));
        return;
    }
}

void vcUPDATECTL::DownloadComplete(bool versionFile, const QString& localPath, const FetchJob::Result& result) {
    if (versionFile) {
        // A file that cannot drive an update is a failed check: nothing is
        // recorded, Next is not offered, and even a forced Next has no
        // package to fetch and no name to write outside the program folder.
        if (!result.published) {
            ErrorMessage(); // a fetch that read nothing; it never ends so
            return;
        }
        if (const std::optional<QString> problem = ReadVersionFile(*result.published)) {
            qCWarning(lcWizard, "%s: %s", logPrintable(mConfigFileURL), logPrintable(*problem));
            showStepFailure(*problem + kCheckFailed);
            return;
        }
        mServerVersionRecorded = modRWRegistry::SaveAppSetting(QStringLiteral("ServerVersion"), mServerVersion);
        if (mRelease) {
            // Later checks refuse what was signed before this; one signed far
            // ahead of this computer's clock was refused.
            mServerVersionRecorded = DownloadFolder::RecordSignedAt(mRelease->signedAt) && mServerVersionRecorded;
        }
        // Only the published release's package may be continued later.
        mFolder->keepOnlyPartOf(mUpdateFileName);
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
    mFolder->packageCompleted(mUpdateFileName, mServerVersion);
}

void vcUPDATECTL::ErrorMessage() {
    showStepFailure(mStep == 1 ? kVersionFailureText : kPackageFailureText);
}

// As a failed read leaves it, nothing else on the panel changes: the text
// goes to the step's progress label, which shows what fits; the whole text
// is its tool tip.
void vcUPDATECTL::showStepFailure(const QString& text) {
    mFailureText = text;
    QLabel* label = mStep == 1 ? lblPROGRESS : lblPROGRESSUPDATE;
    label->setText(text);
    label->setToolTip(text);
}

std::optional<QString> vcUPDATECTL::ReadVersionFile(const versionfile::Published& published) {
    mProductName = published.productName;
    mServerVersion = published.serverVersion;
    mUpdateURL = published.updateURL;
    mUpdateFileName = published.updateFileName;
    return published.problem;
}
