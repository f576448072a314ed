#pragma once

#include "host/Failure.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
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

struct AsyncProperty {
    // Bytes received so far.
    qint64 BytesRead = 0;
    // Progress: the announced size, or 0 while it is unknown. Completion: the
    // size of the stored file, or 0 for a failed read.
    qint64 BytesMax = 0;
    // The name given to AsyncRead: the path of the local file.
    QString PropertyName;
    // Completion only: the file that now holds the whole content (the
    // PropertyName), or empty for a failed read.
    QString File;
    // How often the transfer has been resumed after a dropped connection; a
    // progress event with a count above 0 belongs to a resumed transfer.
    int Resumes = 0;
    // The bytes this read took over from a part that an earlier run kept;
    // above 0, the read continues that run's download.
    qint64 Kept = 0;
    // Progress only: the rate over the last minute, in bytes a second, when
    // the transfer crawls (a few times its floor or less); -1 otherwise.
    qint64 CrawlRate = -1;
    // Completion only: why the read failed, or nothing when it succeeded. The
    // kinds a read fails with: Network (no connection, an HTTP error status, a
    // cut-off or stalled transfer, an end nothing proves, an empty body, TLS),
    // TooSlow (a transfer that crawled under its floor once too often, or a
    // read that did not end within its deadline), TooLarge (more bytes than
    // the read may hold, announced or received, or than a body without a
    // length may take of the disk),
    // NoSpace (the announced size does not fit in the free space of the
    // target's folder) and WriteFailed (the bytes could not be stored: a full
    // disk, the folder removed, the target in the way). The detail names the
    // folder or file and the system's or the server's reason.
    host::Outcome Failure;
    // Completion only, when the read asked for it: the BLAKE2b-512 digest
    // (64 bytes) of the stored file, exactly as it lies on the disk. Empty
    // otherwise and for a failed read.
    QByteArray Digest;
};

// What a read does besides storing the content.
struct AsyncReadOptions {
    // Hash the content as it is stored: AsyncProperty::Digest.
    bool digest = false;
    // The read may be continued by a later run: its part file has a fixed
    // name and a record beside it (KeptPart.h), is synced to the disk in
    // steps, and stays when the read is abandoned or fails on the way; a read
    // of the same address and file continues it. The part goes when the read
    // ends whole, or fails for a reason a later run cannot mend.
    bool resumable = false;
    // With `resumable`: what the content must be, for a caller that knows
    // (a signed release). A kept part recorded for another release is not
    // continued.
    QByteArray release;
    // The completion leaves the whole content under its part file's name,
    // synced, for the caller to prove and then name, or remove: the target
    // never holds content that has not been proven. AsyncProperty::File
    // names the part file.
    bool unproven = false;
    // The whole read must end within this time, or fails as TooSlow; zero
    // leaves it unbounded (the rate floor still holds).
    std::chrono::milliseconds deadline{0};
};

// A read that could not even be started: a number and a description.
struct AsyncReadError {
    int Number = 0;
    QString Description;
};

// The numbers an AsyncReadError carries. They stay stable, since they are
// shown to the user in a message box and may be quoted back to support.
namespace AsyncReadErrorNumber {
constexpr int EmptyTarget = 1001;       // no address at all
constexpr int MalformedTarget = 1002;   // not an absolute URL with a host
constexpr int UnsupportedScheme = 1003; // anything but http and https
constexpr int InvalidLimit = 1004;      // maxBytes below one byte: nothing could ever be held
} // namespace AsyncReadErrorNumber

// Parses `target` the way a browser reads an address typed or pasted: blanks
// and control characters at either end are dropped, tabs and line breaks
// inside are removed, and characters a URL cannot hold as they stand (a
// blank inside the path, say) are percent-encoded. Returns the URL, or why it
// can never be downloaded: empty, not absolute, a scheme other than http and
// https, or no server.
struct ParsedTarget {
    QUrl url;
    std::optional<AsyncReadError> error;
};
ParsedTarget ParseTarget(const QString& target);

class AsyncReader : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~AsyncReader() override = default;

    // Starts reading `target` into the file `propertyName`, always asking for
    // the newest copy, and returns at once. `maxBytes` caps what the read may
    // hold; more is a failed read. With `options.digest` the completion
    // carries the digest of what was stored, made while the read goes on: the
    // bytes are read back as they are stored, from the system's file cache
    // while it still holds them, not from the disk after the end.
    // Returns an error when the read cannot be started; then no event follows.
    virtual std::optional<AsyncReadError> AsyncRead(const QString& target, const QString& propertyName, qint64 maxBytes,
                                                    const AsyncReadOptions& options = {}) = 0;

signals:
    void AsyncReadProgress(const download::AsyncProperty& property);
    void AsyncReadComplete(const download::AsyncProperty& property);
};

} // namespace download

// Lets the events travel through QVariant, QSignalSpy and queued connections.
Q_DECLARE_METATYPE(download::AsyncProperty)
