#include "download/HttpAnswer.h"

#include <QNetworkRequest>
#include <QRegularExpression>

#include <algorithm>
#include <climits>

namespace download::http {

using Kind = host::Failure::Kind;

host::Failure refused(const QString& detail) {
    return {Kind::Network, detail};
}

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

host::Outcome continuationProblem(const QNetworkReply& reply, qint64 offset, qint64 total) {
    static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
    const QByteArray raw = reply.rawHeader("Content-Range").trimmed();
    const QRegularExpressionMatch match = range.match(QString::fromLatin1(raw));
    if (!match.hasMatch() || match.captured(1).toLongLong() != offset || match.captured(2).toLongLong() != total - 1 ||
        match.captured(3).toLongLong() != total) {
        return refused(QStringLiteral("The server sent the range \"%1\" where bytes %2-%3/%4 were asked for.")
                           .arg(QString::fromLatin1(raw))
                           .arg(offset)
                           .arg(total - 1)
                           .arg(total));
    }
    return std::nullopt;
}

namespace {
// Redirect chains longer than this are a misconfigured server, not a download.
constexpr int kMaxRedirects = 10;

Verdict failed(host::Failure failure) {
    Verdict verdict;
    verdict.step = Verdict::Step::Fail;
    verdict.failure = std::move(failure);
    return verdict;
}

Verdict again(const host::Failure& why, bool restart, const QString& leftKept = QString()) {
    Verdict verdict;
    verdict.step = Verdict::Step::Again;
    verdict.failure = why;
    verdict.restart = restart;
    verdict.leftKept = leftKept;
    return verdict;
}

// Which part of the file a 2xx answer holds, before its framing is read.
Verdict classify(const QNetworkReply& reply, int status, const Expecting& e) {
    const bool resuming = e.offset > 0;
    Verdict verdict;
    verdict.step = Verdict::Step::Whole;
    if (e.fromKept && status == 206) {
        // Part of the file, which must be the rest of the kept part's.
        host::Outcome problem = versionProblem(reply, e.validator);
        if (!problem) {
            problem = continuationProblem(reply, e.offset, e.total);
        }
        if (problem) {
            return again(*problem, false, problem->detail);
        }
        verdict.step = Verdict::Step::Rest;
    } else if (e.fromKept && status == 200) {
        // If-Range sends the whole file when it is no longer the one named.
        verdict.leftKept = QStringLiteral("the file on the server changed since (it is no longer %1)")
                               .arg(QString::fromLatin1(e.validator));
    } else if (resuming && status == 206) {
        if (const host::Outcome otherVersion = versionProblem(reply, e.validator)) {
            return again(*otherVersion, true);
        }
        if (host::Outcome problem = continuationProblem(reply, e.offset, e.total)) {
            return failed(*std::move(problem));
        }
        verdict.step = Verdict::Step::Rest;
    } else if (resuming && status == 200 && !e.restarted) {
        verdict.restart = true; // the file is no longer the one whose start is stored
    } else if (resuming || status == 206) {
        return failed(
            refused(httpStatusText(reply) + QStringLiteral(" does not continue the %1 bytes received.").arg(e.offset)));
    }
    return verdict;
}
} // namespace

Verdict Judge(const QNetworkReply& reply, const Expecting& e) {
    const QVariant statusValue = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusValue.isValid()) {
        return {}; // no response yet
    }
    const int status = statusValue.toInt();
    if (status == 416 && e.fromKept) {
        // The file is no longer as long as the part says.
        return again(refused(httpStatusText(reply)), false,
                     httpStatusText(reply) + QStringLiteral(" to the request for the rest"));
    }
    if (status >= 400) {
        // Refused before its body arrives: an error page is not the content.
        return failed(refused(httpStatusText(reply)));
    }
    if (status < 200 || status >= 300) {
        return {}; // a redirect being followed, or a final one judged at the end
    }
    Verdict verdict = classify(reply, status, e);
    if (verdict.step != Verdict::Step::Whole && verdict.step != Verdict::Step::Rest) {
        return verdict;
    }
    if (host::Outcome coding = codingProblem(reply)) {
        return failed(*std::move(coding));
    }
    verdict.chunked = !reply.rawHeader("Transfer-Encoding").trimmed().isEmpty();
    const AnnouncedLength length = announcedLength(reply);
    if (length.problem) {
        return failed(*length.problem);
    }
    if (verdict.step == Verdict::Step::Rest) {
        const qint64 rest = e.total - e.offset;
        if (length.value >= 0 && length.value != rest) {
            return failed(refused(QStringLiteral("The server announced %1 bytes for the last %2 bytes of the file.")
                                      .arg(length.value)
                                      .arg(rest)));
        }
        verdict.announced = rest;
        return verdict;
    }
    verdict.announced = length.value;
    verdict.validator = rangeValidator(reply);
    if (verdict.announced > e.maxBytes) {
        return failed(host::Failure{Kind::TooLarge, QStringLiteral("The server announced %1 bytes; at most %2 bytes "
                                                                   "may be held.")
                                                        .arg(verdict.announced)
                                                        .arg(e.maxBytes)});
    }
    return verdict;
}

QNetworkRequest MakeRequest(const QUrl& url, qint64 offset, const QByteArray& validator,
                            std::chrono::milliseconds stallLimit) {
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
    // comparable with what arrives, and ranges count the stored bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    if (stallLimit.count() > 0) {
        request.setTransferTimeout(int(std::min<std::chrono::milliseconds::rep>(stallLimit.count(), INT_MAX)));
    }
    if (offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        request.setRawHeader("If-Range", validator);
    }
    return request;
}

QString TransferProblem(const QNetworkReply& reply, qint64 received, qint64 written, qint64 announced, bool chunked,
                        std::chrono::milliseconds stallLimit) {
    switch (reply.error()) {
    case QNetworkReply::OperationCanceledError:
        // A transfer never aborts a reply it still listens to, so this is the
        // transfer timeout: nothing arrived for the whole stall limit.
        return QStringLiteral("No data arrived for %1 ms after %2 bytes; the transfer stalled.")
            .arg(stallLimit.count())
            .arg(written);
    case QNetworkReply::RemoteHostClosedError:
        if (announced >= 0) {
            return QStringLiteral("The server closed the connection after %1 of the %2 bytes announced.")
                .arg(received)
                .arg(announced);
        }
        if (chunked) {
            return QStringLiteral("The server closed the connection after %1 bytes, before the last chunk.")
                .arg(received);
        }
        break;
    default:
        break;
    }
    return QStringLiteral("%1 (network error %2)").arg(reply.errorString()).arg(int(reply.error()));
}

host::Outcome EndProblem(const QNetworkReply& reply, qint64 announced, bool chunked, qint64 written, qint64 total) {
    if (announced < 0 && !chunked && !reply.attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()) {
        // Qt ends such a body when the connection closes, and reports a
        // connection cut in the middle of it as a success just the same.
        return refused(QStringLiteral("The server sent no length and no chunked framing; the end of the body cannot "
                                      "be told from a cut connection."));
    }
    if (written == 0) {
        return refused(QStringLiteral("The server sent an empty body."));
    }
    if (total >= 0 && written != total) {
        return refused(QStringLiteral("Stored %1 of the %2 bytes announced.").arg(written).arg(total));
    }
    return std::nullopt;
}

void Dispose(QNetworkReply* reply) {
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

} // namespace download::http
