#pragma once

#include "download/AsyncRead.h"

#include <QList>

// A reader that reaches no network: it records each started read and emits
// only the progress and completion events a test scripts.
class FakeAsyncReader : public download::AsyncReader {
    Q_OBJECT
public:
    struct Started {
        QString target;
        QString propertyName;
        qint64 maxBytes = 0;
        download::AsyncReadOptions options;
    };

    using download::AsyncReader::AsyncReader;

    std::optional<download::AsyncReadError> AsyncRead(const QString& target, const QString& propertyName,
                                                      qint64 maxBytes,
                                                      const download::AsyncReadOptions& options = {}) override;

    // The next AsyncRead refuses to start with this error (once).
    std::optional<download::AsyncReadError> refuseNext;
    QList<Started> started;

    void progress(const QString& propertyName, qint64 bytesRead, qint64 bytesMax, int resumes = 0, qint64 kept = 0,
                  qint64 crawlRate = -1);
    // A successful read of `content`: the file `propertyName` gets it, as the
    // real reader stores it (BytesMax = its size), with the content's digest
    // when the read asked for one, under its part's name when the read
    // leaves the content to be proven. Where it cannot be stored,
    // a WriteFailed completion with the system's reason, as the real one.
    void complete(const QString& propertyName, const QByteArray& content);
    // A failed read (BytesMax 0).
    void fail(const QString& propertyName, host::Failure::Kind failure = host::Failure::Kind::Network);
};
