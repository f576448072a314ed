#pragma once

#include "host/AsyncRead.h"

#include <chrono>
#include <map>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace host {

// Reads http and https URLs into memory with QNetworkAccessManager, on the
// thread that owns the reader (the user-interface thread); it starts no
// thread of its own.
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
// content would exceed the read's maxBytes or 2,147,483,647 bytes (TooLarge)
// or cannot be allocated (OutOfMemory). A slow transfer never fails as long
// as bytes keep coming.
//
// The content is held once: it is received straight into the buffer that the
// completion hands out as AsyncProperty::Value. Before a successful
// completion a last progress event reports the whole size, so a listener
// that remembers the last progress total sees the real size.
//
// Several reads may run at once; their events carry their own PropertyName.
// Destroying the reader aborts the reads still running and no event of
// theirs follows; it may be destroyed from inside one of its own handlers.
class NetworkAsyncReader : public AsyncReader {
    Q_OBJECT
public:
    // A `stallLimit` of zero or less disables the stall watch.
    explicit NetworkAsyncReader(QObject* parent = nullptr,
                                std::chrono::milliseconds stallLimit = std::chrono::seconds(30));
    ~NetworkAsyncReader() override;

    std::optional<AsyncReadError> AsyncRead(const QString& target, const QString& propertyName,
                                            qint64 maxBytes) override;

    // Reads that have started and not yet completed.
    int runningReads() const { return int(mReads.size()); }

private:
    struct Read;

    void onMetaData(QNetworkReply* reply);
    void onReadyRead(QNetworkReply* reply);
    void onFinished(QNetworkReply* reply);

    // Checks status and announced size once the final response is known and
    // reserves the buffer. False when the read has been completed as failed.
    bool acceptHeaders(Read& read);
    // Moves what the reply holds into the buffer. False when the read has
    // been completed as failed.
    bool drain(Read& read);
    // Emits progress when something changed since the last report.
    void reportProgress(Read& read);
    // Ends a read: stops and disposes of its reply, then emits the
    // completion (a failure when `failure` is not None). Emits last, so a
    // handler may destroy the reader.
    void complete(QNetworkReply* reply, AsyncReadFailure failure, const QString& detail);
    Read* find(QNetworkReply* reply);

    QNetworkAccessManager* mManager;
    std::chrono::milliseconds mStallLimit;
    std::map<QNetworkReply*, std::unique_ptr<Read>> mReads;
    quint64 mLastReadId = 0;
};

} // namespace host
