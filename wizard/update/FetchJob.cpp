#include "wizard/update/FetchJob.h"

#include "download/PartFile.h"

#include <QFile>
#include <QMetaObject>

#include <algorithm>

namespace {

QString Quoted(const QByteArray& text) {
    return QLatin1Char('"') + QString::fromUtf8(text) + QLatin1Char('"');
}

using FailureKind = host::Failure::Kind;

FetchJob::Result Refused(FailureKind kind, const QString& detail,
                         const std::optional<signing::Release>& release = std::nullopt) {
    FetchJob::Result result;
    result.failure = host::Failure{kind, detail};
    result.release = release;
    return result;
}

FetchJob::Result Refused(const host::Failure& failure) {
    FetchJob::Result result;
    result.failure = failure;
    return result;
}

} // namespace

FetchJob::FetchJob(download::AsyncReader* reader, Kind kind, const QString& url, const QString& target, qint64 limit,
                   FetchTrust trust, QObject* parent)
    : QObject(parent), mReader(reader), mKind(kind), mUrl(url), mTarget(target), mLimit(limit),
      mTrust(std::move(trust)) {}

// Transfers still running go with the fetch, as a kill leaves them.
FetchJob::~FetchJob() {
    for (const QPointer<download::Transfer>& job : mSubjobs) {
        if (job) {
            job->kill();
        }
    }
}

void FetchJob::start() {
    Q_ASSERT(mPhase == Phase::Ready);
    mPhase = Phase::Reading;
    download::AsyncReadOptions options;
    qint64 limit = mLimit;
    if (mKind == Kind::Package) {
        // A package can be large: a later run continues what this one got.
        options.resumable = true;
    } else {
        // Read where it lies, once, and removed.
        options.unproven = true;
        options.deadline = kVersionFileDeadline;
    }
    if (signedBuild()) {
        options.digest = true;
        options.unproven = true; // proven files only ever stand under their names
        if (mKind == Kind::Package && mTrust.release) {
            limit = std::min(limit, mTrust.release->packageSize);
            // A kept part is continued only for the same signed release.
            options.release = "size " + QByteArray::number(mTrust.release->packageSize) + " blake2b " +
                              mTrust.release->packageDigest.toHex();
        }
    }
    mFile = mReader->transfer(mUrl, mTarget, limit, options);
    addSubjob(mFile);
    if (signedBuild() && mKind == Kind::VersionFile) {
        // The signature lies beside the file: its URL with ".minisig" added.
        const download::ParsedTarget parsed = download::ParseTarget(mUrl);
        if (!parsed.error) {
            QUrl signatureUrl = parsed.url;
            signatureUrl.setPath(signatureUrl.path() + QStringLiteral(".minisig"));
            download::AsyncReadOptions signatureOptions;
            signatureOptions.unproven = true;
            signatureOptions.deadline = kVersionFileDeadline;
            mSignature = mReader->transfer(signatureUrl.toString(), mTarget + QStringLiteral(".minisig"),
                                           signing::kMaxSignatureBytes, signatureOptions);
            addSubjob(mSignature);
        }
    }
    for (const QPointer<download::Transfer>& job : QList<QPointer<download::Transfer>>(mSubjobs)) {
        if (job) {
            job->start();
        }
    }
}

void FetchJob::addSubjob(download::Transfer* job) {
    mSubjobs.append(job);
    connect(job, &download::Transfer::progress, this, &FetchJob::onProgress);
    connect(job, &download::Transfer::result, this, &FetchJob::slotResult);
}

void FetchJob::kill() {
    if (mPhase == Phase::Finished) {
        return;
    }
    mPhase = Phase::Finished;
    for (const QPointer<download::Transfer>& job : std::exchange(mSubjobs, {})) {
        if (job) {
            job->kill();
        }
    }
    removeUnproven();
    if (mAutoDelete) {
        deleteLater();
    }
}

void FetchJob::onProgress(download::Transfer* job, const download::AsyncProperty& property) {
    if (mPhase != Phase::Reading || job != mFile) {
        return;
    }
    qint64 bytesMax = property.BytesMax;
    if (bytesMax == 0 && mKind == Kind::Package && signedBuild() && mTrust.release) {
        bytesMax = mTrust.release->packageSize; // the signed size, where the server announces none
    }
    emit progress(property.BytesRead, bytesMax, property.Resumes > 0 || property.Kept > 0, property.CrawlRate);
}

void FetchJob::slotResult(download::Transfer* job) {
    mSubjobs.removeAll(job);
    if (mPhase != Phase::Reading) {
        return;
    }
    const download::AsyncProperty& outcome = job->outcome();
    const bool signature = job == mSignature;
    if (outcome.Failure) {
        finish(readFailure(signature, outcome));
        return;
    }
    if (!signature) {
        mStored = outcome.File;
        mStoredSize = outcome.BytesMax;
        mDigest = outcome.Digest;
    } else {
        QFile stored(outcome.File);
        const bool opened = stored.open(QIODevice::ReadOnly);
        mSignatureBytes = opened ? stored.read(signing::kMaxSignatureBytes + 1) : QByteArray();
        const QString reason = stored.errorString();
        const bool read = opened && stored.error() == QFileDevice::NoError;
        stored.close();
        QFile::remove(outcome.File);
        if (!read) {
            finish(Refused(FailureKind::ReadFailed, QStringLiteral("its signature cannot be read back: ") + reason));
            return;
        }
    }
    if (mSubjobs.isEmpty()) {
        // Proven apart from the transfers' own events, so that a receiver
        // sees the job verifying.
        mPhase = Phase::Verifying;
        QMetaObject::invokeMethod(this, &FetchJob::verify, Qt::QueuedConnection);
    }
}

FetchJob::Result FetchJob::readFailure(bool signature, const download::AsyncProperty& outcome) const {
    const host::Failure& failure = *outcome.Failure;
    if (signature) {
        return Refused(FailureKind::Unverified,
                       failure.kind == FailureKind::TooLarge
                           ? QStringLiteral("its signature is larger than 4 KiB")
                           : QStringLiteral("its signature could not be downloaded (%1)").arg(failure.detail));
    }
    if (mKind == Kind::Package && signedBuild() && failure.kind == FailureKind::TooLarge) {
        return Refused(FailureKind::Unverified,
                       QStringLiteral("the server sent more than the %1 bytes that the version file's signature "
                                      "names for it")
                           .arg(mTrust.release ? mTrust.release->packageSize : 0));
    }
    return Refused(failure);
}

void FetchJob::verify() {
    if (mPhase != Phase::Verifying) {
        return;
    }
    if (mKind == Kind::Package) {
        Result proven;
        proven.size = mStoredSize;
        if (signedBuild()) {
            proven = verifyPackage();
            if (!proven.failure) {
                if (const host::Outcome error = download::ReplaceFile(mStored, mTarget)) {
                    proven = Refused(*error);
                } else {
                    mStored = mTarget;
                }
            }
        }
        finish(proven);
        return;
    }
    // The version file is read once, where it lies, and goes.
    QFile file(mStored);
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray bytes = opened ? file.readAll() : QByteArray();
    if (!opened || file.error() != QFileDevice::NoError) {
        finish(Refused(FailureKind::WriteFailed,
                       QStringLiteral("the stored copy cannot be read back: ") + file.errorString()));
        return;
    }
    file.close();
    const versionfile::Text text = versionfile::Decode(bytes);
    Result read = signedBuild() ? verifyVersionFile(text) : Result();
    if (!read.failure) {
        read.size = mStoredSize;
        read.published = versionfile::Interpret(text);
    }
    finish(read);
}

FetchJob::Result FetchJob::verifyVersionFile(const versionfile::Text& text) {
    const signing::Verified verified = signing::Check(mTrust.keys, mSignatureBytes, mStored, mDigest);
    if (verified.failure) {
        return Refused(*verified.failure);
    }
    const signing::ParsedRelease parsed = signing::ParseRelease(verified.trustedComment);
    if (parsed.failure) {
        return Refused(*parsed.failure);
    }
    const signing::Release& release = parsed.release;
    if (release.file != mTrust.versionFileName.toUtf8()) {
        return Refused(FailureKind::Unverified,
                       QStringLiteral("it was signed as %1, not as %2")
                           .arg(Quoted(release.file), Quoted(mTrust.versionFileName.toUtf8())));
    }
    // Byte for byte, whatever the code page the lines are read in.
    const QByteArray product = text.raw.value(0);
    const QByteArray version = text.raw.value(1);
    if (product != release.product) {
        return Refused(FailureKind::Unverified, QStringLiteral("its product line %1 is not the signed product %2")
                                                    .arg(Quoted(product), Quoted(release.product)));
    }
    if (version != release.version) {
        return Refused(FailureKind::Unverified, QStringLiteral("its version line %1 is not the signed version %2")
                                                    .arg(Quoted(version), Quoted(release.version)));
    }
    // A signing time far ahead of the clock would be stored, and refuse every
    // release signed after this one until that time: a rollback made by one
    // wrong clock, or one stolen key.
    if (release.signedAt > mTrust.now + kMaxClockAheadSeconds) {
        return Refused(FailureKind::Future,
                       QStringLiteral("signed at %1, more than a day after this computer's clock (%2)")
                           .arg(release.signedAt)
                           .arg(mTrust.now),
                       release);
    }
    if (release.signedAt < mTrust.newestSignedAt) {
        return Refused(FailureKind::OlderRelease,
                       QStringLiteral("signed at %1, before %2, the newest accepted")
                           .arg(release.signedAt)
                           .arg(mTrust.newestSignedAt),
                       release);
    }
    if (release.expiresAt && mTrust.now > *release.expiresAt) {
        return Refused(
            FailureKind::Expired,
            QStringLiteral("its signature expired at %1; it is now %2").arg(*release.expiresAt).arg(mTrust.now),
            release);
    }
    Result done;
    done.release = release;
    return done;
}

FetchJob::Result FetchJob::verifyPackage() {
    if (!mTrust.release) {
        return Refused(FailureKind::Unverified, QStringLiteral("no signed version file names it"));
    }
    const signing::Release& release = *mTrust.release;
    if (mStoredSize != release.packageSize) {
        return Refused(FailureKind::Unverified,
                       QStringLiteral("it has %1 bytes, not the %2 bytes that the version file's "
                                      "signature names")
                           .arg(mStoredSize)
                           .arg(release.packageSize));
    }
    if (mDigest != release.packageDigest) {
        return Refused(FailureKind::Unverified, QStringLiteral("its content is not the package that the version file's "
                                                               "signature names (its BLAKE2b-512 digest differs)"));
    }
    Result done;
    done.size = mStoredSize;
    return done;
}

void FetchJob::removeUnproven() {
    // What a fetch read but did not prove never stays: it only ever stood
    // under a part file's name. A version file goes once it is read.
    if (!mStored.isEmpty() && mStored != mTarget) {
        QFile::remove(mStored);
    }
}

void FetchJob::finish(Result outcome) {
    Q_ASSERT(mPhase != Phase::Finished); // one result
    mPhase = Phase::Finished;
    for (const QPointer<download::Transfer>& job : std::exchange(mSubjobs, {})) {
        if (job) {
            job->kill();
        }
    }
    if (outcome.failure || mKind == Kind::VersionFile) {
        removeUnproven();
    }
    const QPointer<FetchJob> alive(this);
    emit result(outcome);
    if (alive && mAutoDelete) {
        deleteLater();
    }
}
