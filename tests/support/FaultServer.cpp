#include "tests/support/FaultServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cctype>
#include <memory>

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

FaultRoute FaultRoute::ok(const QByteArray& body) {
    FaultRoute r;
    r.body = body;
    return r;
}

FaultRoute FaultRoute::withStatus(int status, const QByteArray& body) {
    FaultRoute r;
    r.status = status;
    r.body = body;
    return r;
}

FaultRoute FaultRoute::cutOff(const QByteArray& sent, qint64 announced) {
    FaultRoute r;
    r.body = sent;
    r.announced = announced;
    return r;
}

FaultRoute FaultRoute::stall(const QByteArray& sent, qint64 announced) {
    FaultRoute r = cutOff(sent, announced);
    r.hang = true;
    return r;
}

FaultRoute FaultRoute::redirect(const QString& location, int status) {
    FaultRoute r;
    r.status = status;
    r.location = location.toUtf8();
    return r;
}

FaultRoute FaultRoute::withoutLength(const QByteArray& body) {
    FaultRoute r;
    r.body = body;
    r.announced = AnnounceNothing;
    return r;
}

FaultRoute FaultRoute::chunked(const QByteArray& body, bool finished) {
    constexpr qsizetype kChunk = 16 * 1024;
    QByteArray wire;
    for (qsizetype at = 0; at < body.size(); at += kChunk) {
        const QByteArray piece = body.mid(at, kChunk);
        wire += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    if (finished) {
        wire += "0\r\n\r\n";
    }
    return withHeaders("Transfer-Encoding: chunked\r\n", wire);
}

FaultRoute FaultRoute::withHeaders(const QByteArray& headers, const QByteArray& body) {
    FaultRoute r = withoutLength(body);
    r.extraHeaders = headers;
    return r;
}

FaultRoute FaultRoute::empty() {
    return ok(QByteArray());
}

FaultRoute FaultRoute::trickle(const QByteArray& body, int chunkSize, int intervalMs) {
    FaultRoute r = ok(body);
    r.chunkSize = chunkSize;
    r.chunkIntervalMs = intervalMs;
    return r;
}

FaultRoute FaultRoute::ranged(const QByteArray& body, const QByteArray& validator, qint64 cutAfter,
                              const QList<FaultRoute>& then) {
    FaultRoute r = ok(body);
    r.ranges = true;
    r.validator = validator;
    r.cutAfter = cutAfter;
    r.then = then;
    return r;
}

FaultServer::FaultServer(QObject* parent) : QObject(parent), mServer(new QTcpServer(this)) {
    connect(mServer, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
    mServer->listen(QHostAddress::LocalHost, 0);
}

FaultServer::~FaultServer() = default;

bool FaultServer::isListening() const {
    return mServer->isListening();
}

quint16 FaultServer::port() const {
    return mServer->serverPort();
}

QUrl FaultServer::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void FaultServer::route(const QString& path, const FaultRoute& behaviour) {
    mRoutes.insert(path, behaviour);
}

int FaultServer::requestCount(const QString& path) const {
    int count = 0;
    for (const FaultRequest& request : mRequests) {
        count += request.path == path ? 1 : 0;
    }
    return count;
}

int FaultServer::openConnections() const {
    return int(findChildren<QTcpSocket*>().size());
}

quint16 FaultServer::unusedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void FaultServer::onNewConnection() {
    while (QTcpSocket* socket = mServer->nextPendingConnection()) {
        socket->setParent(this);
        mPending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            mPending.remove(socket);
            socket->deleteLater();
        });
    }
}

void FaultServer::onReadable(QTcpSocket* socket) {
    if (!mPending.contains(socket)) {
        socket->readAll(); // already answered; whatever follows is ignored
        return;
    }
    QByteArray& pending = mPending[socket];
    pending += socket->readAll();
    if (!pending.isEmpty() && !std::isupper(static_cast<unsigned char>(pending[0]))) {
        // Not HTTP (say, a TLS handshake): answer as a plain server would.
        mPending.remove(socket);
        socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const qsizetype end = pending.indexOf("\r\n\r\n");
    if (end < 0) {
        return;
    }
    const QList<QByteArray> lines = pending.left(end).split('\n');
    mPending.remove(socket);

    FaultRequest request;
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    const QByteArray target = first.value(1);
    const qsizetype query = target.indexOf('?');
    request.path = QString::fromUtf8(query < 0 ? target : target.left(query));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
    }
    mRequests.append(request);
    FaultRoute route = mRoutes.value(request.path, FaultRoute::withStatus(404, "no such path"));
    const qsizetype later = requestCount(request.path) - 2;
    if (later >= 0 && !route.then.isEmpty()) {
        route = route.then.value(later, route.then.last());
    }
    answer(socket, route, request);
}

void FaultServer::answer(QTcpSocket* socket, const FaultRoute& original, const FaultRequest& request) {
    FaultRoute route = original;
    QByteArray head;
    if (route.ranges) {
        head += "Accept-Ranges: bytes\r\n";
        const QByteArray range = request.headers.value("range");
        const QByteArray ifRange = request.headers.value("if-range");
        if (range.startsWith("bytes=") && range.endsWith('-') &&
            (ifRange.isEmpty() || ifRange == route.validator || route.ignoresIfRange)) {
            const qint64 from = range.mid(6, range.size() - 7).toLongLong();
            head += "Content-Range: bytes " + QByteArray::number(from + route.rangeShift) + '-' +
                    QByteArray::number(route.body.size() - 1) + '/' + QByteArray::number(route.body.size()) + "\r\n";
            route.status = 206;
            route.body = route.body.mid(from);
        }
    }
    if (!route.validator.isEmpty()) {
        const bool etag = route.validator.startsWith('"') || route.validator.startsWith("W/");
        head += (etag ? "ETag: " : "Last-Modified: ") + route.validator + "\r\n";
    }
    if (route.announced == FaultRoute::AnnounceBodySize) {
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    } else if (route.announced >= 0) {
        head += "Content-Length: " + QByteArray::number(route.announced) + "\r\n";
    }
    if (route.cutAfter >= 0) {
        route.body.truncate(route.cutAfter);
    }
    head.prepend("HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonPhrase(route.status) + "\r\n");
    if (!route.location.isEmpty()) {
        head += "Location: " + route.location + "\r\n";
    }
    head += route.extraHeaders;
    head += "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
    socket->write(head);

    if (route.chunkSize <= 0) {
        socket->write(route.body);
        if (!route.hang) {
            socket->disconnectFromHost();
        }
        return;
    }
    // Trickle: one chunk per tick, then close.
    auto* timer = new QTimer(socket);
    timer->setInterval(route.chunkIntervalMs);
    auto offset = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket, [socket, timer, route, offset] {
        socket->write(route.body.mid(*offset, route.chunkSize));
        *offset += route.chunkSize;
        if (*offset >= route.body.size()) {
            timer->stop();
            if (!route.hang) {
                socket->disconnectFromHost();
            }
        }
    });
    timer->start();
}
