#include "download/NetworkAsyncReader.h"

#include "download/Blake2b.h"
#include "download/Disk.h"
#include "download/KeptPart.h"
#include "download/PartFile.h"
#include "host/Log.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

namespace download {

using host::lcDownload;
using Kind = host::Failure::Kind;

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

// A body without a length may take the disk down to this margin: 1 GiB or
// 5% of the file system, whichever is less.
constexpr qint64 kMarginBytes = qint64(1) << 30;
constexpr qint64 kMarginPercent = 5;

#ifndef KELVANE_MIN_TRANSFER_RATE
#error "KELVANE_MIN_TRANSFER_RATE is the rate floor of a transfer in bytes a second; the build sets it"
#endif

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A server's answer that the reader does not take: a Network failure.
host::Failure refused(const QString& detail) {
    return {Kind::Network, detail};
}

// The length the server announced for the body, read from every
// Content-Length it sent (Qt joins repeated headers into one list).
struct AnnouncedLength {
    qint64 value = -1;     // -1: none announced
    host::Outcome problem; // the announcement cannot be trusted
};

AnnouncedLength announcedLength(const QNetworkReply& reply) {
    if (!reply.hasRawHeader("Content-Length")) {
        return {};
    }
    const QByteArray raw = reply.rawHeader("Content-Length");
    QList<QByteArray> values = raw.split(',');
    qint64 value = -1;
    bool conflicting = false;
    for (QByteArray& text : values) {
        text = text.trimmed();
        bool ok = !text.isEmpty();
        for (const char c : text) {
            ok = ok && c >= '0' && c <= '9'; // no sign, no blank, no hex
        }
        const qint64 parsed = ok ? text.toLongLong(&ok) : -1;
        if (!ok) {
            return {-1, refused(QStringLiteral("The server announced an unreadable length: \"%1\".")
                                    .arg(QString::fromLatin1(raw)))};
        }
        conflicting = conflicting || (value >= 0 && parsed != value);
        value = parsed;
    }
    if (conflicting) {
        // Which one frames the body is anyone's guess; a proxy on the way may
        // have guessed differently from us.
        return {-1, refused(QStringLiteral("The server announced conflicting lengths: %1.")
                                .arg(QString::fromLatin1(values.join(", "))))};
    }
    return {value, std::nullopt};
}

QString httpStatusText(const QNetworkReply& reply) {
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason = reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    return reason.isEmpty() ? QStringLiteral("HTTP status %1").arg(status)
                            : QStringLiteral("HTTP status %1 %2").arg(status).arg(reason);
}

// The failures a connection can come back from: cut, reset, stalled, or gone
// for a moment. TLS, proxy authentication and refusals by the server are not.
bool isTransient(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::OperationCanceledError: // the transfer timeout: a stall
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ConnectionRefusedError: // a server restarting between tries
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

// The version an If-Range names: a weak ETag may not be used there.
QByteArray rangeValidator(const QNetworkReply& reply) {
    if (reply.rawHeader("Accept-Ranges").trimmed().toLower() != "bytes") {
        return {};
    }
    const QByteArray etag = reply.rawHeader("ETag").trimmed();
    if (etag.startsWith('"')) {
        return etag;
    }
    return reply.rawHeader("Last-Modified").trimmed();
}

// Why a 206 does not prove to be part of the version `validator` names: it
// must carry the same strong ETag, or the same Last-Modified when the version
// is a date. A cache that ignored If-Range, or a server whose file changed
// under it, would otherwise splice two files into one.
host::Outcome versionProblem(const QNetworkReply& reply, const QByteArray& validator) {
    const bool etag = validator.startsWith('"');
    const QByteArray header = etag ? "ETag" : "Last-Modified";
    const QByteArray carried = reply.rawHeader(header).trimmed();
    if (carried == validator) {
        return std::nullopt;
    }
    const auto named = [&header, etag](const QByteArray& value) { // an ETag brings its own quotes
        return QString::fromLatin1(header + ' ' + (etag ? value : '"' + value + '"'));
    };
    return refused(QStringLiteral("The server answered a resume of %1 with part of %2.")
                       .arg(named(validator), carried.isEmpty()
                                                  ? QStringLiteral("a file without %1").arg(QString::fromLatin1(header))
                                                  : named(carried)));
}

// Why the body's codings make it something other than the file's bytes in
// plain or chunked form. Qt passes any content coding it did not ask for
// through untouched.
host::Outcome codingProblem(const QNetworkReply& reply) {
    const QByteArray coding = reply.rawHeader("Content-Encoding").trimmed().toLower();
    if (!coding.isEmpty() && coding != "identity") {
        return refused(
            QStringLiteral("The server sent the body encoded as \"%1\" although the plain bytes were asked for.")
                .arg(QString::fromLatin1(coding)));
    }
    const QByteArray transfer = reply.rawHeader("Transfer-Encoding").trimmed().toLower();
    if (!transfer.isEmpty() && transfer != "chunked") {
        return refused(QStringLiteral("The server used the transfer coding \"%1\", which cannot be read.")
                           .arg(QString::fromLatin1(transfer)));
    }
    return std::nullopt;
}

} // namespace

struct NetworkAsyncReader::Read {
    // Where the read stands now. What happened on the way (resumes, a start
    // over) is history, kept in counters of its own.
    enum class Phase {
        Requesting, // a request is out; no 2xx answer has been taken yet (a redirect, no status so far)
        Receiving,  // a 2xx answer was taken: its body goes into the part file
        Pausing,    // the transfer dropped; the next attempt waits for its pause to end
        Finishing,  // the body is whole; a worker makes the part file durable
    };

    quint64 id = 0;
    Phase phase = Phase::Requesting;
    QNetworkReply* reply = nullptr; // the current attempt's, while Requesting or Receiving
    QString propertyName;
    QString folder;
    QString address; // the address as asked for: what a kept part's record names
    QUrl url;        // where the next attempt goes: the address the first whole answer came from
    qint64 cap = 0;  // the most the read may hold
    AsyncReadOptions options;
    std::unique_ptr<PartFile> part;
    std::unique_ptr<Blake2bFollower> digest; // of the bytes stored; made with the part file
    std::unique_ptr<DurableSteps> steps;     // a resumable read's, while the server's answer can be continued
    std::shared_ptr<Ending> ending;          // while Finishing: the part file and digest, shared with the worker
    qint64 written = 0;                      // bytes stored in the part file
    qint64 total = -1;                       // the length the first whole answer announced, -1 when none
    QByteArray validator;                    // If-Range of a resume; empty: the server offered none
    int resumes = 0;
    bool restarted = false; // the read has once started over from byte 0
    qint64 kept = 0;        // bytes taken over from a part an earlier run kept
    bool fromKept = false;  // the next answer must continue that part

    // The current attempt.
    qint64 offset = 0;     // where its bytes go in the file: the range it asked for
    qint64 announced = -1; // its Content-Length, -1 while unknown
    bool chunked = false;  // it came in HTTP/1.1 chunked coding
    qint64 received = 0;   // body bytes it brought
    RateWatch rate{RateWatch::Policy{}};
    qint64 crawlRate = -1; // its rate while it crawls, -1 otherwise

    qint64 lastProgressRead = -1;
    qint64 lastProgressMax = -1;
    int lastProgressResumes = 0;
    qint64 lastProgressCrawl = -1;
    QElapsedTimer sinceProgress; // invalid until the first progress event
    bool progressScheduled = false;

    // The attempt asked for the rest of the bytes already stored.
    bool resuming() const { return offset > 0; }
};

// What a read whose body is whole hands to the worker that ends it. The
// worker and the reader's thread share it; whichever lets go of it last
// removes the part file, unless the reader's thread has given it the
// target's name.
struct NetworkAsyncReader::Ending {
    // A read abandoned while it ends keeps its part for a later run when it
    // may be continued; its record stands.
    ~Ending() {
        if (keep && part) {
            digest.reset();
            part->Keep();
        }
    }

    qint64 stored = 0;
    bool keep = false; // the part stays when the read is abandoned
    std::unique_ptr<PartFile> part;
    std::unique_ptr<Blake2bFollower> digest; // goes before the part file: Windows removes no open file
    // The worker's results, read on the reader's thread once it has them.
    host::Outcome failure;
    QByteArray digestValue;

    std::mutex mutex;
    NetworkAsyncReader* reader = nullptr; // guarded by `mutex`; null once the reader is gone

    bool abandoned() {
        const std::lock_guard<std::mutex> lock(mutex);
        return reader == nullptr;
    }
};

namespace {

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

// The threads that end reads. The pool outlives every reader: when the
// program exits it waits for the ends still running, so that those of
// abandoned reads remove their part files.
QThreadPool& endingPool() {
    static QThreadPool pool;
    return pool;
}

} // namespace

RateWatch::Policy NetworkAsyncReader::DefaultRateFloor() {
    RateWatch::Policy policy;
    policy.floor = KELVANE_MIN_TRANSFER_RATE;
    return policy;
}

NetworkAsyncReader::NetworkAsyncReader(QObject* parent, std::chrono::milliseconds stallLimit)
    : AsyncReader(parent), mManager(new QNetworkAccessManager), mStallLimit(stallLimit), mTicker(new QTimer(this)) {
    // Behind a corporate proxy the updater must go where the browser goes.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    connect(mTicker, &QTimer::timeout, this, &NetworkAsyncReader::onTick);
}

NetworkAsyncReader::~NetworkAsyncReader() {
    // Replies and the manager go later rather than now: the reader may be
    // destroyed from a handler that one of these replies is still emitting.
    // The part files go with the reads; one still being synced goes with its
    // worker, which is not waited for.
    for (auto& [id, read] : mReads) {
        dropReply(*read);
        if (read->phase == Read::Phase::Finishing) {
            const std::lock_guard<std::mutex> lock(read->ending->mutex);
            read->ending->reader = nullptr;
        } else {
            keepOrRemove(*read, keepable(*read));
        }
    }
    mReads.clear();
    mManager->deleteLater();
}

std::optional<AsyncReadError> NetworkAsyncReader::AsyncRead(const QString& target, const QString& propertyName,
                                                            qint64 maxBytes, const AsyncReadOptions& options) {
    namespace N = AsyncReadErrorNumber;
    const ParsedTarget parsed = ParseTarget(target);
    if (parsed.error) {
        return parsed.error;
    }
    if (maxBytes < 1) {
        return AsyncReadError{N::InvalidLimit,
                              QStringLiteral("The size limit of a download must be at least one byte.")};
    }
    auto read = std::make_unique<Read>();
    read->id = ++mLastReadId;
    read->propertyName = propertyName;
    read->folder = QFileInfo(propertyName).absolutePath();
    read->url = parsed.url;
    read->address = parsed.url.toString();
    read->cap = maxBytes;
    read->options = options;
    read->rate = RateWatch(mRatePolicy);
    if (options.resumable) {
        adoptKeptPart(*read);
    }
    Read& started = *read;
    const quint64 id = read->id;
    mReads.emplace(id, std::move(read));
    startAttempt(started);
    if (started.kept > 0) {
        // The kept bytes show at once, not only once the server answers.
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                const auto it = mReads.find(id);
                if (it != mReads.end()) {
                    reportProgress(*it->second);
                }
            },
            Qt::QueuedConnection);
    }
    if (options.deadline.count() > 0) {
        QTimer::singleShot(options.deadline, this, [this, id] {
            const auto it = mReads.find(id);
            if (it != mReads.end() && it->second->phase != Read::Phase::Finishing) {
                fail(*it->second, Kind::TooSlow,
                     QStringLiteral("The file did not arrive within %1 s.")
                         .arg(double(it->second->options.deadline.count()) / 1000));
            }
        });
    }
    if (!mTicker->isActive()) {
        // Often enough to judge the youngest transfer soon after its exempt time.
        const auto shortest = std::min(mRatePolicy.window, mRatePolicy.exempt);
        mTicker->start(std::clamp<std::chrono::milliseconds::rep>(shortest.count() / 5, 10, 1000));
    }
    return std::nullopt;
}

void NetworkAsyncReader::adoptKeptPart(Read& read) {
    const QString path = QDir::toNativeSeparators(read.propertyName);
    const KeptBytes kept = ExamineKeptPart(read.propertyName, read.address, read.options.release);
    if (kept.bytes <= 0) {
        if (!kept.discarded.isEmpty()) {
            qCInfo(lcDownload, "%s: the part kept from an earlier run cannot be continued, %s; starting over",
                   qUtf8Printable(path), qUtf8Printable(kept.discarded));
            RemoveKeptPart(read.propertyName);
        }
        return;
    }
    host::Outcome error;
    read.part = PartFile::OpenKept(KeptPartPath(read.propertyName), kept.bytes, error);
    if (!read.part) {
        qCInfo(lcDownload, "%s: the part kept from an earlier run cannot be opened, %s; starting over",
               qUtf8Printable(path), qUtf8Printable(error->detail));
        RemoveKeptPart(read.propertyName);
        return;
    }
    qCInfo(lcDownload, "%s: continuing the part kept from an earlier run at byte %lld of %lld", qUtf8Printable(path),
           static_cast<long long>(kept.bytes), static_cast<long long>(kept.record.total));
    read.written = read.kept = kept.bytes;
    read.total = kept.record.total;
    read.validator = kept.record.validator;
    read.fromKept = true;
    ResumeRecord record = kept.record;
    record.durable = kept.bytes;
    record.boot = CurrentBootId();
    read.steps =
        std::make_unique<DurableSteps>(read.part->handle(), ResumeRecordPath(read.propertyName), record, mStepPolicy);
    if (read.options.digest) {
        // Made of the kept bytes first, on the digest's own thread.
        read.digest = std::make_unique<Blake2bFollower>(read.part->fileName());
        read.digest->stored(kept.bytes);
    }
}

void NetworkAsyncReader::discardKept(Read& read, const QString& why) {
    qCInfo(lcDownload, "%s: the part kept from an earlier run is discarded, %s; starting over",
           qUtf8Printable(QDir::toNativeSeparators(read.propertyName)), qUtf8Printable(why));
    read.fromKept = false;
    read.kept = 0;
}

bool NetworkAsyncReader::keepable(const Read& read) const {
    return read.options.resumable && read.steps && read.part && read.written > 0;
}

void NetworkAsyncReader::keepOrRemove(Read& read, bool keep) {
    read.digest.reset(); // its handle goes first: Windows removes no open file
    if (keep) {
        read.steps->flush(read.written);
        read.part->Keep();
    } else if (read.steps) {
        read.steps->stop();
        QFile::remove(ResumeRecordPath(read.propertyName));
    }
    read.steps.reset();
    read.part.reset(); // closed, and removed unless kept
}

void NetworkAsyncReader::startAttempt(Read& read) {
    qCDebug(lcDownload, "%s: requesting into %s from byte %lld (attempt %d)",
            qUtf8Printable(read.url.toDisplayString()), qUtf8Printable(QDir::toNativeSeparators(read.propertyName)),
            static_cast<long long>(read.written), read.resumes + 1);
    QNetworkRequest request(read.url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // For caches between us and the server, which Qt's own setting cannot reach.
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    // The bytes exactly as the server stores them. When Qt 6.4 negotiates
    // gzip itself it decompresses, but then drops every Content-Length it
    // got (conflicting ones too) and takes a compressed body cut short by a
    // closed connection for a whole one: nothing would be left to prove that
    // the package is complete. Asking for the plain bytes keeps each length
    // comparable with what arrives, and ranges count the stored bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    if (mStallLimit.count() > 0) {
        request.setTransferTimeout(int(std::min<std::chrono::milliseconds::rep>(mStallLimit.count(), INT_MAX)));
    }
    read.phase = Read::Phase::Requesting;
    read.offset = read.written;
    read.announced = -1;
    read.chunked = false;
    read.received = 0;
    read.crawlRate = -1;
    read.rate.start(steadyMs());
    if (read.resuming()) {
        // The rest of the same file, or the whole file when it has changed.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(read.offset) + '-');
        request.setRawHeader("If-Range", read.validator);
    }

    QNetworkReply* reply = mManager->get(request);
    reply->setReadBufferSize(kReadBufferSize);
    read.reply = reply;
    const quint64 id = read.id;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, id, reply] { onMetaData(id, reply); });
    connect(reply, &QIODevice::readyRead, this, [this, id, reply] { onReadyRead(id, reply); });
    connect(reply, &QNetworkReply::finished, this, [this, id, reply] { onFinished(id, reply); });
}

NetworkAsyncReader::Read* NetworkAsyncReader::find(quint64 id, QNetworkReply* reply) {
    const auto it = mReads.find(id);
    return it == mReads.end() || it->second->reply != reply ? nullptr : it->second.get();
}

std::unique_ptr<NetworkAsyncReader::Read> NetworkAsyncReader::take(quint64 id) {
    const auto it = mReads.find(id);
    if (it == mReads.end()) {
        return nullptr;
    }
    std::unique_ptr<Read> read = std::move(it->second);
    mReads.erase(it);
    dropReply(*read);
    return read;
}

void NetworkAsyncReader::dropReply(Read& read) {
    if (read.reply) {
        QObject::disconnect(read.reply, nullptr, this, nullptr);
        dispose(read.reply);
        read.reply = nullptr;
    }
}

void NetworkAsyncReader::onMetaData(quint64 id, QNetworkReply* reply) {
    if (Read* read = find(id, reply)) {
        acceptHeaders(*read);
    }
}

void NetworkAsyncReader::onReadyRead(quint64 id, QNetworkReply* reply) {
    Read* read = find(id, reply);
    if (!read || !drain(*read)) {
        return;
    }
    // The first bytes are reported at once, later ones at most every interval;
    // a burst followed by silence is still reported when the interval is up.
    if (!read->sinceProgress.isValid() || read->sinceProgress.elapsed() >= kProgressIntervalMs) {
        reportProgress(*read);
    } else if (!read->progressScheduled) {
        read->progressScheduled = true;
        QTimer::singleShot(kProgressIntervalMs - read->sinceProgress.elapsed(), this, [this, id] {
            const auto it = mReads.find(id);
            if (it != mReads.end()) {
                it->second->progressScheduled = false;
                reportProgress(*it->second);
            }
        });
    }
}

host::Outcome NetworkAsyncReader::continuationProblem(const Read& read) const {
    static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
    const QByteArray raw = read.reply->rawHeader("Content-Range").trimmed();
    const QRegularExpressionMatch match = range.match(QString::fromLatin1(raw));
    if (!match.hasMatch() || match.captured(1).toLongLong() != read.offset ||
        match.captured(2).toLongLong() != read.total - 1 || match.captured(3).toLongLong() != read.total) {
        return refused(QStringLiteral("The server sent the range \"%1\" where bytes %2-%3/%4 were asked for.")
                           .arg(QString::fromLatin1(raw))
                           .arg(read.offset)
                           .arg(read.total - 1)
                           .arg(read.total));
    }
    return std::nullopt;
}

bool NetworkAsyncReader::acceptHeaders(Read& read) {
    if (read.phase == Read::Phase::Receiving) {
        return true;
    }
    QNetworkReply* reply = read.reply;
    const QVariant statusValue = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusValue.isValid()) {
        return true; // no response yet
    }
    const int status = statusValue.toInt();
    if (status == 416 && read.fromKept) {
        // The file is no longer as long as the part says.
        discardKept(read, httpStatusText(*reply) + QStringLiteral(" to the request for the rest"));
        requestWholeFile(read, host::Failure{Kind::Network, httpStatusText(*reply)}, false);
        return false;
    }
    if (status >= 400) {
        // Refused before its body arrives: an error page is not the content.
        fail(read, Kind::Network, httpStatusText(*reply));
        return false;
    }
    if (status < 200 || status >= 300) {
        return true; // a redirect being followed, or a final one judged at the end
    }
    read.phase = Read::Phase::Receiving;

    const Answer answer = classifyAnswer(read, status);
    if (answer == Answer::Dropped) {
        return false;
    }
    if (host::Outcome coding = codingProblem(*reply)) {
        fail(read, *std::move(coding));
        return false;
    }
    read.chunked = !reply->rawHeader("Transfer-Encoding").trimmed().isEmpty();

    const AnnouncedLength length = announcedLength(*reply);
    if (length.problem) {
        fail(read, *length.problem);
        return false;
    }
    read.announced = length.value;
    if (answer == Answer::Rest) {
        if (read.announced >= 0 && read.announced != read.total - read.offset) {
            fail(read, Kind::Network,
                 QStringLiteral("The server announced %1 bytes for the last %2 bytes of the file.")
                     .arg(read.announced)
                     .arg(read.total - read.offset));
            return false;
        }
        read.announced = read.total - read.offset;
        return roomFor(read, read.announced);
    }
    return acceptWholeFile(read);
}

NetworkAsyncReader::Answer NetworkAsyncReader::classifyAnswer(Read& read, int status) {
    QNetworkReply* reply = read.reply;
    if (read.fromKept && status == 206) {
        // Part of the file, which must be the rest of the kept part's.
        host::Outcome problem = versionProblem(*reply, read.validator);
        if (!problem) {
            problem = continuationProblem(read);
        }
        if (!problem) {
            read.fromKept = false;
            return Answer::Rest;
        }
        discardKept(read, problem->detail);
        requestWholeFile(read, *problem, false);
        return Answer::Dropped;
    }
    if (read.fromKept && status == 200) {
        // If-Range sends the whole file when it is no longer the one named.
        discardKept(read, QStringLiteral("the file on the server changed since (it is no longer %1)")
                              .arg(QString::fromLatin1(read.validator)));
        return emptyPartFile(read) ? Answer::Whole : Answer::Dropped;
    }
    if (read.resuming() && status == 206) {
        if (const host::Outcome otherVersion = versionProblem(*reply, read.validator)) {
            requestWholeFile(read, *otherVersion);
            return Answer::Dropped;
        }
        if (host::Outcome problem = continuationProblem(read)) {
            fail(read, *std::move(problem));
            return Answer::Dropped;
        }
        return Answer::Rest;
    }
    if (read.resuming() && status == 200 && !read.restarted) {
        // The file is no longer the one whose start is stored.
        read.restarted = true;
        return emptyPartFile(read) ? Answer::Whole : Answer::Dropped;
    }
    if (read.resuming() || status == 206) {
        fail(read, Kind::Network,
             httpStatusText(*reply) + QStringLiteral(" does not continue the %1 bytes received.").arg(read.offset));
        return Answer::Dropped;
    }
    return Answer::Whole;
}

bool NetworkAsyncReader::emptyPartFile(Read& read) {
    read.offset = read.written = 0;
    if (read.digest) {
        read.digest->reset(); // before the file is cut, which it may be reading
    }
    if (!read.part->resize(0) || !read.part->seek(0)) {
        fail(read, Kind::WriteFailed, read.part->errorString());
        return false;
    }
    return true;
}

void NetworkAsyncReader::requestWholeFile(Read& read, const host::Failure& why, bool once) {
    if (once && read.restarted) {
        fail(read, why);
        return;
    }
    read.restarted = read.restarted || once;
    qCDebug(lcDownload, "%s: starting over from byte 0: %s", qUtf8Printable(read.url.toDisplayString()),
            qUtf8Printable(why.detail));
    // This answer's body is only part of its file: a new request without a
    // range asks for all of it.
    dropReply(read);
    if (emptyPartFile(read)) {
        startAttempt(read);
    }
}

bool NetworkAsyncReader::acceptWholeFile(Read& read) {
    QNetworkReply* reply = read.reply;
    read.total = read.announced;
    read.url = reply->url();
    read.validator = rangeValidator(*reply);
    if (read.total > read.cap) {
        fail(read, Kind::TooLarge,
             QStringLiteral("The server announced %1 bytes; at most %2 bytes may be held.")
                 .arg(read.total)
                 .arg(read.cap));
        return false;
    }
    if (!roomFor(read, read.total)) {
        return false;
    }
    // A later run can continue the part only where the server names the
    // file's version and length and offers ranges of it.
    const bool continuable = read.options.resumable && !read.validator.isEmpty() && read.total > 0;
    ResumeRecord record;
    record.url = read.address;
    record.file = QFileInfo(read.propertyName).fileName();
    record.validator = read.validator;
    record.total = read.total;
    record.boot = CurrentBootId();
    record.release = read.options.release;
    if (read.part) {
        // The part was emptied for this answer: its record goes first.
        if (read.steps && continuable) {
            read.steps->restart(record);
        } else if (read.steps) {
            read.steps->stop();
            read.steps.reset();
            QFile::remove(ResumeRecordPath(read.propertyName));
        }
        return true;
    }
    host::Outcome error;
    read.part = continuable ? PartFile::OpenKept(KeptPartPath(read.propertyName), 0, error)
                            : PartFile::Create(read.folder, error);
    if (!read.part) {
        fail(read, *std::move(error));
        return false;
    }
    if (continuable) {
        read.steps = std::make_unique<DurableSteps>(read.part->handle(), ResumeRecordPath(read.propertyName), record,
                                                    mStepPolicy);
    }
    if (read.options.digest) {
        read.digest = std::make_unique<Blake2bFollower>(read.part->fileName());
    }
    return true;
}

bool NetworkAsyncReader::roomFor(Read& read, qint64 bytes) {
    const QStorageInfo storage(read.folder);
    if (bytes > 0 && storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < bytes) {
        fail(read, Kind::NoSpace,
             QStringLiteral("%1 needs %2 bytes and has %3 bytes free.")
                 .arg(QDir::toNativeSeparators(read.folder))
                 .arg(bytes)
                 .arg(storage.bytesAvailable()));
        return false;
    }
    return true;
}

bool NetworkAsyncReader::drain(Read& read) {
    if (!acceptHeaders(read)) {
        return false;
    }
    QNetworkReply* reply = read.reply;
    if (mChunk.isEmpty()) {
        mChunk.resize(qsizetype(kReadBufferSize));
    }
    for (qint64 available = reply->bytesAvailable(); available > 0; available = reply->bytesAvailable()) {
        if (read.phase != Read::Phase::Receiving) {
            reply->skip(available); // the body of an answer that is not the content
            continue;
        }
        if (read.written + available > read.cap) {
            fail(read, Kind::TooLarge,
                 QStringLiteral("More than %1 bytes arrived; at most %1 bytes may be held.").arg(read.cap));
            return false;
        }
        char* const bytes = mChunk.data();
        const qint64 got = reply->read(bytes, std::min<qint64>(available, kReadBufferSize));
        if (got <= 0) {
            break;
        }
        if (read.announced < 0 && !roomLeftAfter(read, got)) {
            return false;
        }
        // A short write carries no reason; the write of the rest fails and
        // tells the system's (for a full disk: "No space left on device").
        for (qint64 done = 0; done < got;) {
            const qint64 chunk = read.part->write(bytes + done, got - done);
            if (chunk <= 0) {
                const QString reason = read.part->errorString();
                fail(read, Kind::WriteFailed,
                     reason.isEmpty() ? QStringLiteral("the file could not be written whole") : reason);
                return false;
            }
            done += chunk;
        }
        read.written += got;
        read.received += got;
        if (read.digest) {
            read.digest->stored(read.written);
        }
        if (read.steps) {
            read.steps->written(read.written);
        }
    }
    return true;
}

bool NetworkAsyncReader::roomLeftAfter(Read& read, qint64 bytes) {
    const disk::Space space = disk::SpaceOf(read.part->handle());
    if (space.free < 0 || space.size <= 0) {
        return true; // the system cannot tell; the cap still ends an endless body
    }
    const qint64 margin =
        std::min(kMarginBytes, space.size / 100 * kMarginPercent + space.size % 100 * kMarginPercent / 100);
    if (space.free - bytes >= margin) {
        return true;
    }
    fail(read, Kind::TooLarge,
         QStringLiteral("The server has sent %1 bytes without announcing a length; storing them would leave less "
                        "than %2 bytes free in %3.")
             .arg(read.written + bytes)
             .arg(margin)
             .arg(QDir::toNativeSeparators(read.folder)));
    return false;
}

void NetworkAsyncReader::reportProgress(Read& read) {
    if (read.phase == Read::Phase::Finishing) {
        return; // the whole size is reported; only the completion may follow it
    }
    const auto bytesMax = std::max<qint64>(read.total, 0);
    if (read.written == read.lastProgressRead && bytesMax == read.lastProgressMax &&
        read.resumes == read.lastProgressResumes && read.crawlRate == read.lastProgressCrawl) {
        return;
    }
    emitProgress(read, bytesMax);
}

void NetworkAsyncReader::emitProgress(Read& read, qint64 bytesMax) {
    read.lastProgressRead = read.written;
    read.lastProgressMax = bytesMax;
    read.lastProgressResumes = read.resumes;
    read.lastProgressCrawl = read.crawlRate;
    read.sinceProgress.start();
    AsyncProperty property;
    property.BytesRead = read.written;
    property.BytesMax = bytesMax;
    property.PropertyName = read.propertyName;
    property.Resumes = read.resumes;
    property.Kept = read.kept;
    property.CrawlRate = read.crawlRate;
    emit AsyncReadProgress(property); // last: a handler may destroy the reader
}

void NetworkAsyncReader::onTick() {
    if (mReads.empty()) {
        mTicker->stop();
        return;
    }
    const qint64 now = steadyMs();
    std::vector<quint64> ids;
    for (const auto& [id, read] : mReads) {
        ids.push_back(id);
    }
    const QPointer<NetworkAsyncReader> alive(this);
    for (const quint64 id : ids) {
        const auto it = mReads.find(id);
        if (it == mReads.end()) {
            continue;
        }
        Read& read = *it->second;
        if (read.phase != Read::Phase::Requesting && read.phase != Read::Phase::Receiving) {
            continue;
        }
        read.rate.add(now, read.received);
        const qint64 rate = read.rate.early(now);
        if (read.rate.crawls(now)) {
            const RateWatch::Policy& policy = read.rate.policy();
            const QString seconds = QString::number(
                double(std::min<qint64>(policy.window.count(), now - read.rate.startedAt())) / 1000, 'g', 2);
            // A server that keeps its answer back is as slow as one that
            // sends its body a byte at a time.
            const QString problem =
                read.phase == Read::Phase::Requesting
                    ? QStringLiteral("The server had not answered after %1 s.").arg(seconds)
                    : QStringLiteral("The transfer crawled at %1 bytes/s over the last %2 s, under the floor of %3 "
                                     "bytes/s.")
                          .arg(rate)
                          .arg(seconds)
                          .arg(policy.floor);
            attemptEnded(read, problem, true, Kind::TooSlow);
        } else {
            read.crawlRate = rate >= 0 && rate < read.rate.policy().floor * kCrawlFactor ? rate : -1;
            reportProgress(read);
        }
        if (!alive) {
            return; // a handler destroyed the reader
        }
    }
}

bool NetworkAsyncReader::resumeLater(Read& read) {
    if (read.validator.isEmpty() || read.total <= 0 || read.written <= 0 || read.written >= read.total ||
        read.resumes >= kMaxResumes) {
        return false;
    }
    dropReply(read);
    read.phase = Read::Phase::Pausing;
    ++read.resumes;
    const quint64 id = read.id;
    QTimer::singleShot(mResumePause * (1 << (read.resumes - 1)), this, [this, id] {
        const auto it = mReads.find(id);
        if (it != mReads.end() && it->second->phase == Read::Phase::Pausing) {
            startAttempt(*it->second);
        }
    });
    reportProgress(read); // shows the resume at once; last, a handler may destroy the reader
    return true;
}

void NetworkAsyncReader::onFinished(quint64 id, QNetworkReply* reply) {
    Read* read = find(id, reply);
    if (!read || !drain(*read)) {
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        attemptEnded(*read, transferProblem(*read, *reply), isTransient(reply->error()));
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status >= 300) {
        fail(*read, Kind::Network, httpStatusText(*reply) + QStringLiteral(" is not content."));
        return;
    }
    const qint64 received = read->written - read->offset;
    if (read->announced >= 0 && received != read->announced) {
        // A connection cut in the middle of a body, which Qt may call a success.
        attemptEnded(*read, QStringLiteral("Received %1 of the %2 bytes announced.").arg(received).arg(read->announced),
                     true);
        return;
    }
    endOfBody(*read, *reply);
}

QString NetworkAsyncReader::transferProblem(const Read& read, const QNetworkReply& reply) const {
    const qint64 received = read.written - read.offset;
    switch (reply.error()) {
    case QNetworkReply::OperationCanceledError:
        // The reader itself never aborts a read it still tracks, so this is
        // the transfer timeout: nothing arrived for the whole stall limit.
        return QStringLiteral("No data arrived for %1 ms after %2 bytes; the transfer stalled.")
            .arg(mStallLimit.count())
            .arg(read.written);
    case QNetworkReply::RemoteHostClosedError:
        if (read.announced >= 0) {
            return QStringLiteral("The server closed the connection after %1 of the %2 bytes announced.")
                .arg(received)
                .arg(read.announced);
        }
        if (read.chunked) {
            return QStringLiteral("The server closed the connection after %1 bytes, before the last chunk.")
                .arg(received);
        }
        break;
    default:
        break;
    }
    return QStringLiteral("%1 (network error %2)").arg(reply.errorString()).arg(int(reply.error()));
}

void NetworkAsyncReader::attemptEnded(Read& read, const QString& problem, bool transient, Kind kind) {
    qCDebug(lcDownload, "%s: attempt ended: %s", qUtf8Printable(read.url.toDisplayString()), qUtf8Printable(problem));
    if (transient && resumeLater(read)) {
        return;
    }
    fail(read, kind, problem);
}

void NetworkAsyncReader::endOfBody(Read& read, const QNetworkReply& reply) {
    if (read.announced < 0 && !read.chunked && !reply.attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()) {
        // Qt ends such a body when the connection closes, and reports a
        // connection cut in the middle of it as a success just the same.
        fail(read, Kind::Network,
             QStringLiteral("The server sent no length and no chunked framing; the end of the body cannot be "
                            "told from a cut connection."));
    } else if (read.written == 0) {
        fail(read, Kind::Network, QStringLiteral("The server sent an empty body."));
    } else if (read.total >= 0 && read.written != read.total) {
        fail(read, Kind::Network,
             QStringLiteral("Stored %1 of the %2 bytes announced.").arg(read.written).arg(read.total));
    } else {
        finish(read);
    }
}

void NetworkAsyncReader::fail(Read& read, Kind kind, const QString& detail) {
    fail(read, host::Failure{kind, detail});
}

void NetworkAsyncReader::fail(Read& failed, host::Failure failure) {
    const std::unique_ptr<Read> read = take(failed.id);
    if (!read) {
        return;
    }
    // A failed read's part file goes before anyone hears of it, unless a
    // later run may continue it: the network may come back, the disk's
    // bytes are sound.
    keepOrRemove(*read, keepable(*read) && (failure.kind == Kind::Network || failure.kind == Kind::TooSlow));
    report(*read, std::move(failure), {}, QString());
}

void NetworkAsyncReader::finish(Read& read) {
    dropReply(read);
    read.phase = Read::Phase::Finishing;
    read.ending = std::make_shared<Ending>();
    read.ending->stored = read.written;
    read.ending->keep = keepable(read);
    if (read.steps) {
        read.steps->stop(); // the part's end syncs it whole; its record goes with it
        read.steps.reset();
    }
    read.ending->part = std::move(read.part);
    read.ending->digest = std::move(read.digest);
    read.ending->reader = this;
    endingPool().start([ending = read.ending, id = read.id] { endOffThread(ending, id); });
    // The whole size shows while the disk takes the bytes. Last: a handler
    // may destroy the reader.
    if (read.lastProgressRead != read.written || read.lastProgressMax != read.written) {
        emitProgress(read, read.written);
    }
}

void NetworkAsyncReader::endOffThread(const std::shared_ptr<Ending>& ending, quint64 id) {
    Ending& end = *ending;
    if (end.abandoned()) {
        return; // the last to let go of it removes the part file
    }
    // The hashing catches up while the disk takes the bytes.
    end.failure = end.part->Seal();
    if (!end.failure && end.digest && !end.abandoned()) {
        end.digestValue = end.digest->result(end.stored);
        if (end.digestValue.isEmpty()) {
            end.failure = host::Failure{Kind::WriteFailed,
                                        QStringLiteral("The stored file could not be read back for its digest.")};
        }
    }
    end.digest.reset();
    if (end.failure) {
        end.part.reset(); // a failed read's part file goes before anyone hears of it
    }
    const std::lock_guard<std::mutex> lock(end.mutex);
    if (NetworkAsyncReader* reader = end.reader) {
        QMetaObject::invokeMethod(
            reader, [reader, id, ending] { reader->ended(id, *ending); }, Qt::QueuedConnection);
    }
}

void NetworkAsyncReader::ended(quint64 id, Ending& ending) {
    const std::unique_ptr<Read> read = take(id);
    if (!read) {
        return;
    }
    host::Outcome failure = ending.failure;
    QString file = read->propertyName;
    if (!failure && read->options.unproven) {
        // The caller proves the content, then names it.
        file = ending.part->fileName();
        ending.part->Keep();
    } else if (!failure) {
        // The rename happens here, as the completion is emitted: a reader
        // destroyed before then leaves the target as it was.
        failure = ending.part->Commit(read->propertyName);
    }
    ending.keep = false;
    ending.part.reset(); // a part file that did not take the target's name goes before anyone hears of it
    if (read->options.resumable) {
        QFile::remove(ResumeRecordPath(read->propertyName)); // the download has ended
    }
    report(*read, failure, failure ? QByteArray() : ending.digestValue, failure ? QString() : file);
}

void NetworkAsyncReader::report(const Read& read, const host::Outcome& failure, const QByteArray& digest,
                                const QString& file) {
    const qint64 stored = read.written;
    const QString url = read.url.toDisplayString();
    const QString path = QDir::toNativeSeparators(read.propertyName);
    if (!failure) {
        qCDebug(lcDownload, "%s: stored %lld bytes in %s", qUtf8Printable(url), static_cast<long long>(stored),
                qUtf8Printable(path));
    } else {
        qCWarning(lcDownload, "%s: download to %s failed (%s, %lld bytes stored, %d resumes): %s", qUtf8Printable(url),
                  qUtf8Printable(path), host::KindName(failure->kind), static_cast<long long>(stored), read.resumes,
                  qUtf8Printable(failure->detail));
    }
    AsyncProperty property;
    property.PropertyName = read.propertyName;
    property.BytesRead = stored;
    property.Resumes = read.resumes;
    property.Failure = failure;
    property.Kept = read.kept;
    if (!failure) {
        property.BytesMax = stored;
        property.File = file;
        property.Digest = digest;
    }
    emit AsyncReadComplete(property); // last: a handler may destroy the reader
}

} // namespace download
