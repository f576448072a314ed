#pragma once

#include "download/AsyncRead.h"
#include "download/NetworkTransfer.h"

#include <chrono>

class QNetworkAccessManager;

namespace download {

// Reads http and https URLs into files with QNetworkAccessManager, on the
// thread that owns the reader (the user-interface thread), one
// NetworkTransfer job per read. A read that asks
// for a digest starts a thread of its own, which hashes the chunks already
// stored while the next ones arrive. The end of a read, when its body is
// whole, runs on a worker thread: syncing the part file to the disk and
// waiting for the digest take seconds for a large package on a slow disk,
// and the window must not stand still meanwhile. Only the rename of the part
// file over the target comes back to the reader's thread, together with the
// completion, so that the target changes only when a completion says so.
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
// content would exceed the read's maxBytes (TooLarge). A body without a
// length also fails as TooLarge before it leaves less free space in its
// folder's file system than 1 GiB or 5% of it, whichever is less.
//
// A transfer that brings less than the rate floor (RateWatch) over the last
// minute stalls as well, however often single bytes keep its link alive; it
// resumes as any stall does, and the fourth fails as TooSlow, naming the
// rate. While a transfer crawls, its progress carries its rate.
//
// The bytes go to a part file in the target's folder as they arrive, so
// memory stays flat whatever the size; the part file replaces the target,
// synced to the disk, only once the body is whole. An announced size beyond
// the folder's free space fails at once (NoSpace); a write that fails (a full
// disk, a removed folder) ends the read (WriteFailed, the system's reason).
// A failed or abandoned read leaves the target as it was, and no part file
// unless it is resumable (below).
//
// A transfer that drops, resets or stalls after some bytes goes on where it
// stopped, up to three times after pauses of one, two and four times the
// resume pause, when the first answer offered byte ranges and named its
// version (a strong ETag or Last-Modified). The server must then answer with
// exactly the rest of that same file, and prove it is that file: a 206 must
// carry the strong ETag the resume named, or its Last-Modified when the
// version is a date. One that sends the whole file instead has changed it;
// one that sends part of another version, or names none, is answered with a
// new request for the whole file. Either way the read starts over from byte 0
// once; a second time fails it. Progress of a resumed transfer carries the
// count of resumes.
//
// The digest covers exactly the bytes of the stored file: a resumed transfer
// goes on with the same hash, one that starts over starts it over too.
//
// A resumable read (AsyncReadOptions) keeps its part under a fixed name with
// a record beside it (KeptPart.h), syncs it in steps on a worker thread
// (DurableSteps), and leaves both when it is abandoned or fails on the way.
// A later read of the same address, file and release continues the part:
// its first progress reports the kept bytes at once, its digest is first
// made of the kept bytes on the digest's own thread, and its first request
// asks for the rest with Range and If-Range. An answer that does not
// continue the part (the file changed, another total, part of another
// version) discards it and the read starts over, with one log line saying
// why, as does a part that cannot be continued at all.
//
// Once the body is whole a last progress event reports its whole size, so a
// listener that remembers the last progress total sees the real size while
// the package goes to the disk; only the completion follows it.
//
// Several reads may run at once; their events carry their own PropertyName.
// Destroying the reader aborts the reads still running and no event of
// theirs follows; it may be destroyed from inside one of its own handlers.
// A resumable read keeps its part, and a last step records all of its bytes.
// A read whose end is still on its worker thread then finishes there alone:
// it removes its part file (a resumable one keeps it) and leaves the target
// as it was, without waiting for the disk on the reader's thread.
class NetworkAsyncReader : public AsyncReader {
    Q_OBJECT
public:
    // A `stallLimit` of zero or less disables the stall watch.
    explicit NetworkAsyncReader(QObject* parent = nullptr,
                                std::chrono::milliseconds stallLimit = std::chrono::seconds(30));
    ~NetworkAsyncReader() override;

    Transfer* transfer(const QString& target, const QString& propertyName, qint64 maxBytes,
                       const AsyncReadOptions& options = {}) override;

    // The pause before the first resume; each further one doubles it.
    void setResumePause(std::chrono::milliseconds pause) { mSettings.resumePause = pause; }
    // The floor under which a transfer crawls; the build sets its default.
    void setRateFloor(const RateWatch::Policy& policy) { mSettings.rate = policy; }
    // How often a resumable read's part is made durable.
    void setDurableSteps(const DurableSteps::Policy& policy) { mSettings.steps = policy; }

    // The rate floor a build gets: KELVANE_MIN_TRANSFER_RATE bytes a second.
    static RateWatch::Policy DefaultRateFloor();

private:
    QNetworkAccessManager* mManager;
    NetworkTransfer::Settings mSettings;
};

} // namespace download
