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
#include <QTimer>

#include <algorithm>

namespace download {

using host::lcDownload;
using Kind = host::Failure::Kind;
using namespace http;

namespace {

// Bounds what Qt buffers inside the reply; the content itself lives only in
// the part file.
constexpr qint64 kReadBufferSize = 1024 * 1024;

// Listeners redraw on every progress event; more than ten a second is waste.
constexpr qint64 kProgressIntervalMs = 100;

// A link that dropped this often in one download is not coming back soon.
constexpr int kMaxResumes = 3;

// A transfer under this many times its floor crawls, and its progress says
// how fast: the user sees it before it stalls.
constexpr qint64 kCrawlFactor = 4;

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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
    mPhase = Phase::Requesting;
    mOffset = mFile.written();
    mAnnounced = -1;
    mChunked = false;
    mReceived = 0;
    mCrawlRate = -1;
    mRate.start(steadyMs());
    const QNetworkRequest httpRequest = MakeRequest(mUrl, mOffset, mValidator, mSettings.stallLimit);
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
        Dispose(mReply);
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
    const Verdict verdict =
        Judge(*mReply, Expecting{mOffset, mTotal, mValidator, mFromKept, mRestarted, request().maxBytes});
    if (!verdict.leftKept.isEmpty()) {
        mFile.leaveAdopted(verdict.leftKept);
        mFromKept = false;
    }
    switch (verdict.step) {
    case Verdict::Step::Wait:
        return true;
    case Verdict::Step::Fail:
        fail(*verdict.failure);
        return false;
    case Verdict::Step::Again:
        requestWholeFile(*verdict.failure, verdict.restart);
        return false;
    case Verdict::Step::Rest:
        mFromKept = false;
        mPhase = Phase::Receiving;
        mChunked = verdict.chunked;
        mAnnounced = verdict.announced;
        return roomFor(mAnnounced);
    case Verdict::Step::Whole:
        break;
    }
    mRestarted = mRestarted || verdict.restart;
    if (mFile.written() > 0 && !emptyPart()) {
        return false;
    }
    mPhase = Phase::Receiving;
    mChunked = verdict.chunked;
    mAnnounced = mTotal = verdict.announced;
    mUrl = mReply->url();
    mValidator = verdict.validator;
    return acceptWholeFile();
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
    if (host::Outcome error = mFile.spaceFor(bytes)) {
        fail(*std::move(error));
        return false;
    }
    return true;
}

bool NetworkTransfer::drain() {
    if (!acceptHeaders()) {
        return false;
    }
    if (mPhase != Phase::Receiving) {
        mReply->skip(mReply->bytesAvailable()); // the body of an answer that is not the content
        return true;
    }
    const qint64 before = mFile.written();
    const host::Outcome error = mFile.takeFrom(*mReply, request().maxBytes, mAnnounced < 0);
    mReceived += mFile.written() - before;
    if (error) {
        fail(*error);
        return false;
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
    // A server that keeps its answer back is as slow as one that sends its
    // body a byte at a time.
    const QString problem = mRate.stallText(now, mPhase == Phase::Receiving);
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
        attemptEnded(TransferProblem(*reply, mFile.written() - mOffset, mFile.written(), mAnnounced, mChunked,
                                     mSettings.stallLimit),
                     isTransient(reply->error()));
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

void NetworkTransfer::attemptEnded(const QString& problem, bool transient, Kind kind) {
    qCDebug(lcDownload, "%s: attempt ended: %s", logPrintable(mUrl.toDisplayString()), logPrintable(problem));
    if (transient && resumeLater()) {
        return;
    }
    fail(kind, problem);
}

void NetworkTransfer::endOfBody(const QNetworkReply& reply) {
    if (host::Outcome problem = EndProblem(reply, mAnnounced, mChunked, mFile.written(), mTotal)) {
        fail(*std::move(problem));
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
