#pragma once

#include "host/Failure.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QString>

// What an HTTP answer says about the body it carries, read from its status
// and headers: the checks a transfer makes before it takes a byte.
namespace download::http {

// A server's answer that a transfer does not take: a Network failure.
host::Failure refused(const QString& detail);

// The length the server announced for the body, read from every
// Content-Length it sent (Qt joins repeated headers into one list).
struct AnnouncedLength {
    qint64 value = -1;     // -1: none announced
    host::Outcome problem; // the announcement cannot be trusted
};
AnnouncedLength announcedLength(const QNetworkReply& reply);

// "HTTP status 404 Not Found".
QString httpStatusText(const QNetworkReply& reply);

// The failures a connection can come back from: cut, reset, stalled, or gone
// for a moment. TLS, proxy authentication and refusals by the server are not.
bool isTransient(QNetworkReply::NetworkError error);

// The version an If-Range names: a strong ETag, or else Last-Modified; empty
// when the server offers no byte ranges.
QByteArray rangeValidator(const QNetworkReply& reply);

// Why a 206 does not prove to be part of the version `validator` names: it
// must carry the same strong ETag, or the same Last-Modified when the version
// is a date. A cache that ignored If-Range, or a server whose file changed
// under it, would otherwise splice two files into one.
host::Outcome versionProblem(const QNetworkReply& reply, const QByteArray& validator);

// Why the body's codings make it something other than the file's bytes in
// plain or chunked form. Qt passes any content coding it did not ask for
// through untouched.
host::Outcome codingProblem(const QNetworkReply& reply);

// Why a 206 is not exactly the rest of a file of `total` bytes from `offset`.
host::Outcome continuationProblem(const QNetworkReply& reply, qint64 offset, qint64 total);

} // namespace download::http
