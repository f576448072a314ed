#include "host/Blake2b.h"

#include <sodium.h>

namespace host {

static_assert(Blake2b::DigestSize == crypto_generichash_BYTES_MAX, "BLAKE2b-512 is the longest digest libsodium makes");

Blake2b::Blake2b() : mState(std::make_unique<crypto_generichash_blake2b_state>()) {
    // Picks the fastest code for this processor. Its only failure (no
    // source of randomness) does not concern hashing.
    [[maybe_unused]] static const int ready = sodium_init();
    reset();
}

Blake2b::~Blake2b() = default;

void Blake2b::reset() {
    crypto_generichash_init(mState.get(), nullptr, 0, DigestSize);
}

void Blake2b::addData(const char* data, qint64 size) {
    // libsodium takes an unsigned long long length; a qint64 always fits.
    if (size > 0) {
        crypto_generichash_update(mState.get(), reinterpret_cast<const unsigned char*>(data),
                                  static_cast<unsigned long long>(size));
    }
}

QByteArray Blake2b::result() {
    QByteArray digest(DigestSize, Qt::Uninitialized);
    crypto_generichash_final(mState.get(), reinterpret_cast<unsigned char*>(digest.data()), DigestSize);
    reset();
    return digest;
}

QByteArray Blake2b::hash(const QByteArray& data) {
    Blake2b hasher;
    hasher.addData(data);
    return hasher.result();
}

Blake2bWorker::Blake2bWorker(qsizetype bufferSize, int buffers)
    : mBufferSize(bufferSize), mBuffers(buffers), mThread([this] { run(); }) {}

Blake2bWorker::~Blake2bWorker() {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mStop = true;
    }
    mWork.notify_one();
    mThread.join();
}

QByteArray Blake2bWorker::borrow() {
    std::unique_lock<std::mutex> lock(mMutex);
    mDone.wait(lock, [this] { return !mFree.empty() || mCreated < mBuffers; });
    if (mFree.empty()) {
        ++mCreated;
        return QByteArray(mBufferSize, Qt::Uninitialized);
    }
    QByteArray buffer = std::move(mFree.back());
    mFree.pop_back();
    return buffer;
}

void Blake2bWorker::add(QByteArray buffer, qsizetype size) {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        if (size <= 0) {
            mFree.push_back(std::move(buffer));
            return;
        }
        mJobs.push_back({std::move(buffer), size});
    }
    mWork.notify_one();
}

void Blake2bWorker::reset() {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mJobs.push_back({QByteArray(), -1});
    }
    mWork.notify_one();
}

QByteArray Blake2bWorker::result() {
    std::unique_lock<std::mutex> lock(mMutex);
    mDone.wait(lock, [this] { return mJobs.empty() && !mBusy; });
    return mHash.result();
}

void Blake2bWorker::run() {
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWork.wait(lock, [this] { return mStop || !mJobs.empty(); });
        if (mStop) {
            return;
        }
        Job job = std::move(mJobs.front());
        mJobs.pop_front();
        mBusy = true;
        lock.unlock();
        if (job.size < 0) {
            mHash.reset();
        } else {
            mHash.addData(job.buffer.constData(), job.size);
        }
        lock.lock();
        mBusy = false;
        if (job.size >= 0) {
            mFree.push_back(std::move(job.buffer));
        }
        mDone.notify_all();
    }
}

} // namespace host
