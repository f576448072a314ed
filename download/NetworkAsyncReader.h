#pragma once

#include "download/AsyncRead.h"
#include "download/DurableSteps.h"
#include "download/RateWatch.h"

#include <chrono>
#include <map>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace download {

// Reads http and https URLs into files with QNetworkAccessManager, on the
// thread that owns the reader (the user-interface thread). A read that asks
// for a digest starts a thread of its own, which hashes the chunks already
// stored while the next ones arrive. The end of a read, when its body is
// whole, runs on a worker thread: syncing the part file to the disk and
// waiting for the digest take seconds for a large package on a slow disk,
// and the window must not stand still meanwhile. Only the rename of the part
// file over the target comes back to the reader's thread, together with the
// completion, so that the target changes only when a completion says so.
//
// Every read asks the server for the newest copy (no cache), follows
// redirects except from https to http, takes the proxy from the system and
// never ignores a TLS error. It asks for the bytes as stored (no content
// coding), so that every length the server announces can be compared with
// what arrives.
//
// A body counts as whole only when its framing proves where it ends: a
// Content-Length met exactly, HTTP/1.1 chunked coding that reached its last
// chunk, or the end of an HTTP/2 stream. A read fails (completion with
// BytesMax 0) when the connection cannot be made, the server answers with a
// status other than 2xx, an HTTP/1.x body has neither a length nor chunked
// coding (its end cannot be told from a cut connection), the lengths
// announced conflict or cannot be read, the body comes in a content or
// transfer coding other than the plain bytes and chunked, fewer bytes arrive
// than announced, the body is empty, no byte arrives for `stallLimit`, or the
// content would exceed the read's maxBytes (TooLarge). A body without a
// length also fails as TooLarge before it leaves less free space in its
// folder's file system than 1 GiB or 5% of it, whichever is less.
//
// A transfer that brings less than the rate floor (RateWatch) over the last
// minute stalls as well, however often single bytes keep its link alive; it
// resumes as any stall does, and the fourth fails as TooSlow, naming the
// rate. While a transfer crawls, its progress carries its rate.
//
// The bytes go to a part file in the target's folder as they arrive, so
// memory stays flat whatever the size; the part file replaces the target,
// synced to the disk, only once the body is whole. An announced size beyond
// the folder's free space fails at once (NoSpace); a write that fails (a full
// disk, a removed folder) ends the read (WriteFailed, the system's reason).
// A failed or abandoned read leaves no part file and the target as it was.
//
// A transfer that drops, resets or stalls after some bytes goes on where it
// stopped, up to three times after pauses of one, two and four times the
// resume pause, when the first answer offered byte ranges and named its
// version (a strong ETag or Last-Modified). The server must then answer with
// exactly the rest of that same file, and prove it is that file: a 206 must
// carry the strong ETag the resume named, or its Last-Modified when the
// version is a date. One that sends the whole file instead has changed it;
// one that sends part of another version, or names none, is answered with a
// new request for the whole file. Either way the read starts over from byte 0
// once; a second time fails it. Progress of a resumed transfer carries the
// count of resumes.
//
// The digest covers exactly the bytes of the stored file: a resumed transfer
// goes on with the same hash, one that starts over starts it over too.
//
// A resumable read (AsyncReadOptions) keeps its part under a fixed name with
// a record beside it (KeptPart.h), syncs it in steps on a worker thread
// (DurableSteps), and leaves both when it is abandoned or fails on the way.
// A later read of the same address, file and release continues the part:
// its first progress reports the kept bytes at once, its digest is first
// made of the kept bytes on the digest's own thread, and its first request
// asks for the rest with Range and If-Range. An answer that does not
// continue the part (the file changed, another total, part of another
// version) discards it and the read starts over, with one log line saying
// why, as does a part that cannot be continued at all.
//
// Once the body is whole a last progress event reports its whole size, so a
// listener that remembers the last progress total sees the real size while
// the package goes to the disk; only the completion follows it.
//
// Several reads may run at once; their events carry their own PropertyName.
// Destroying the reader aborts the reads still running and no event of
// theirs follows; it may be destroyed from inside one of its own handlers.
// A resumable read keeps its part, and a last step records all of its bytes.
// A read whose end is still on its worker thread then finishes there alone:
// it removes its part file and leaves the target as it was, without waiting
// for the disk on the reader's thread.
class NetworkAsyncReader : public AsyncReader {
    Q_OBJECT
public:
    // A `stallLimit` of zero or less disables the stall watch.
    explicit NetworkAsyncReader(QObject* parent = nullptr,
                                std::chrono::milliseconds stallLimit = std::chrono::seconds(30));
    ~NetworkAsyncReader() override;

    std::optional<AsyncReadError> AsyncRead(const QString& target, const QString& propertyName, qint64 maxBytes,
                                            const AsyncReadOptions& options = {}) override;

    // Reads that have started and not yet completed, counting those whose
    // end is still being written to the disk.
    int runningReads() const { return int(mReads.size()); }

    // The pause before the first resume; each further one doubles it.
    void setResumePause(std::chrono::milliseconds pause) { mResumePause = pause; }
    // The floor under which a transfer crawls; the build sets its default.
    void setRateFloor(const RateWatch::Policy& policy) { mRatePolicy = policy; }
    // How often a resumable read's part is made durable.
    void setDurableSteps(const DurableSteps::Policy& policy) { mStepPolicy = policy; }

    // The rate floor a build gets: KELVANE_MIN_TRANSFER_RATE bytes a second.
    static RateWatch::Policy DefaultRateFloor();

private:
    struct Read;
    struct Ending;

    // Takes over the part an earlier run kept for this read, when it can be
    // continued; removes it, saying why, when it cannot.
    void adoptKeptPart(Read& read);
    // The first answer to a read that continues a kept part does not
    // continue it: logs why and empties the part.
    void discardKept(Read& read, const QString& why);
    void startAttempt(Read& read);
    void onMetaData(quint64 id, QNetworkReply* reply);
    void onReadyRead(quint64 id, QNetworkReply* reply);
    void onFinished(quint64 id, QNetworkReply* reply);

    // Why the current attempt's transfer broke off, in words.
    QString transferProblem(const Read& read, const QNetworkReply& reply) const;
    // The attempt ended before the body was whole: resumes the transfer when
    // `transient` allows it and the server can, fails the read otherwise.
    void attemptEnded(Read& read, const QString& problem, bool transient,
                      host::Failure::Kind kind = host::Failure::Kind::Network);
    // The attempt ended as the server meant it to: fails a body whose end
    // nothing proves or that is not the whole file, ends the read otherwise.
    void endOfBody(Read& read, const QNetworkReply& reply);

    // Checks status, range and announced size once the final response is
    // known, and opens the part file. False when the read has been completed
    // as failed or has gone on with a new request: the reply is no longer
    // its own.
    bool acceptHeaders(Read& read);
    // What a 2xx answer holds for the bytes already stored.
    enum class Answer {
        Whole,   // the whole file, from byte 0; nothing is stored
        Rest,    // exactly the rest of the stored bytes
        Dropped, // neither: the read has been completed or has made a new request
    };
    Answer classifyAnswer(Read& read, int status);
    // Takes the size and version of the first whole answer, checks the size
    // against the read's limit and the free space, and opens the part file.
    // False when the read has been completed as failed.
    bool acceptWholeFile(Read& read);
    // Fails the read as NoSpace when the folder has less than `bytes` free.
    bool roomFor(Read& read, qint64 bytes);
    // Empties the part file for a whole file, which may happen once per read.
    // False when the read has been completed as failed.
    bool emptyPartFile(Read& read);
    // Gives up the current reply, which holds part of another version of the
    // file, and asks for the whole file again. A read starts over `once`:
    // the second time it fails with `why`. Leaving a kept part does not
    // count.
    void requestWholeFile(Read& read, const host::Failure& why, bool once = true);
    // Checks a 206 against the bytes already stored and the first answer;
    // the reason when it does not continue them.
    host::Outcome continuationProblem(const Read& read) const;
    // Moves what the reply holds into the part file. False when the read has
    // been completed as failed.
    bool drain(Read& read);
    // A body without a length may store `bytes` more: fails the read as
    // TooLarge when they would leave less than the margin free.
    bool roomLeftAfter(Read& read, qint64 bytes);
    // True when the dropped transfer is tried again after a pause.
    bool resumeLater(Read& read);
    // Every tick: measures the rate of each transfer, stalls the ones that
    // crawl, and reports a crawl's rate.
    void onTick();
    // Makes the part durable and records it for a later run, or removes it.
    void keepOrRemove(Read& read, bool keep);
    // The part may be continued by a later run.
    bool keepable(const Read& read) const;
    // Emits progress when something changed since the last report.
    void reportProgress(Read& read);
    // Reports the progress of `read` as `bytesMax` in size.
    void emitProgress(Read& read, qint64 bytesMax);
    // Ends a read as failed at once: disposes of its reply and its part file,
    // then emits the completion. Emits last, so a handler may destroy the
    // reader.
    void fail(Read& read, host::Failure failure);
    void fail(Read& read, host::Failure::Kind kind, const QString& detail);
    // The body is whole: hands the part file and the digest to a worker that
    // makes them durable (the read is Finishing until it reports back), and
    // reports the whole size.
    void finish(Read& read);
    // On a worker thread: syncs the part file and waits for the digest, then
    // reports to the reader if it still exists; otherwise removes the part
    // file.
    static void endOffThread(const std::shared_ptr<Ending>& ending, quint64 id);
    // Back on the reader's thread: gives the part file the target's name
    // when the worker succeeded, then emits the completion.
    void ended(quint64 id, Ending& ending);
    // Logs the end of a read that is no longer tracked and emits its
    // completion; last, so a handler may destroy the reader.
    // `file` names where a whole read's content lies.
    void report(const Read& read, const host::Outcome& failure, const QByteArray& digest, const QString& file);
    // Stops tracking a read; null when it is not tracked.
    std::unique_ptr<Read> take(quint64 id);
    // Lets go of the current attempt's reply: none of its signals reaches the
    // reader any more.
    void dropReply(Read& read);
    // The read whose current attempt `reply` is; null for a stale reply.
    Read* find(quint64 id, QNetworkReply* reply);

    QNetworkAccessManager* mManager;
    std::chrono::milliseconds mStallLimit;
    std::chrono::milliseconds mResumePause = std::chrono::seconds(1);
    RateWatch::Policy mRatePolicy = DefaultRateFloor();
    DurableSteps::Policy mStepPolicy;
    QTimer* mTicker; // runs while a read is running
    std::map<quint64, std::unique_ptr<Read>> mReads;
    QByteArray mChunk; // what one drain moves at a time, shared by the reads
    quint64 mLastReadId = 0;
};

} // namespace download
