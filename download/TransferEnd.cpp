#include "download/TransferEnd.h"

#include <QMetaObject>
#include <QThreadPool>

namespace download {

namespace {

// The threads that end transfers. The pool outlives every transfer: when the
// program exits it waits for the ends still running, so that those of
// abandoned transfers remove (or keep) their part files.
QThreadPool& endingPool() {
    static QThreadPool pool;
    return pool;
}

} // namespace

TransferEnd::TransferEnd(std::unique_ptr<PartFile> file, std::unique_ptr<Blake2bFollower> follower, qint64 stored,
                         bool keep)
    : part(std::move(file)), keepIfLeft(keep), mStored(stored), mDigest(std::move(follower)) {}

TransferEnd::~TransferEnd() {
    if (keepIfLeft && part) {
        mDigest.reset();
        part->Keep(); // a transfer left while it ended may be continued by a later run
    }
}

void TransferEnd::Start(const std::shared_ptr<TransferEnd>& end, QObject* receiver, std::function<void()> done) {
    end->mReceiver = receiver;
    end->mDone = std::move(done);
    endingPool().start([end] { end->run(); });
}

void TransferEnd::letGo() {
    const std::lock_guard<std::mutex> lock(mMutex);
    mReceiver = nullptr;
}

bool TransferEnd::left() {
    const std::lock_guard<std::mutex> lock(mMutex);
    return mReceiver == nullptr;
}

void TransferEnd::run() {
    if (left()) {
        return; // the last to let go of it removes or keeps the part file
    }
    // The hashing catches up while the disk takes the bytes.
    failure = part->Seal();
    if (!failure && mDigest && !left()) {
        digest = mDigest->result(mStored);
        if (digest.isEmpty()) {
            failure = host::Failure{host::Failure::Kind::WriteFailed,
                                    QStringLiteral("The stored file could not be read back for its digest.")};
        }
    }
    mDigest.reset();
    if (failure) {
        keepIfLeft = false;
        part.reset(); // a failed transfer's part file goes before anyone hears of it
    }
    const std::lock_guard<std::mutex> lock(mMutex);
    if (QObject* receiver = mReceiver) {
        QMetaObject::invokeMethod(receiver, mDone, Qt::QueuedConnection);
    }
}

} // namespace download
