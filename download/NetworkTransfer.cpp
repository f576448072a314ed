#include "download/NetworkTransfer.h"

#include "download/HttpAnswer.h"
#include "download/TransferEnd.h"
#include "host/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStorageInfo>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace download {

using host::lcDownload;
using Kind = host::Failure::Kind;
using namespace http;

namespace {

// Bounds what Qt buffers inside the reply and what one drain moves to the
// disk; the content itself lives only in the part file.
constexpr qint64 kReadBufferSize = 1024 * 1024;

// Listeners redraw on every progress event; more than ten a second is waste.
constexpr qint64 kProgressIntervalMs = 100;

// Redirect chains longer than this are a misconfigured server, not a download.
constexpr int kMaxRedirects = 10;

// A link that dropped this often in one download is not coming back soon.
constexpr int kMaxResumes = 3;

// A transfer under this many times its floor crawls, and its progress says
// how fast: the user sees it before it stalls.
constexpr qint64 kCrawlFactor = 4;

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Stops a reply that is no longer wanted. Both happen from the event loop, not
// now: the reply may be in the middle of emitting the signal that led here,
// and Qt does not expect to be aborted from inside its own notifications.
void dispose(QNetworkReply* reply) {
    if (reply->isFinished()) {
        reply->deleteLater();
        return;
    }
    QMetaObject::invokeMethod(
        reply,
        [reply] {
            reply->abort();
            reply->deleteLater();
        },
        Qt::QueuedConnection);
}

} // namespace

NetworkTransfer::NetworkTransfer(QNetworkAccessManager* manager, Request request, const Settings& settings,
                                 QObject* parent)
    : Transfer(std::move(request), parent), mManager(manager), mSettings(settings),
      mFile(Transfer::request().propertyName, Transfer::request().options, settings.steps), mTicker(new QTimer(this)),
      mRate(settings.rate) {
    connect(mTicker, &QTimer::timeout, this, &NetworkTransfer::onTick);
}

NetworkTransfer::~NetworkTransfer() {
    abandon();
}

void NetworkTransfer::doStart(const QUrl& url) {
    mUrl = url;
    mAddress = url.toString();
    const AsyncReadOptions& options = request().options;
    if (options.resumable) {
        if (const std::optional<ResumeRecord> kept = mFile.adopt(mAddress)) {
            mTotal = kept->total;
            mValidator = kept->validator;
            mFromKept = true;
        }
    }
    startAttempt();
    if (mFile.kept() > 0) {
        // The kept bytes show at once, not only once the server answers.
        QMetaObject::invokeMethod(this, &NetworkTransfer::reportProgress, Qt::QueuedConnection);
    }
    if (options.deadline.count() > 0) {
        QTimer::singleShot(options.deadline, this, [this] {
            if (mPhase != Phase::Finishing && mPhase != Phase::Ended) {
                fail(Kind::TooSlow, QStringLiteral("The file did not arrive within %1 s.")
                                        .arg(double(request().options.deadline.count()) / 1000));
            }
        });
    }
    // Often enough to judge a transfer soon after its exempt time.
    const auto shortest = std::min(mSettings.rate.window, mSettings.rate.exempt);
    mTicker->start(int(std::clamp<std::chrono::milliseconds::rep>(shortest.count() / 5, 10, 1000)));
}

void NetworkTransfer::doKill() {
    abandon();
}

void NetworkTransfer::abandon() {
    mTicker->stop();
    dropReply();
    if (mPhase == Phase::Finishing) {
        mEnd->letGo(); // its worker finishes alone, without waiting for the disk here
        mEnd.reset();
    } else if (mPhase != Phase::Ended) {
        mFile.leave(mFile.keepable());
    }
    mPhase = Phase::Ended;
}

void NetworkTransfer::startAttempt() {
    qCDebug(lcDownload, "%s: requesting into %s from byte %lld (attempt %d)", logPrintable(mUrl.toDisplayString()),
            logPrintable(QDir::toNativeSeparators(request().propertyName)), static_cast<long long>(mFile.written()),
            mResumes + 1);
    QNetworkRequest httpRequest(mUrl);
    httpRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    httpRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // For caches between us and the server, which Qt's own setting cannot reach.
    httpRequest.setRawHeader("Cache-Control", "no-cache");
    httpRequest.setRawHeader("Pragma", "no-cache");
    // The bytes exactly as the server stores them. When Qt 6.4 negotiates
    // gzip itself it decompresses, but then drops every Content-Length it
    // got (conflicting ones too) and takes a compressed body cut short by a
    // closed connection for a whole one: nothing would be left to prove that
    // the package is complete. Asking for the plain bytes keeps each length
    // comparable with what arrives, and ranges count the stored bytes.
    httpRequest.setRawHeader("Accept-Encoding", "identity");
    httpRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    httpRequest.setMaximumRedirectsAllowed(kMaxRedirects);
    if (mSettings.stallLimit.count() > 0) {
        httpRequest.setTransferTimeout(
            int(std::min<std::chrono::milliseconds::rep>(mSettings.stallLimit.count(), INT_MAX)));
    }
    mPhase = Phase::Requesting;
    mOffset = mFile.written();
    mAnnounced = -1;
    mChunked = false;
    mReceived = 0;
    mCrawlRate = -1;
    mRate.start(steadyMs());
    if (resuming()) {
        // The rest of the same file, or the whole file when it has changed.
        httpRequest.setRawHeader("Range", "bytes=" + QByteArray::number(mOffset) + '-');
        httpRequest.setRawHeader("If-Range", mValidator);
    }

    QNetworkReply* reply = mManager->get(httpRequest);
    reply->setReadBufferSize(kReadBufferSize);
    mReply = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { onMetaData(reply); });
    connect(reply, &QIODevice::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
}

void NetworkTransfer::dropReply() {
    if (mReply) {
        QObject::disconnect(mReply, nullptr, this, nullptr);
        dispose(mReply);
        mReply = nullptr;
    }
}

void NetworkTransfer::onMetaData(QNetworkReply* reply) {
    if (reply == mReply) {
        acceptHeaders();
    }
}

void NetworkTransfer::onReadyRead(QNetworkReply* reply) {
    if (reply != mReply || !drain()) {
        return;
    }
    // The first bytes are reported at once, later ones at most every interval;
    // a burst followed by silence is still reported when the interval is up.
    if (!mSinceProgress.isValid() || mSinceProgress.elapsed() >= kProgressIntervalMs) {
        reportProgress();
    } else if (!mProgressScheduled) {
        mProgressScheduled = true;
        QTimer::singleShot(kProgressIntervalMs - mSinceProgress.elapsed(), this, [this] {
            mProgressScheduled = false;
            reportProgress();
        });
    }
}

bool NetworkTransfer::acceptHeaders() {
    if (mPhase == Phase::Receiving) {
        return true;
    }
    QNetworkReply* reply = mReply;
    const QVariant statusValue = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusValue.isValid()) {
        return true; // no response yet
    }
    const int status = statusValue.toInt();
    if (status == 416 && mFromKept) {
        // The file is no longer as long as the part says.
        mFile.leaveAdopted(httpStatusText(*reply) + QStringLiteral(" to the request for the rest"));
        mFromKept = false;
        requestWholeFile(host::Failure{Kind::Network, httpStatusText(*reply)}, false);
        return false;
    }
    if (status >= 400) {
        // Refused before its body arrives: an error page is not the content.
        fail(Kind::Network, httpStatusText(*reply));
        return false;
    }
    if (status < 200 || status >= 300) {
        return true; // a redirect being followed, or a final one judged at the end
    }
    mPhase = Phase::Receiving;

    const Answer answer = classifyAnswer(status);
    if (answer == Answer::Dropped) {
        return false;
    }
    if (host::Outcome coding = codingProblem(*reply)) {
        fail(*std::move(coding));
        return false;
    }
    mChunked = !reply->rawHeader("Transfer-Encoding").trimmed().isEmpty();

    const AnnouncedLength length = announcedLength(*reply);
    if (length.problem) {
        fail(*length.problem);
        return false;
    }
    mAnnounced = length.value;
    if (answer == Answer::Rest) {
        if (mAnnounced >= 0 && mAnnounced != mTotal - mOffset) {
            fail(Kind::Network, QStringLiteral("The server announced %1 bytes for the last %2 bytes of the file.")
                                    .arg(mAnnounced)
                                    .arg(mTotal - mOffset));
            return false;
        }
        mAnnounced = mTotal - mOffset;
        return roomFor(mAnnounced);
    }
    return acceptWholeFile();
}

NetworkTransfer::Answer NetworkTransfer::classifyAnswer(int status) {
    QNetworkReply* reply = mReply;
    if (mFromKept && status == 206) {
        // Part of the file, which must be the rest of the kept part's.
        host::Outcome problem = versionProblem(*reply, mValidator);
        if (!problem) {
            problem = continuationProblem(*reply, mOffset, mTotal);
        }
        mFromKept = false;
        if (!problem) {
            return Answer::Rest;
        }
        mFile.leaveAdopted(problem->detail);
        requestWholeFile(*problem, false);
        return Answer::Dropped;
    }
    if (mFromKept && status == 200) {
        // If-Range sends the whole file when it is no longer the one named.
        mFile.leaveAdopted(QStringLiteral("the file on the server changed since (it is no longer %1)")
                               .arg(QString::fromLatin1(mValidator)));
        mFromKept = false;
        return emptyPart() ? Answer::Whole : Answer::Dropped;
    }
    if (resuming() && status == 206) {
        if (const host::Outcome otherVersion = versionProblem(*reply, mValidator)) {
            requestWholeFile(*otherVersion);
            return Answer::Dropped;
        }
        if (host::Outcome problem = continuationProblem(*reply, mOffset, mTotal)) {
            fail(*std::move(problem));
            return Answer::Dropped;
        }
        return Answer::Rest;
    }
    if (resuming() && status == 200 && !mRestarted) {
        // The file is no longer the one whose start is stored.
        mRestarted = true;
        return emptyPart() ? Answer::Whole : Answer::Dropped;
    }
    if (resuming() || status == 206) {
        fail(Kind::Network,
             httpStatusText(*reply) + QStringLiteral(" does not continue the %1 bytes received.").arg(mOffset));
        return Answer::Dropped;
    }
    return Answer::Whole;
}

bool NetworkTransfer::emptyPart() {
    mOffset = 0;
    if (host::Outcome error = mFile.empty()) {
        fail(*std::move(error));
        return false;
    }
    return true;
}

void NetworkTransfer::requestWholeFile(const host::Failure& why, bool once) {
    if (once && mRestarted) {
        fail(why);
        return;
    }
    mRestarted = mRestarted || once;
    qCDebug(lcDownload, "%s: starting over from byte 0: %s", logPrintable(mUrl.toDisplayString()),
            logPrintable(why.detail));
    // This answer's body is only part of its file: a new request without a
    // range asks for all of it.
    dropReply();
    if (emptyPart()) {
        startAttempt();
    }
}

bool NetworkTransfer::acceptWholeFile() {
    QNetworkReply* reply = mReply;
    mTotal = mAnnounced;
    mUrl = reply->url();
    mValidator = rangeValidator(*reply);
    if (mTotal > request().maxBytes) {
        fail(Kind::TooLarge, QStringLiteral("The server announced %1 bytes; at most %2 bytes may be held.")
                                 .arg(mTotal)
                                 .arg(request().maxBytes));
        return false;
    }
    if (!roomFor(mTotal)) {
        return false;
    }
    // A later run can continue the part only where the server names the
    // file's version and length and offers ranges of it.
    const AsyncReadOptions& options = request().options;
    ResumeRecord record;
    record.url = mAddress;
    record.file = QFileInfo(request().propertyName).fileName();
    record.validator = mValidator;
    record.total = mTotal;
    record.boot = CurrentBootId();
    record.release = options.release;
    if (host::Outcome error = mFile.open(record, options.resumable && !mValidator.isEmpty() && mTotal > 0)) {
        fail(*std::move(error));
        return false;
    }
    return true;
}

bool NetworkTransfer::roomFor(qint64 bytes) {
    const QString folder = QFileInfo(request().propertyName).absolutePath();
    const QStorageInfo storage(folder);
    if (bytes > 0 && storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < bytes) {
        fail(Kind::NoSpace, QStringLiteral("%1 needs %2 bytes and has %3 bytes free.")
                                .arg(QDir::toNativeSeparators(folder))
                                .arg(bytes)
                                .arg(storage.bytesAvailable()));
        return false;
    }
    return true;
}

bool NetworkTransfer::drain() {
    if (!acceptHeaders()) {
        return false;
    }
    QNetworkReply* reply = mReply;
    if (mChunk.isEmpty()) {
        mChunk.resize(qsizetype(kReadBufferSize));
    }
    for (qint64 available = reply->bytesAvailable(); available > 0; available = reply->bytesAvailable()) {
        if (mPhase != Phase::Receiving) {
            reply->skip(available); // the body of an answer that is not the content
            continue;
        }
        if (mFile.written() + available > request().maxBytes) {
            fail(Kind::TooLarge,
                 QStringLiteral("More than %1 bytes arrived; at most %1 bytes may be held.").arg(request().maxBytes));
            return false;
        }
        char* const bytes = mChunk.data();
        const qint64 got = reply->read(bytes, std::min<qint64>(available, kReadBufferSize));
        if (got <= 0) {
            break;
        }
        if (host::Outcome error = mAnnounced < 0 ? mFile.roomFor(got) : std::nullopt) {
            fail(*std::move(error));
            return false;
        }
        if (host::Outcome error = mFile.write(bytes, got)) {
            fail(*std::move(error));
            return false;
        }
        mReceived += got;
    }
    return true;
}

void NetworkTransfer::reportProgress() {
    if (mPhase == Phase::Finishing || mPhase == Phase::Ended) {
        return; // the whole size is reported; only the result may follow it
    }
    const auto bytesMax = std::max<qint64>(mTotal, 0);
    if (mFile.written() == mLastProgressRead && bytesMax == mLastProgressMax && mResumes == mLastProgressResumes &&
        mCrawlRate == mLastProgressCrawl) {
        return;
    }
    emitProgressOf(bytesMax);
}

void NetworkTransfer::emitProgressOf(qint64 bytesMax) {
    mLastProgressRead = mFile.written();
    mLastProgressMax = bytesMax;
    mLastProgressResumes = mResumes;
    mLastProgressCrawl = mCrawlRate;
    mSinceProgress.start();
    AsyncProperty property;
    property.BytesRead = mFile.written();
    property.BytesMax = bytesMax;
    property.Resumes = mResumes;
    property.Kept = mFile.kept();
    property.CrawlRate = mCrawlRate;
    emitProgress(property); // last: a receiver may destroy the job
}

void NetworkTransfer::onTick() {
    if (mPhase != Phase::Requesting && mPhase != Phase::Receiving) {
        return;
    }
    const qint64 now = steadyMs();
    mRate.add(now, mReceived);
    const qint64 rate = mRate.early(now);
    if (!mRate.crawls(now)) {
        mCrawlRate = rate >= 0 && rate < mSettings.rate.floor * kCrawlFactor ? rate : -1;
        reportProgress();
        return;
    }
    const RateWatch::Policy& policy = mSettings.rate;
    const QString seconds =
        QString::number(double(std::min<qint64>(policy.window.count(), now - mRate.startedAt())) / 1000, 'g', 2);
    // A server that keeps its answer back is as slow as one that sends its
    // body a byte at a time.
    const QString problem = mPhase == Phase::Requesting
                                ? QStringLiteral("The server had not answered after %1 s.").arg(seconds)
                                : QStringLiteral("The transfer crawled at %1 bytes/s over the last %2 s, under the "
                                                 "floor of %3 bytes/s.")
                                      .arg(rate)
                                      .arg(seconds)
                                      .arg(policy.floor);
    attemptEnded(problem, true, Kind::TooSlow);
}

bool NetworkTransfer::resumeLater() {
    const qint64 written = mFile.written();
    if (mValidator.isEmpty() || mTotal <= 0 || written <= 0 || written >= mTotal || mResumes >= kMaxResumes) {
        return false;
    }
    dropReply();
    mPhase = Phase::Pausing;
    ++mResumes;
    QTimer::singleShot(mSettings.resumePause * (1 << (mResumes - 1)), this, [this] {
        if (mPhase == Phase::Pausing) {
            startAttempt();
        }
    });
    reportProgress(); // shows the resume at once; last, a receiver may destroy the job
    return true;
}

void NetworkTransfer::onFinished(QNetworkReply* reply) {
    if (reply != mReply || !drain()) {
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        attemptEnded(transferProblem(*reply), isTransient(reply->error()));
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status >= 300) {
        fail(Kind::Network, httpStatusText(*reply) + QStringLiteral(" is not content."));
        return;
    }
    const qint64 received = mFile.written() - mOffset;
    if (mAnnounced >= 0 && received != mAnnounced) {
        // A connection cut in the middle of a body, which Qt may call a success.
        attemptEnded(QStringLiteral("Received %1 of the %2 bytes announced.").arg(received).arg(mAnnounced), true);
        return;
    }
    endOfBody(*reply);
}

QString NetworkTransfer::transferProblem(const QNetworkReply& reply) const {
    const qint64 received = mFile.written() - mOffset;
    switch (reply.error()) {
    case QNetworkReply::OperationCanceledError:
        // The job itself never aborts a reply it still listens to, so this is
        // the transfer timeout: nothing arrived for the whole stall limit.
        return QStringLiteral("No data arrived for %1 ms after %2 bytes; the transfer stalled.")
            .arg(mSettings.stallLimit.count())
            .arg(mFile.written());
    case QNetworkReply::RemoteHostClosedError:
        if (mAnnounced >= 0) {
            return QStringLiteral("The server closed the connection after %1 of the %2 bytes announced.")
                .arg(received)
                .arg(mAnnounced);
        }
        if (mChunked) {
            return QStringLiteral("The server closed the connection after %1 bytes, before the last chunk.")
                .arg(received);
        }
        break;
    default:
        break;
    }
    return QStringLiteral("%1 (network error %2)").arg(reply.errorString()).arg(int(reply.error()));
}

void NetworkTransfer::attemptEnded(const QString& problem, bool transient, Kind kind) {
    qCDebug(lcDownload, "%s: attempt ended: %s", logPrintable(mUrl.toDisplayString()), logPrintable(problem));
    if (transient && resumeLater()) {
        return;
    }
    fail(kind, problem);
}

void NetworkTransfer::endOfBody(const QNetworkReply& reply) {
    const qint64 written = mFile.written();
    if (mAnnounced < 0 && !mChunked && !reply.attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()) {
        // Qt ends such a body when the connection closes, and reports a
        // connection cut in the middle of it as a success just the same.
        fail(Kind::Network, QStringLiteral("The server sent no length and no chunked framing; the end of the body "
                                           "cannot be told from a cut connection."));
    } else if (written == 0) {
        fail(Kind::Network, QStringLiteral("The server sent an empty body."));
    } else if (mTotal >= 0 && written != mTotal) {
        fail(Kind::Network, QStringLiteral("Stored %1 of the %2 bytes announced.").arg(written).arg(mTotal));
    } else {
        finish();
    }
}

void NetworkTransfer::fail(Kind kind, const QString& detail) {
    fail(host::Failure{kind, detail});
}

void NetworkTransfer::fail(host::Failure failure) {
    if (mPhase == Phase::Ended) {
        return;
    }
    mTicker->stop();
    dropReply();
    // A failed job's part goes before anyone hears of it, unless a later run
    // may continue it: the network may come back, the disk's bytes are sound.
    mFile.leave(mFile.keepable() && (failure.kind == Kind::Network || failure.kind == Kind::TooSlow));
    mPhase = Phase::Ended;
    report(std::move(failure), {}, QString());
}

void NetworkTransfer::finish() {
    mTicker->stop();
    dropReply();
    mPhase = Phase::Finishing;
    const bool keepable = mFile.keepable();
    const qint64 stored = mFile.written();
    mEnd = std::make_shared<TransferEnd>(mFile.takePart(), mFile.takeDigest(), stored, keepable);
    TransferEnd::Start(mEnd, this, [this, end = std::weak_ptr<TransferEnd>(mEnd)] {
        if (mEnd && mEnd == end.lock()) {
            ended();
        }
    });
    // The whole size shows while the disk takes the bytes. Last: a receiver
    // may destroy the job.
    if (mLastProgressRead != stored || mLastProgressMax != stored) {
        emitProgressOf(stored);
    }
}

void NetworkTransfer::ended() {
    const std::shared_ptr<TransferEnd> end = std::move(mEnd);
    mPhase = Phase::Ended;
    host::Outcome failure = end->failure;
    QString file = request().propertyName;
    if (!failure && request().options.unproven) {
        // The caller proves the content, then names it.
        file = end->part->fileName();
        end->part->Keep();
    } else if (!failure) {
        // The rename happens here, as the result is emitted: a job destroyed
        // before then leaves the target as it was.
        failure = end->part->Commit(request().propertyName);
    }
    end->keepIfLeft = false;
    end->part.reset(); // a part file that did not take its name goes before anyone hears of it
    mFile.ended();
    report(failure, failure ? QByteArray() : end->digest, failure ? QString() : file);
}

void NetworkTransfer::report(const host::Outcome& failure, const QByteArray& digest, const QString& file) {
    const qint64 stored = mFile.written();
    const QByteArray url = host::Printable(mUrl.toDisplayString());
    const QByteArray path = host::Printable(QDir::toNativeSeparators(request().propertyName));
    if (!failure) {
        qCDebug(lcDownload, "%s: stored %lld bytes in %s", url.data(), static_cast<long long>(stored), path.data());
    } else {
        qCWarning(lcDownload, "%s: download to %s failed (%s, %lld bytes stored, %d resumes): %s", url.data(),
                  path.data(), host::KindName(failure->kind), static_cast<long long>(stored), mResumes,
                  logPrintable(failure->detail));
    }
    AsyncProperty property;
    property.BytesRead = stored;
    property.Resumes = mResumes;
    property.Kept = mFile.kept();
    property.Failure = failure;
    if (!failure) {
        property.BytesMax = stored;
        property.File = file;
        property.Digest = digest;
    }
    emitResult(property); // last: a receiver may destroy the job
}

} // namespace download
