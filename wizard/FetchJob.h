#pragma once

#include "download/AsyncRead.h"
#include "wizard/Signing.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// What a build trusts when it fetches, and what it already knows.
struct FetchTrust {
    // The vendor's minisign public key lines. Empty: an unsigned build, which
    // takes files as the server sends them.
    QStringList keys;
    // The version file's own name: the edition a signed version file must be for.
    QString versionFileName;
    // The signing time of the newest version file accepted before (seconds
    // since 1970 UTC); an older one is refused.
    qint64 newestSignedAt = 0;
    // The present, as seconds since 1970 UTC, against which expiry is judged.
    qint64 now = 0;
    // A package fetch of a signed build: the release its version file named.
    std::optional<signing::Release> release;
};

// One fetch of the version file or the package, from start to end, without a
// window. A signed build fetches the version file with its signature beside
// it (its URL with ".minisig" added) and the package against the size and
// digest that signature named; an unsigned build fetches the file alone.
//
// Files are stored under a part file's name until they are proven, then take
// their name; the job's own files that were not proven go when it ends. A
// package's part may be continued by a later run: in a signed build only for
// the same signed release. The reader is shared: the job listens to the
// reads it started and to no other.
class FetchJob : public QObject {
    Q_OBJECT
public:
    // The version file and its signature must arrive whole within this time;
    // a package has no such bound, only the reader's floor on its rate.
    static constexpr std::chrono::milliseconds kVersionFileDeadline = std::chrono::minutes(2);

    enum class Kind { VersionFile, Package };
    enum class Phase {
        Ready,     // made, not started
        Reading,   // its reads are running
        Verifying, // every read is in; the file is being proven
        Finished,  // the result has been emitted
    };
    struct Result {
        // Nothing when the file is proven and stands under its name. A read
        // that failed keeps the reader's failure (Network, TooLarge,
        // NoSpace, WriteFailed); a file that arrived but is refused fails as
        // Unverified, OtherKey, Malformed, ReadFailed or LibraryFailed (not
        // what the vendor signed, or not the release it names), OlderRelease
        // (signed before the newest version file accepted) or Expired (its
        // signature's expiry time has passed); a proven file that cannot take
        // its name as WriteFailed.
        host::Outcome failure;
        // No failure: the size of the stored file.
        qint64 size = 0;
        // A version file of a signed build: the release its signature names
        // (also with OlderRelease and Expired, for the texts).
        std::optional<signing::Release> release;
    };

    // `reader` stays the caller's. `limit` caps the bytes the file may have;
    // a signed package is capped at its signed size as well.
    FetchJob(download::AsyncReader* reader, Kind kind, const QString& url, const QString& target, qint64 limit,
             FetchTrust trust, QObject* parent = nullptr);
    ~FetchJob() override;

    // Starts the reads. Returns why the file's read cannot start; then no
    // result follows. Otherwise `result` follows exactly once.
    std::optional<download::AsyncReadError> start();

    Kind kind() const { return mKind; }
    QString url() const { return mUrl; }
    QString target() const { return mTarget; }
    Phase phase() const { return mPhase; }

signals:
    // The file's progress, never its signature's. `bytesMax` is 0 while the
    // size is unknown. `resuming`: the transfer goes on after a dropped
    // connection, or continues a part an earlier run kept. `crawlRate`: the
    // rate in bytes a second while the transfer crawls, -1 otherwise.
    void progress(qint64 bytesRead, qint64 bytesMax, bool resuming, qint64 crawlRate);
    void result(const FetchJob::Result& result);

private:
    struct Read {
        QString path; // where the reader stores it
        bool done = false;
    };

    bool signedBuild() const { return !mTrust.keys.isEmpty(); }
    void onProgress(const download::AsyncProperty& property);
    void onComplete(const download::AsyncProperty& property);
    // A failed read of the file or its signature ends the job.
    void failRead(bool signature, const download::AsyncProperty& property);
    // Every read is in: prove the file and give it its name.
    void verify();
    Result verifyVersionFile();
    Result verifyPackage();
    // Emits the result, last: a receiver may destroy the job.
    void finish(Result outcome);

    download::AsyncReader* mReader;
    const Kind mKind;
    const QString mUrl;
    const QString mTarget;
    const qint64 mLimit;
    const FetchTrust mTrust;
    Phase mPhase = Phase::Ready;
    Read mFile;
    std::optional<Read> mSignature; // signed version files only
    qint64 mStoredSize = 0;
    QString mStored;            // where the file's content lies once read
    QByteArray mDigest;         // BLAKE2b-512 of the stored file, made as it arrived
    QByteArray mSignatureBytes; // the signature file's content
};

Q_DECLARE_METATYPE(FetchJob::Result)
