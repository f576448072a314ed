#pragma once

#include "host/Failure.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <chrono>

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

// The request for `url` from byte `offset` (0: the whole file): the newest
// copy, the bytes as stored, redirects that stay as safe, and a stall limit.
// From an offset, If-Range names `validator`: the rest of the same file, or
// the whole file when it has changed.
QNetworkRequest MakeRequest(const QUrl& url, qint64 offset, const QByteArray& validator,
                            std::chrono::milliseconds stallLimit);

// What a transfer knows when the headers of an answer arrive.
struct Expecting {
    qint64 offset = 0;      // where the request asked to start; 0: the whole file
    qint64 total = -1;      // the file's length as first announced; -1 unknown
    QByteArray validator;   // the version the request named in If-Range
    bool fromKept = false;  // the offset continues a part an earlier run kept
    bool restarted = false; // the transfer has started over once already
    qint64 maxBytes = 0;
};

// What to do with an answer, judged from its status and headers alone.
struct Verdict {
    enum class Step {
        Wait,  // no final answer yet: no status so far, or a redirect being followed
        Whole, // the whole file from byte 0: whatever is stored goes first
        Rest,  // exactly the rest of the stored bytes
        Again, // part of another version: ask anew for the whole file
        Fail,  // refused
    };
    Step step = Step::Wait;
    host::Outcome failure; // Fail: why; Again: why, should the transfer have started over before
    QString leftKept;      // a kept part does not go on, and why (Whole, Again)
    bool restart = false;  // Whole or Again counts as the transfer's one start over
    qint64 announced = -1; // Whole: the body's length, -1 when none; Rest: the rest's
    bool chunked = false;
    QByteArray validator; // Whole: the version a later resume may name; empty when none
};
Verdict Judge(const QNetworkReply& reply, const Expecting& expecting);

// Why an attempt's transfer broke off, in words, from the reply's error:
// `received` bytes of this attempt, `written` in all.
QString TransferProblem(const QNetworkReply& reply, qint64 received, qint64 written, qint64 announced, bool chunked,
                        std::chrono::milliseconds stallLimit);

// Why a body that ended as the server meant it to is not the whole file:
// its end nothing proves (HTTP/1.x without a length or chunks), it is empty,
// or it is not the `total` announced first; nothing when it is whole.
host::Outcome EndProblem(const QNetworkReply& reply, qint64 announced, bool chunked, qint64 written, qint64 total);

// Stops a reply that is no longer wanted, from the event loop rather than
// now: the reply may be in the middle of emitting the signal that led here.
void Dispose(QNetworkReply* reply);

} // namespace download::http
