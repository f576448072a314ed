#pragma once

#include "download/DurableSteps.h"
#include "download/RateWatch.h"
#include "download/Transfer.h"
#include "download/TransferFile.h"

#include <QElapsedTimer>

#include <chrono>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace download {

class TransferEnd;

// One transfer over http or https with QNetworkAccessManager, on the thread
// that owns the job; what NetworkAsyncReader documents for a read holds for
// it. Its network side lives here: attempts, answers, resumes, the rate
// floor and the deadline; its disk side is its TransferFile.
class NetworkTransfer : public Transfer {
    Q_OBJECT
public:
    struct Settings {
        std::chrono::milliseconds stallLimit{30000}; // zero or less: no stall watch
        std::chrono::milliseconds resumePause{1000}; // before the first resume; each further one doubles it
        RateWatch::Policy rate;
        DurableSteps::Policy steps;
    };

    NetworkTransfer(QNetworkAccessManager* manager, Request request, const Settings& settings,
                    QObject* parent = nullptr);
    // A job destroyed before its result is abandoned, as a kill leaves it.
    ~NetworkTransfer() override;

protected:
    void doStart(const QUrl& url) override;
    void doKill() override;

private:
    // Where the job stands now. What happened on the way (resumes, a start
    // over) is history, kept in counters of its own.
    enum class Phase {
        Ready,      // not started
        Requesting, // a request is out; no 2xx answer has been taken yet (a redirect, no status so far)
        Receiving,  // a 2xx answer was taken: its body goes into the part file
        Pausing,    // the transfer dropped; the next attempt waits for its pause to end
        Finishing,  // the body is whole; a worker makes the part file durable
        Ended,      // the result has been emitted, or the job was killed
    };

    void startAttempt();
    void onMetaData(QNetworkReply* reply);
    void onReadyRead(QNetworkReply* reply);
    void onFinished(QNetworkReply* reply);
    // Acts on the answer once its final headers are known (see http::Judge)
    // and opens the part file. False when the job has ended or has gone on
    // with a new request: the reply is no longer its own.
    bool acceptHeaders();
    // Checks the free space for a whole answer and opens the part file.
    bool acceptWholeFile();
    // Empties the part for a whole answer; false when the job has ended.
    bool emptyPart();
    // Gives up the current reply, which holds part of another version of the
    // file, and asks for the whole file again. A job starts over `once`: the
    // second time it fails with `why`. Leaving a kept part does not count.
    void requestWholeFile(const host::Failure& why, bool once = true);
    // Fails the job as NoSpace when the folder has less than `bytes` free.
    bool roomFor(qint64 bytes);
    // Moves what the reply holds into the part file; false when the job ended.
    bool drain();
    // The attempt ended before the body was whole: resumes when `transient`
    // allows it and the server can, fails the job otherwise.
    void attemptEnded(const QString& problem, bool transient, host::Failure::Kind kind = host::Failure::Kind::Network);
    // The attempt ended as the server meant it to: fails a body whose end
    // nothing proves or that is not the whole file, ends the job otherwise.
    void endOfBody(const QNetworkReply& reply);
    // True when the dropped transfer is tried again after a pause.
    bool resumeLater();
    // Every tick: measures the rate, stalls a crawl and reports its rate.
    void onTick();
    void reportProgress();
    void emitProgressOf(qint64 bytesMax);
    // Ends the job as failed at once: its reply and its part go (the part is
    // kept where a later run can mend the failure), then the result.
    void fail(host::Failure failure);
    void fail(host::Failure::Kind kind, const QString& detail);
    // The body is whole: a worker makes the part durable, then ended().
    void finish();
    void ended();
    // Logs the end and emits the result, last: a receiver may destroy the job.
    void report(const host::Outcome& failure, const QByteArray& digest, const QString& file);
    // Lets go of the current attempt's reply: none of its signals reaches
    // the job any more.
    void dropReply();
    // Stops everything running and leaves the part as a kill leaves it.
    void abandon();

    QNetworkAccessManager* mManager;
    const Settings mSettings;
    Phase mPhase = Phase::Ready;
    QNetworkReply* mReply = nullptr; // the current attempt's, while Requesting or Receiving
    QString mAddress;                // the address as asked for: what a kept part's record names
    QUrl mUrl;                       // where the next attempt goes: the address the first whole answer came from
    TransferFile mFile;
    std::shared_ptr<TransferEnd> mEnd; // while Finishing
    qint64 mTotal = -1;                // the length the first whole answer announced, -1 when none
    QByteArray mValidator;             // If-Range of a resume; empty: the server offered none
    int mResumes = 0;
    bool mRestarted = false; // the job has once started over from byte 0
    bool mFromKept = false;  // the next answer must continue a part an earlier run kept
    QTimer* mTicker;         // measures the rate while the job runs

    // The current attempt.
    qint64 mOffset = 0;     // where its bytes go in the file: the range it asked for
    qint64 mAnnounced = -1; // its Content-Length, -1 while unknown
    bool mChunked = false;  // it came in HTTP/1.1 chunked coding
    qint64 mReceived = 0;   // body bytes it brought
    RateWatch mRate;
    qint64 mCrawlRate = -1; // its rate while it crawls, -1 otherwise

    qint64 mLastProgressRead = -1;
    qint64 mLastProgressMax = -1;
    int mLastProgressResumes = 0;
    qint64 mLastProgressCrawl = -1;
    QElapsedTimer mSinceProgress; // invalid until the first progress event
    bool mProgressScheduled = false;

    // The attempt asked for the rest of the bytes already stored.
    bool resuming() const { return mOffset > 0; }
};

} // namespace download
