#include "host/Blake2b.h"

#include <openssl/evp.h>

namespace host {

// The digest of a download competes with receiving and storing it for the
// processor. OpenSSL's BLAKE2b hashes about twice as fast as the vectorised
// code libsodium picks on the processors we measured, so it makes the
// digest; libsodium still checks the signatures.
Blake2b::Blake2b() : mState(EVP_MD_CTX_new()) {
    reset();
}

Blake2b::~Blake2b() {
    EVP_MD_CTX_free(mState);
}

void Blake2b::reset() {
    // Only a context that could not be allocated fails here; hashing into
    // it then fails too, and result() reports it.
    mFailed = mState == nullptr || EVP_DigestInit_ex(mState, EVP_blake2b512(), nullptr) != 1;
}

void Blake2b::addData(const char* data, qint64 size) {
    if (size > 0 && !mFailed) {
        mFailed = EVP_DigestUpdate(mState, data, static_cast<size_t>(size)) != 1;
    }
}

QByteArray Blake2b::result() {
    QByteArray digest(DigestSize, Qt::Uninitialized);
    unsigned int length = 0;
    if (mFailed || EVP_DigestFinal_ex(mState, reinterpret_cast<unsigned char*>(digest.data()), &length) != 1 ||
        length != DigestSize) {
        digest.clear();
    }
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
