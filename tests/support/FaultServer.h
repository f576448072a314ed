#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

// A tiny HTTP/1.1 server on 127.0.0.1 for tests, driven by the test's own
// event loop. Each path answers with one scripted behaviour: a normal body,
// an error status, a cut-off or stalled body, a redirect, a body without
// Content-Length, a chunked one, one with raw headers of the test's choosing,
// an empty body, a body that trickles in slowly, or a file offered in byte
// ranges that a resumed download continues. Every
// answer closes the connection when it is done (a stall never does).
//
//     FaultServer server;
//     server.route("/version.txt", FaultRoute::ok("Product\r\n1.2\r\nhttp://...\r\n"));
//     server.route("/old", FaultRoute::redirect("/version.txt"));
//     reader.AsyncRead(server.url("/version.txt").toString(), ...);
//
// Paths without a route answer 404. FaultServer::unusedPort() gives a port on
// which a connection is refused.
struct FaultRoute {
    // How much Content-Length announces: the body's size, a given number, or
    // nothing at all (the body then ends when the connection closes).
    static constexpr qint64 AnnounceBodySize = -1;
    static constexpr qint64 AnnounceNothing = -2;

    int status = 200;
    QByteArray body;                     // the bytes actually sent
    qint64 announced = AnnounceBodySize; // see above
    QByteArray location;                 // Location header, for redirects
    QByteArray extraHeaders;             // raw header lines, each ending in CR LF
    bool hang = false;                   // keep the connection open, silent, after the body
    int chunkSize = 0;                   // > 0: send the body in chunks of this size...
    int chunkIntervalMs = 0;             // ...this many milliseconds apart
    // Ranges: "Accept-Ranges: bytes" is sent, and "Range: bytes=N-" gets a
    // 206 with the rest when If-Range is absent or names `validator`, or
    // whatever it names when `ignoresIfRange` (a misbehaving cache).
    bool ranges = false;
    bool ignoresIfRange = false;
    QByteArray validator;   // sent as ETag when quoted or weak, else as Last-Modified
    qint64 cutAfter = -1;   // >= 0: only this many bytes of the body go out, then the connection closes
    qint64 rangeShift = 0;  // a 206 whose Content-Range starts this many bytes off
    QList<FaultRoute> then; // the answers to the later requests on the path; the last one repeats

    // 200 with the body and its Content-Length.
    static FaultRoute ok(const QByteArray& body);
    // Any status, with an optional body (e.g. 404, 500).
    static FaultRoute withStatus(int status, const QByteArray& body = QByteArray());
    // Announces `announced` bytes, sends `sent` (fewer), then closes.
    static FaultRoute cutOff(const QByteArray& sent, qint64 announced);
    // Announces `announced` bytes, sends `sent`, then goes silent with the
    // connection open.
    static FaultRoute stall(const QByteArray& sent, qint64 announced);
    // A redirect (302 unless told otherwise) to `location`, a path on this
    // server or an absolute URL.
    static FaultRoute redirect(const QString& location, int status = 302);
    // 200 without Content-Length: the body ends with the connection.
    static FaultRoute withoutLength(const QByteArray& body);
    // 200 in chunked coding, without Content-Length; `finished` false leaves
    // out the last chunk, as a connection cut in the middle would.
    static FaultRoute chunked(const QByteArray& body, bool finished = true);
    // 200 with the given raw header lines and no Content-Length of its own.
    static FaultRoute withHeaders(const QByteArray& headers, const QByteArray& body);
    // 200 with Content-Length 0.
    static FaultRoute empty();
    // 200 with Content-Length; the body goes out `chunkSize` bytes at a time,
    // `intervalMs` apart: a slow but living link.
    static FaultRoute trickle(const QByteArray& body, int chunkSize, int intervalMs);
    // A file offered in ranges under `validator`, cut after `cutAfter` bytes
    // of the body (-1: whole), followed on later requests by `then`.
    static FaultRoute ranged(const QByteArray& body, const QByteArray& validator, qint64 cutAfter = -1,
                             const QList<FaultRoute>& then = {});
};

// One request as the server received it.
struct FaultRequest {
    QByteArray method;
    QString path;
    QHash<QByteArray, QByteArray> headers; // names in lower case
};

class FaultServer : public QObject {
    Q_OBJECT
public:
    // Listens on 127.0.0.1 at a free port; check isListening().
    explicit FaultServer(QObject* parent = nullptr);
    ~FaultServer() override;

    bool isListening() const;
    quint16 port() const;
    // http://127.0.0.1:PORT followed by `path`.
    QUrl url(const QString& path) const;

    // Sets (or replaces) what `path` answers; the path excludes the query.
    void route(const QString& path, const FaultRoute& behaviour);

    // Every request received so far, in order.
    const QList<FaultRequest>& requests() const { return mRequests; }
    int requestCount(const QString& path) const;
    // Connections still open: a stalled answer stays open until the client
    // gives up, so this tells whether it did.
    int openConnections() const;

    // A port on 127.0.0.1 where nothing listens: connecting is refused.
    static quint16 unusedPort();

private:
    void onNewConnection();
    void onReadable(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const FaultRoute& route, const FaultRequest& request);

    QTcpServer* mServer;
    QHash<QString, FaultRoute> mRoutes;
    QHash<QTcpSocket*, QByteArray> mPending; // request bytes until the header is complete
    QList<FaultRequest> mRequests;
};
