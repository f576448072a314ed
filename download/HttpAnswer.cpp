#include "download/HttpAnswer.h"

#include <QNetworkRequest>
#include <QRegularExpression>

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

} // namespace download::http
