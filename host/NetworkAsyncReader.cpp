#include "host/NetworkAsyncReader.h"

#include "host/SaveFile.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace host {

namespace {

// Byte counts travel as 32-bit signed integers.
constexpr qint64 kLargestRead = std::numeric_limits<qint32>::max();

// Bounds what Qt buffers inside the reply; the content itself is moved into
// our own buffer on every readyRead, so it is never held twice.
constexpr qint64 kReadBufferSize = 1024 * 1024;

// Listeners redraw on every progress event; more than ten a second is waste.
constexpr qint64 kProgressIntervalMs = 100;

// Redirect chains longer than this are a misconfigured server, not a download.
constexpr int kMaxRedirects = 10;

// Below this size the page-fault cost of a fresh buffer does not matter.
constexpr qsizetype kHugePageThreshold = 8 * 1024 * 1024;

// Large buffers are filled once from start to end; on Linux, backing them
// with huge pages roughly halves the cost of touching the fresh memory. It is
// only a hint: where the kernel declines, nothing changes.
void adviseHugePages([[maybe_unused]] char* data, [[maybe_unused]] qsizetype capacity) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (capacity < kHugePageThreshold) {
        return;
    }
    const auto page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const auto begin = (std::uintptr_t(data) + page - 1) / page * page;
    const auto end = (std::uintptr_t(data) + std::uintptr_t(capacity)) / page * page;
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
}

// The length the server announced for the body, read from every
// Content-Length it sent (Qt joins repeated headers into one list).
struct AnnouncedLength {
    qint64 value = -1; // -1: none announced
    QString problem;   // not empty: the announcement cannot be trusted
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
            return {-1,
                    QStringLiteral("The server announced an unreadable length: \"%1\".").arg(QString::fromLatin1(raw))};
        }
        conflicting = conflicting || (value >= 0 && parsed != value);
        value = parsed;
    }
    if (conflicting) {
        // Which one frames the body is anyone's guess; a proxy on the way may
        // have guessed differently from us.
        return {-1, QStringLiteral("The server announced conflicting lengths: %1.")
                        .arg(QString::fromLatin1(values.join(", ")))};
    }
    return {value, QString()};
}

QString httpStatusText(const QNetworkReply& reply) {
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason = reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    return reason.isEmpty() ? QStringLiteral("HTTP status %1").arg(status)
                            : QStringLiteral("HTTP status %1 %2").arg(status).arg(reason);
}

} // namespace

struct NetworkAsyncReader::Read {
    QNetworkReply* reply = nullptr;
    quint64 id = 0; // outlives the reply's address, which a later read may reuse
    QString propertyName;
    qint64 cap = 0;        // the most the read may hold
    qint64 announced = -1; // Content-Length of the final response, -1 while unknown
    bool chunked = false;  // the final response came in HTTP/1.1 chunked coding
    bool headersAccepted = false;
    QByteArray buffer;
    const char* advisedData = nullptr; // the buffer block that has had its huge-page hint
    qint64 lastProgressRead = -1;
    qint64 lastProgressMax = -1;
    QElapsedTimer sinceProgress; // invalid until the first progress event
    bool progressScheduled = false;
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

} // namespace

NetworkAsyncReader::NetworkAsyncReader(QObject* parent, std::chrono::milliseconds stallLimit)
    : AsyncReader(parent), mManager(new QNetworkAccessManager), mStallLimit(stallLimit) {
    // Behind a corporate proxy the updater must go where the browser goes.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

NetworkAsyncReader::~NetworkAsyncReader() {
    // Replies and the manager go later rather than now: the reader may be
    // destroyed from a handler that one of these replies is still emitting.
    for (auto& [reply, read] : mReads) {
        QObject::disconnect(reply, nullptr, this, nullptr);
        dispose(reply);
    }
    mReads.clear();
    mManager->deleteLater();
}

std::optional<AsyncReadError> NetworkAsyncReader::AsyncRead(const QString& target, const QString& propertyName,
                                                            qint64 maxBytes) {
    namespace N = AsyncReadErrorNumber;
    const ParsedTarget parsed = ParseTarget(target);
    if (parsed.error) {
        return parsed.error;
    }
    const QUrl& url = parsed.url;
    if (maxBytes < 1) {
        return AsyncReadError{N::InvalidLimit,
                              QStringLiteral("The size limit of a download must be at least one byte.")};
    }

    QNetworkRequest request(url);
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
    // comparable with what arrives.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    if (mStallLimit.count() > 0) {
        request.setTransferTimeout(int(std::min<std::chrono::milliseconds::rep>(mStallLimit.count(), INT_MAX)));
    }

    QNetworkReply* reply = mManager->get(request);
    reply->setReadBufferSize(kReadBufferSize);

    auto read = std::make_unique<Read>();
    read->reply = reply;
    read->id = ++mLastReadId;
    read->propertyName = propertyName;
    read->cap = std::min(maxBytes, kLargestRead);
    mReads.emplace(reply, std::move(read));

    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { onMetaData(reply); });
    connect(reply, &QIODevice::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
    return std::nullopt;
}

NetworkAsyncReader::Read* NetworkAsyncReader::find(QNetworkReply* reply) {
    const auto it = mReads.find(reply);
    return it == mReads.end() ? nullptr : it->second.get();
}

void NetworkAsyncReader::onMetaData(QNetworkReply* reply) {
    if (Read* read = find(reply)) {
        acceptHeaders(*read);
    }
}

void NetworkAsyncReader::onReadyRead(QNetworkReply* reply) {
    Read* read = find(reply);
    if (!read || !drain(*read)) {
        return;
    }
    // The first bytes are reported at once, later ones at most every interval;
    // a burst followed by silence is still reported when the interval is up.
    if (!read->sinceProgress.isValid() || read->sinceProgress.elapsed() >= kProgressIntervalMs) {
        reportProgress(*read);
    } else if (!read->progressScheduled) {
        read->progressScheduled = true;
        const quint64 id = read->id;
        QTimer::singleShot(kProgressIntervalMs - read->sinceProgress.elapsed(), this, [this, id] {
            for (auto& [r, candidate] : mReads) {
                if (candidate->id == id) {
                    candidate->progressScheduled = false;
                    reportProgress(*candidate);
                    return;
                }
            }
        });
    }
}

bool NetworkAsyncReader::acceptHeaders(Read& read) {
    if (read.headersAccepted) {
        return true;
    }
    QNetworkReply* reply = read.reply;
    const QVariant statusValue = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusValue.isValid()) {
        return true; // no response yet
    }
    const int status = statusValue.toInt();
    if (status >= 400) {
        // Refused before its body arrives: an error page is not the content.
        complete(reply, AsyncReadFailure::Network, httpStatusText(*reply));
        return false;
    }
    if (status < 200 || status >= 300) {
        return true; // a redirect being followed, or a final one judged at the end
    }
    read.headersAccepted = true;

    // Qt passes any coding it did not ask for through untouched: those bytes
    // would not be the file.
    const QByteArray coding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!coding.isEmpty() && coding != "identity") {
        complete(reply, AsyncReadFailure::Network,
                 QStringLiteral("The server sent the body encoded as \"%1\" although the plain bytes were asked for.")
                     .arg(QString::fromLatin1(coding)));
        return false;
    }
    const QByteArray transfer = reply->rawHeader("Transfer-Encoding").trimmed().toLower();
    if (!transfer.isEmpty() && transfer != "chunked") {
        complete(reply, AsyncReadFailure::Network,
                 QStringLiteral("The server used the transfer coding \"%1\", which cannot be read.")
                     .arg(QString::fromLatin1(transfer)));
        return false;
    }
    read.chunked = !transfer.isEmpty();

    const AnnouncedLength length = announcedLength(*reply);
    if (!length.problem.isEmpty()) {
        complete(reply, AsyncReadFailure::Network, length.problem);
        return false;
    }
    if (length.value < 0) {
        return true;
    }
    read.announced = length.value;
    if (read.announced > read.cap) {
        complete(reply, AsyncReadFailure::TooLarge,
                 QStringLiteral("The server announced %1 bytes; at most %2 bytes may be held.")
                     .arg(read.announced)
                     .arg(read.cap));
        return false;
    }
    try {
        read.buffer.reserve(qsizetype(read.announced));
    } catch (const std::bad_alloc&) {
        complete(reply, AsyncReadFailure::WriteFailed,
                 QStringLiteral("No memory for the %1 bytes announced by the server.").arg(read.announced));
        return false;
    }
    adviseHugePages(read.buffer.data(), read.buffer.capacity());
    read.advisedData = read.buffer.constData();
    return true;
}

bool NetworkAsyncReader::drain(Read& read) {
    if (!acceptHeaders(read)) {
        return false;
    }
    QNetworkReply* reply = read.reply;
    for (qint64 available = reply->bytesAvailable(); available > 0; available = reply->bytesAvailable()) {
        const qsizetype held = read.buffer.size();
        if (held + available > read.cap) {
            complete(reply, AsyncReadFailure::TooLarge,
                     QStringLiteral("More than %1 bytes arrived; at most %1 bytes may be held.").arg(read.cap));
            return false;
        }
        try {
            // Read straight into the buffer's tail: no intermediate copy.
            read.buffer.resize(held + qsizetype(available));
        } catch (const std::bad_alloc&) {
            complete(reply, AsyncReadFailure::WriteFailed,
                     QStringLiteral("No memory to hold %1 bytes.").arg(held + available));
            return false;
        }
        if (read.buffer.constData() != read.advisedData) {
            adviseHugePages(read.buffer.data(), read.buffer.capacity());
            read.advisedData = read.buffer.constData();
        }
        const qint64 got = reply->read(read.buffer.data() + held, available);
        read.buffer.resize(held + qsizetype(std::max<qint64>(got, 0)));
        if (got <= 0) {
            break;
        }
    }
    return true;
}

void NetworkAsyncReader::reportProgress(Read& read) {
    const auto bytesRead = qint64(read.buffer.size());
    const auto bytesMax = std::max<qint64>(read.announced, 0);
    if (bytesRead == read.lastProgressRead && bytesMax == read.lastProgressMax) {
        return;
    }
    read.lastProgressRead = bytesRead;
    read.lastProgressMax = bytesMax;
    read.sinceProgress.start();
    AsyncProperty property;
    property.BytesRead = bytesRead;
    property.BytesMax = bytesMax;
    property.PropertyName = read.propertyName;
    emit AsyncReadProgress(property); // last: a handler may destroy the reader
}

void NetworkAsyncReader::onFinished(QNetworkReply* reply) {
    Read* read = find(reply);
    if (!read || !drain(*read)) {
        return;
    }
    const qint64 received = read->buffer.size();
    switch (reply->error()) {
    case QNetworkReply::NoError: {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status < 200 || status >= 300) {
            complete(reply, AsyncReadFailure::Network, httpStatusText(*reply) + QStringLiteral(" is not content."));
        } else if (read->announced >= 0 && received != read->announced) {
            complete(reply, AsyncReadFailure::Network,
                     QStringLiteral("Received %1 of the %2 bytes announced.").arg(received).arg(read->announced));
        } else if (read->announced < 0 && !read->chunked &&
                   !reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()) {
            // Qt ends such a body when the connection closes, and reports a
            // connection cut in the middle of it as a success just the same.
            complete(reply, AsyncReadFailure::Network,
                     QStringLiteral("The server sent no length and no chunked framing; the end of the body cannot be "
                                    "told from a cut connection."));
        } else if (received == 0) {
            complete(reply, AsyncReadFailure::Network, QStringLiteral("The server sent an empty body."));
        } else {
            complete(reply, AsyncReadFailure::None, QString());
        }
        return;
    }
    case QNetworkReply::OperationCanceledError:
        // The reader itself never aborts a read it still tracks, so this is
        // the transfer timeout: nothing arrived for the whole stall limit.
        complete(reply, AsyncReadFailure::Network,
                 QStringLiteral("No data arrived for %1 ms after %2 bytes; the transfer stalled.")
                     .arg(mStallLimit.count())
                     .arg(received));
        return;
    case QNetworkReply::RemoteHostClosedError:
        if (read->announced >= 0) {
            complete(reply, AsyncReadFailure::Network,
                     QStringLiteral("The server closed the connection after %1 of the %2 bytes announced.")
                         .arg(received)
                         .arg(read->announced));
            return;
        }
        if (read->chunked) {
            complete(reply, AsyncReadFailure::Network,
                     QStringLiteral("The server closed the connection after %1 bytes, before the last chunk.")
                         .arg(received));
            return;
        }
        break;
    default:
        break;
    }
    complete(reply, AsyncReadFailure::Network,
             QStringLiteral("%1 (network error %2)").arg(reply->errorString()).arg(int(reply->error())));
}

void NetworkAsyncReader::complete(QNetworkReply* reply, AsyncReadFailure failure, const QString& detail) {
    const auto it = mReads.find(reply);
    if (it == mReads.end()) {
        return;
    }
    const std::unique_ptr<Read> read = std::move(it->second);
    mReads.erase(it);
    QObject::disconnect(reply, nullptr, this, nullptr);
    dispose(reply);

    auto received = qint64(read->buffer.size());
    AsyncProperty property;
    property.PropertyName = read->propertyName;
    property.BytesRead = received;
    property.Failure = failure;
    property.FailureDetail = detail;
    if (failure == AsyncReadFailure::None) {
        if (read->buffer.capacity() > read->buffer.size()) {
            // A body of unknown length grew by doubling; hand out only what it
            // needs. Shrinking a large block only remaps it, nothing is copied.
            try {
                read->buffer.squeeze();
            } catch (const std::bad_alloc&) {
                // Keeping the larger block is harmless.
            }
        }
        if (const std::optional<QString> error = SaveWholeFile(read->propertyName, read->buffer)) {
            property.Failure = failure = AsyncReadFailure::WriteFailed;
            property.FailureDetail = *error;
        } else {
            property.BytesMax = received;
            property.File = read->propertyName;
        }
    }
    read->buffer = QByteArray(); // a failed read's partial content is not kept

    const QPointer<NetworkAsyncReader> alive(this);
    if (failure == AsyncReadFailure::None &&
        (read->lastProgressRead != received || read->lastProgressMax != received)) {
        AsyncProperty last;
        last.BytesRead = received;
        last.BytesMax = received;
        last.PropertyName = read->propertyName;
        emit AsyncReadProgress(last);
        if (!alive) {
            return;
        }
    }
    emit AsyncReadComplete(property);
}

} // namespace host
