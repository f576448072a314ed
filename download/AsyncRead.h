#pragma once

#include "download/Transfer.h"

#include <QObject>
#include <QString>

#include <optional>

// Asynchronous reads of a URL into a local file. A read reports back through
// events on the user-interface thread: AsyncReadProgress zero or more times
// while data arrives, then AsyncReadComplete exactly once, whether the read
// succeeded or failed.
//
// The content is stored in the file named by the read's PropertyName. It is
// streamed into a part file beside it (see PartFile.h) and replaces that file
// only once it is whole, right before the completion that says so; a read
// that fails, or is abandoned, leaves the target as it was, and no part file
// unless the read may be continued by a later run (AsyncReadOptions).
namespace download {

// A downloader: it makes the transfer jobs, one per file, and offers the
// host's asynchronous read on top of them.
class AsyncReader : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~AsyncReader() override = default;

    // A job that reads `target` into the file `propertyName`, always asking
    // for the newest copy; not started yet. The reader is its parent: a job
    // still running when the reader goes is aborted with it. `maxBytes` caps
    // what the read may hold; more is a failed read. With `options.digest`
    // the completion carries the digest of what was stored, made while the
    // read goes on: the bytes are read back as they are stored, from the
    // system's file cache while it still holds them, not from the disk after
    // the end.
    virtual Transfer* transfer(const QString& target, const QString& propertyName, qint64 maxBytes,
                               const AsyncReadOptions& options = {}) = 0;

    // The host's asynchronous read: starts such a job and returns at once,
    // or returns why the read cannot start, and then no event follows. The
    // job reports through AsyncReadProgress and, exactly once,
    // AsyncReadComplete, both carrying the PropertyName.
    std::optional<AsyncReadError> AsyncRead(const QString& target, const QString& propertyName, qint64 maxBytes,
                                            const AsyncReadOptions& options = {});

    // Jobs that have started and not yet ended.
    int runningReads() const;

signals:
    void AsyncReadProgress(const download::AsyncProperty& property);
    void AsyncReadComplete(const download::AsyncProperty& property);
};

} // namespace download
