#pragma once

#include "host/Failure.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

namespace download {

struct AsyncProperty {
    // Bytes received so far.
    qint64 BytesRead = 0;
    // Progress: the announced size, or 0 while it is unknown. Completion: the
    // size of the stored file, or 0 for a failed read.
    qint64 BytesMax = 0;
    // The name given to AsyncRead: the path of the local file.
    QString PropertyName;
    // Completion only: the file that now holds the whole content (the
    // PropertyName), or empty for a failed read.
    QString File;
    // How often the transfer has been resumed after a dropped connection; a
    // progress event with a count above 0 belongs to a resumed transfer.
    int Resumes = 0;
    // The bytes this read took over from a part that an earlier run kept;
    // above 0, the read continues that run's download.
    qint64 Kept = 0;
    // Progress only: the rate over the last minute, in bytes a second, when
    // the transfer crawls (a few times its floor or less); -1 otherwise.
    qint64 CrawlRate = -1;
    // Completion only: why the read failed, or nothing when it succeeded. The
    // kinds a read fails with: Network (no connection, an HTTP error status, a
    // cut-off or stalled transfer, an end nothing proves, an empty body, TLS),
    // TooSlow (a transfer that crawled under its floor once too often, or a
    // read that did not end within its deadline), TooLarge (more bytes than
    // the read may hold, announced or received, or than a body without a
    // length may take of the disk),
    // NoSpace (the announced size does not fit in the free space of the
    // target's folder) and WriteFailed (the bytes could not be stored: a full
    // disk, the folder removed, the target in the way). The detail names the
    // folder or file and the system's or the server's reason.
    host::Outcome Failure;
    // Completion only, when the read asked for it: the BLAKE2b-512 digest
    // (64 bytes) of the stored file, exactly as it lies on the disk. Empty
    // otherwise and for a failed read.
    QByteArray Digest;
};

// What a read does besides storing the content.
struct AsyncReadOptions {
    // Hash the content as it is stored: AsyncProperty::Digest.
    bool digest = false;
    // The read may be continued by a later run: its part file has a fixed
    // name and a record beside it (KeptPart.h), is synced to the disk in
    // steps, and stays when the read is abandoned or fails on the way; a read
    // of the same address and file continues it. The part goes when the read
    // ends whole, or fails for a reason a later run cannot mend.
    bool resumable = false;
    // With `resumable`: what the content must be, for a caller that knows
    // (a signed release). A kept part recorded for another release is not
    // continued.
    QByteArray release;
    // The completion leaves the whole content under its part file's name,
    // synced, for the caller to prove and then name, or remove: the target
    // never holds content that has not been proven. AsyncProperty::File
    // names the part file.
    bool unproven = false;
    // The whole read must end within this time, or fails as TooSlow; zero
    // leaves it unbounded (the rate floor still holds).
    std::chrono::milliseconds deadline{0};
};

// A read that could not even be started: a number and a description.
struct AsyncReadError {
    int Number = 0;
    QString Description;
};

// The numbers an AsyncReadError carries. They stay stable, since they are
// shown to the user in a message box and may be quoted back to support.
namespace AsyncReadErrorNumber {
constexpr int EmptyTarget = 1001;       // no address at all
constexpr int MalformedTarget = 1002;   // not an absolute URL with a host
constexpr int UnsupportedScheme = 1003; // anything but http and https
constexpr int InvalidLimit = 1004;      // maxBytes below one byte: nothing could ever be held
} // namespace AsyncReadErrorNumber

// Parses `target` the way a browser reads an address typed or pasted: blanks
// and control characters at either end are dropped, tabs and line breaks
// inside are removed, and characters a URL cannot hold as they stand (a
// blank inside the path, say) are percent-encoded. Returns the URL, or why it
// can never be downloaded: empty, not absolute, a scheme other than http and
// https, or no server.
struct ParsedTarget {
    QUrl url;
    std::optional<AsyncReadError> error;
};
ParsedTarget ParseTarget(const QString& target);

// Why a request can never be read, or nothing: ParseTarget's verdict, and a
// limit below one byte.
std::optional<AsyncReadError> CheckRequest(const QString& target, qint64 maxBytes);

// One download of a URL into a file, from its start to its end: a job with
// a KJob's contract. start() only schedules the work and returns; every
// outcome, a request that cannot start included, comes as the one `result`
// (a second one is a programming error). kill() ends a job that is no longer
// wanted, without a result. The job deletes itself after its result or its
// kill unless told otherwise (setAutoDelete(false)); destroying it aborts
// the work as a kill does.
class Transfer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QString target;       // the URL, as AsyncRead takes it
        QString propertyName; // the file the content goes to
        qint64 maxBytes = 0;  // the most it may hold
        AsyncReadOptions options;
    };

    explicit Transfer(Request request, QObject* parent = nullptr);
    ~Transfer() override;

    void start();
    // Ends the work at once; no result follows. A resumable download keeps
    // its part for a later run, as an abandoned one does.
    void kill();
    void setAutoDelete(bool autoDelete) { mAutoDelete = autoDelete; }
    bool isFinished() const { return mFinished; }

    const Request& request() const { return mRequest; }
    // Once finished: what the job stored, or why it failed, as a completion
    // (AsyncProperty::Failure is NotStarted, with its number as the code,
    // for a request that could not start).
    const AsyncProperty& outcome() const { return mOutcome; }

signals:
    void progress(download::Transfer* job, const download::AsyncProperty& property);
    void result(download::Transfer* job);

protected:
    // The request is usable: the work begins; `url` is the parsed target.
    virtual void doStart(const QUrl& url) = 0;
    // Stops the work; no result may follow.
    virtual void doKill() = 0;
    // Both emit last: a receiver may destroy the job. Their PropertyName is
    // the request's.
    void emitProgress(AsyncProperty property);
    void emitResult(AsyncProperty outcome);

private:
    void begin();
    void done();

    const Request mRequest;
    AsyncProperty mOutcome;
    bool mStarted = false;
    bool mFinished = false;
    bool mAutoDelete = true;
};

} // namespace download

// Lets the events travel through QVariant, QSignalSpy and queued connections.
Q_DECLARE_METATYPE(download::AsyncProperty)
