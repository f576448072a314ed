#include "wizard/FetchJob.h"

#include "download/PartFile.h"
#include "wizard/VersionFile.h"

#include <QFile>
#include <QFileInfo>
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

// A part file's path in `folder` other than `taken`.
QString NewPartFilePathBesides(const QString& folder, const QString& taken) {
    QString path;
    do {
        path = download::NewPartFilePath(folder);
    } while (path == taken);
    return path;
}

} // namespace

FetchJob::FetchJob(download::AsyncReader* reader, Kind kind, const QString& url, const QString& target, qint64 limit,
                   FetchTrust trust, QObject* parent)
    : QObject(parent), mReader(reader), mKind(kind), mUrl(url), mTarget(target), mLimit(limit),
      mTrust(std::move(trust)) {
    connect(mReader, &download::AsyncReader::AsyncReadProgress, this, &FetchJob::onProgress);
    connect(mReader, &download::AsyncReader::AsyncReadComplete, this, &FetchJob::onComplete);
}

// Reads still running store their files later; a part file among them is a
// leftover that the next copy to take the folder removes.
FetchJob::~FetchJob() = default;

std::optional<download::AsyncReadError> FetchJob::start() {
    Q_ASSERT(mPhase == Phase::Ready);
    download::AsyncReadOptions options;
    if (mKind == Kind::Package) {
        // A package can be large: a later run continues what this one got.
        options.resumable = true;
    } else {
        options.deadline = kVersionFileDeadline;
    }
    if (!signedBuild()) {
        mFile.path = mTarget;
        const std::optional<download::AsyncReadError> error = mReader->AsyncRead(mUrl, mTarget, mLimit, options);
        if (!error) {
            mPhase = Phase::Reading;
        }
        return error;
    }
    // Proven files only ever stand under their names.
    const QString folder = QFileInfo(mTarget).absolutePath();
    qint64 limit = mLimit;
    options.digest = true;
    if (mKind == Kind::Package) {
        // Read under the part's name until its size and digest are proven,
        // and continued only for the same release.
        mFile.path = mTarget;
        options.unproven = true;
        if (mTrust.release) {
            limit = std::min(limit, mTrust.release->packageSize);
            options.release = "size " + QByteArray::number(mTrust.release->packageSize) + " blake2b " +
                              mTrust.release->packageDigest.toHex();
        }
    } else {
        mFile.path = download::NewPartFilePath(folder);
    }
    if (const std::optional<download::AsyncReadError> error = mReader->AsyncRead(mUrl, mFile.path, limit, options)) {
        return error;
    }
    mPhase = Phase::Reading;
    if (mKind == Kind::Package) {
        return std::nullopt; // proven by what its version file's signature names
    }
    // The signature lies beside the file: its URL with ".minisig" added.
    QUrl signatureUrl = download::ParseTarget(mUrl).url;
    signatureUrl.setPath(signatureUrl.path() + QStringLiteral(".minisig"));
    mSignature = Read{NewPartFilePathBesides(folder, mFile.path)};
    download::AsyncReadOptions signatureOptions;
    signatureOptions.deadline = kVersionFileDeadline;
    if (const std::optional<download::AsyncReadError> error = mReader->AsyncRead(
            signatureUrl.toString(), mSignature->path, signing::kMaxSignatureBytes, signatureOptions)) {
        // The file's read runs: the result comes later, as it always does.
        mSignature->done = true;
        const QString detail = QStringLiteral("its signature cannot be downloaded: ") + error->Description;
        QMetaObject::invokeMethod(
            this, [this, detail] { finish(Refused(FailureKind::Unverified, detail)); }, Qt::QueuedConnection);
    }
    return std::nullopt;
}

void FetchJob::onProgress(const download::AsyncProperty& property) {
    if (mPhase != Phase::Reading || property.PropertyName != mFile.path) {
        return;
    }
    qint64 bytesMax = property.BytesMax;
    if (bytesMax == 0 && mKind == Kind::Package && signedBuild() && mTrust.release) {
        bytesMax = mTrust.release->packageSize; // the signed size, where the server announces none
    }
    emit progress(property.BytesRead, bytesMax, property.Resumes > 0 || property.Kept > 0, property.CrawlRate);
}

void FetchJob::onComplete(const download::AsyncProperty& property) {
    const bool file = property.PropertyName == mFile.path;
    const bool signature = mSignature && property.PropertyName == mSignature->path;
    if (!file && !signature) {
        return;
    }
    if (mPhase != Phase::Reading) {
        // A late read of a job that has ended leaves nothing behind.
        if (!property.File.isEmpty()) {
            QFile::remove(property.File);
        }
        return;
    }
    (file ? mFile : *mSignature).done = true;
    if (property.BytesMax == 0) {
        failRead(signature, property);
        return;
    }
    if (file) {
        mStoredSize = property.BytesMax;
        mDigest = property.Digest;
        mStored = property.File;
    } else {
        QFile stored(mSignature->path);
        const bool opened = stored.open(QIODevice::ReadOnly);
        mSignatureBytes = opened ? stored.read(signing::kMaxSignatureBytes + 1) : QByteArray();
        const QString reason = stored.errorString();
        const bool read = opened && stored.error() == QFileDevice::NoError;
        stored.close();
        QFile::remove(mSignature->path);
        if (!read) {
            finish(Refused(FailureKind::ReadFailed, QStringLiteral("its signature cannot be read back: ") + reason));
            return;
        }
    }
    if (mFile.done && (!mSignature || mSignature->done)) {
        verify();
    }
}

void FetchJob::failRead(bool signature, const download::AsyncProperty& property) {
    if (signature) {
        finish(
            Refused(FailureKind::Unverified,
                    property.Failure->kind == FailureKind::TooLarge
                        ? QStringLiteral("its signature is larger than 4 KiB")
                        : QStringLiteral("its signature could not be downloaded (%1)").arg(property.Failure->detail)));
        return;
    }
    if (mKind == Kind::Package && signedBuild() && property.Failure->kind == FailureKind::TooLarge) {
        finish(
            Refused(FailureKind::Unverified, QStringLiteral("the server sent more than the %1 bytes that the version "
                                                            "file's signature names for it")
                                                 .arg(mTrust.release ? mTrust.release->packageSize : 0)));
        return;
    }
    finish(Refused(*property.Failure));
}

void FetchJob::verify() {
    mPhase = Phase::Verifying;
    if (!signedBuild()) {
        Result done;
        done.size = mStoredSize;
        finish(done);
        return;
    }
    Result proven = mKind == Kind::VersionFile ? verifyVersionFile() : verifyPackage();
    if (!proven.failure) {
        if (const host::Outcome error = download::ReplaceFile(mStored, mTarget)) {
            proven = Refused(*error);
        }
    }
    finish(proven);
}

FetchJob::Result FetchJob::verifyVersionFile() {
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
    // Byte for byte, whatever the code page the lines are later read in.
    QFile file(mStored);
    if (!file.open(QIODevice::ReadOnly)) {
        return Refused(FailureKind::WriteFailed, file.errorString());
    }
    const QStringList lines = versionfile::SplitLines(QString::fromLatin1(file.readAll()));
    const QByteArray product = lines.value(0).toLatin1();
    const QByteArray version = lines.value(1).toLatin1();
    if (product != release.product) {
        return Refused(FailureKind::Unverified, QStringLiteral("its product line %1 is not the signed product %2")
                                                    .arg(Quoted(product), Quoted(release.product)));
    }
    if (version != release.version) {
        return Refused(FailureKind::Unverified, QStringLiteral("its version line %1 is not the signed version %2")
                                                    .arg(Quoted(version), Quoted(release.version)));
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
    done.size = mStoredSize;
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

void FetchJob::finish(Result outcome) {
    if (mPhase == Phase::Finished) {
        return;
    }
    mPhase = Phase::Finished;
    // A file that was not proven never stays: it only ever stood under a part
    // file's name.
    if (signedBuild() && outcome.failure && !mStored.isEmpty()) {
        QFile::remove(mStored);
    }
    emit result(outcome);
}
