#pragma once

#include "download/Blake2b.h"
#include "download/PartFile.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

namespace download {

// The end of a transfer whose body is whole, on a worker thread: syncing the
// part file to the disk and waiting for its digest take seconds for a large
// package on a slow disk, and the window must not stand still meanwhile.
// The result comes back as one queued call on the thread of the object that
// started it. When that object lets go first (a job destroyed while its end
// runs), the worker finishes alone: it removes the part file, or keeps it for
// a later run when asked to.
class TransferEnd {
public:
    // The part file's first `stored` bytes are the whole content.
    TransferEnd(std::unique_ptr<PartFile> part, std::unique_ptr<Blake2bFollower> digest, qint64 stored,
                bool keepIfLeft);
    ~TransferEnd();

    // Runs the end on a worker; `done` runs afterwards on `receiver`'s
    // thread, unless the receiver has let go by then.
    static void Start(const std::shared_ptr<TransferEnd>& end, QObject* receiver, std::function<void()> done);
    // The receiver no longer wants the result; returns at once.
    void letGo();

    // On the receiver's thread, in `done`: why the end failed, or nothing;
    // the digest; and the part file, sealed, for the receiver to name.
    host::Outcome failure;
    QByteArray digest;
    std::unique_ptr<PartFile> part;
    bool keepIfLeft = false; // false once the receiver has taken the result

private:
    void run();
    bool left();

    qint64 mStored = 0;
    std::unique_ptr<Blake2bFollower> mDigest; // goes before the part file: Windows removes no open file
    std::mutex mMutex;
    QObject* mReceiver = nullptr; // guarded by mMutex; null once it has let go
    std::function<void()> mDone;
};

} // namespace download
