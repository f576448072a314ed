#pragma once

#include "download/AsyncRead.h"
#include "wizard/update/Signing.h"
#include "wizard/update/VersionFile.h"

#include <QList>
#include <QObject>
#include <QPointer>
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
    // The present, as seconds since 1970 UTC, against which expiry and a
    // signing time ahead of the clock are judged.
    qint64 now = 0;
    // A package fetch of a signed build: the release its version file named.
    std::optional<signing::Release> release;
};

// One fetch of the version file or the package, from start to end, without a
// window: a job with a KJob's contract over the transfers it is made of
// (a KCompositeJob): the file, and in a signed build the version file's
// signature beside it (its URL with ".minisig" added). Each transfer is its
// own job, known by the object, never by a path.
//
// start() only starts the transfers; every outcome, a request that cannot
// start included, comes as the one `result`. kill() ends a fetch that is no
// longer wanted, without a result. The job deletes itself after its result
// or its kill unless told otherwise (setAutoDelete(false)).
//
// Content that must be proven stays under its part file's name until it is:
// a version file's is read there, once, and removed; a package takes its name
// with one rename once the signed size and digest match (in an unsigned
// build the transfer names it). A package's part may be continued by a later
// run, in a signed build only for the same signed release.
class FetchJob : public QObject {
    Q_OBJECT
public:
    // The version file and its signature must arrive whole within this time;
    // a package has no such bound, only the reader's floor on its rate.
    static constexpr std::chrono::milliseconds kVersionFileDeadline = std::chrono::minutes(2);
    // A version file signed further ahead of this computer's clock is refused.
    static constexpr qint64 kMaxClockAheadSeconds = 24 * 60 * 60;

    enum class Kind { VersionFile, Package };
    enum class Phase {
        Ready,     // made, not started
        Reading,   // its transfers are running
        Verifying, // every transfer is in; the file is being proven
        Finished,  // the result has been emitted, or the job was killed
    };
    struct Result {
        // Nothing when the file is proven and stands under its name (a
        // package) or has been read (a version file). A transfer that could
        // not start fails as NotStarted, with its number as the code; one
        // that failed keeps the reader's failure (Network, TooSlow,
        // TooLarge, NoSpace, WriteFailed); a file that arrived but is refused
        // fails as Unverified, OtherKey, Malformed, ReadFailed or
        // LibraryFailed (not what the vendor signed, or not the release it
        // names), OlderRelease (signed before the newest version file
        // accepted), Expired (its signature's expiry time has passed) or
        // Future (signed more than a day ahead of this computer's clock); a
        // proven package that cannot take its name as WriteFailed.
        host::Outcome failure;
        // No failure: the size of the file.
        qint64 size = 0;
        // A version file of a signed build: the release its signature names
        // (also with OlderRelease, Expired and Future, for the texts).
        std::optional<signing::Release> release;
        // A version file that arrived and was proven: what it says, read
        // once, with `published->problem` when it cannot drive an update.
        std::optional<versionfile::Published> published;
    };

    // `reader` stays the caller's. `limit` caps the bytes the file may have;
    // a signed package is capped at its signed size as well.
    FetchJob(download::AsyncReader* reader, Kind kind, const QString& url, const QString& target, qint64 limit,
             FetchTrust trust, QObject* parent = nullptr);
    ~FetchJob() override;

    void start();
    // Ends the fetch at once; no result follows. A package's part stays for
    // a later run; nothing else of the fetch's is left.
    void kill();
    void setAutoDelete(bool autoDelete) { mAutoDelete = autoDelete; }

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
    bool signedBuild() const { return !mTrust.keys.isEmpty(); }
    void addSubjob(download::Transfer* job);
    void onProgress(download::Transfer* job, const download::AsyncProperty& property);
    void slotResult(download::Transfer* job);
    // A transfer that failed ends the job.
    Result readFailure(bool signature, const download::AsyncProperty& outcome) const;
    // Every transfer is in: prove the file, read it or give it its name.
    void verify();
    Result verifyVersionFile(const versionfile::Text& text);
    Result verifyPackage();
    // Emits the result, last: a receiver may destroy the job.
    void finish(Result outcome);
    void removeUnproven();

    download::AsyncReader* mReader;
    const Kind mKind;
    const QString mUrl;
    const QString mTarget;
    const qint64 mLimit;
    const FetchTrust mTrust;
    Phase mPhase = Phase::Ready;
    bool mAutoDelete = true;
    QPointer<download::Transfer> mFile;
    QPointer<download::Transfer> mSignature;      // signed version files only
    QList<QPointer<download::Transfer>> mSubjobs; // those still running
    QString mStored;                              // where the file's content lies once read
    qint64 mStoredSize = 0;
    QByteArray mDigest;         // BLAKE2b-512 of the stored file, made as it arrived
    QByteArray mSignatureBytes; // the signature file's content
};

Q_DECLARE_METATYPE(FetchJob::Result)
