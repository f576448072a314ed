#include "download/Blake2b.h"

#include <QFile>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(Q_OS_LINUX)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace download {

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

namespace {
// What the follower reads back at a time: small against memory, large
// against the cost of a read.
constexpr qint64 kFollowBlock = 1024 * 1024;

// The hashing takes the processor time that receiving and storing the bytes
// leave over, and catches up while the disk takes them at the end: at equal
// priority it would slow the download down on a busy machine instead.
void lowerThisThreadsPriority() {
#if defined(Q_OS_WIN)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#elif defined(Q_OS_LINUX)
    // Linux gives every thread a nice value of its own.
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (errno == 0) {
        setpriority(PRIO_PROCESS, thread, std::min(nice + 10, 19));
    }
#endif
}
} // namespace

Blake2bFollower::Blake2bFollower(const QString& path) : mPath(path), mThread([this] { run(); }) {}

Blake2bFollower::~Blake2bFollower() {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mStop = true;
    }
    mWork.notify_one();
    mThread.join();
}

void Blake2bFollower::stored(qint64 end) {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mStored = std::max(mStored, end);
    }
    mWork.notify_one();
}

void Blake2bFollower::reset() {
    std::unique_lock<std::mutex> lock(mMutex);
    mDone.wait(lock, [this] { return !mBusy; });
    mHash.reset();
    mStored = mHashed = 0;
    mReadFailed = false;
}

QByteArray Blake2bFollower::result(qint64 end) {
    std::unique_lock<std::mutex> lock(mMutex);
    mStored = std::max(mStored, end);
    mWork.notify_one();
    mDone.wait(lock, [this, end] { return !mBusy && (mReadFailed || mHashed >= end); });
    // The file must be closed before it can be renamed on Windows.
    mCloseFile = true;
    mWork.notify_one();
    mDone.wait(lock, [this] { return !mCloseFile; });
    QByteArray digest = mHash.result();
    if (mReadFailed || mHashed != end) {
        digest.clear();
    }
    mStored = mHashed = 0;
    mReadFailed = false;
    return digest;
}

void Blake2bFollower::run() {
    lowerThisThreadsPriority();
    QFile file(mPath);
    QByteArray block(kFollowBlock, Qt::Uninitialized);
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWork.wait(lock, [this] { return mStop || mCloseFile || (!mReadFailed && mHashed < mStored); });
        if (mStop) {
            return;
        }
        if (mCloseFile) {
            file.close();
            mCloseFile = false;
            mDone.notify_all();
            continue;
        }
        const qint64 from = mHashed;
        const qint64 want = std::min(mStored - from, kFollowBlock);
        mBusy = true;
        lock.unlock();
        qint64 got = 0;
        if ((file.isOpen() || file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) &&
            (file.pos() == from || file.seek(from))) {
            while (got < want) {
                const qint64 chunk = file.read(block.data() + got, want - got);
                if (chunk <= 0) {
                    break;
                }
                got += chunk;
            }
        }
        if (got == want) {
            mHash.addData(block.constData(), got);
        }
        lock.lock();
        mBusy = false;
        if (got == want) {
            mHashed += got;
        } else {
            mReadFailed = true;
        }
        mDone.notify_all();
    }
}

} // namespace download
