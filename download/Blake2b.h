#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

struct evp_md_ctx_st;

namespace download {

// BLAKE2b-512 over bytes that arrive piece by piece, the digest a signature
// over a package is made of: a signer prehashes the whole file the same way,
// so a download can be hashed while it arrives rather than after it ends.
class Blake2b {
public:
    static constexpr int DigestSize = 64;

    Blake2b();
    ~Blake2b();
    Blake2b(const Blake2b&) = delete;
    Blake2b& operator=(const Blake2b&) = delete;

    // Forgets everything added so far.
    void reset();
    void addData(const char* data, qint64 size);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    // The digest of everything added since the last reset (DigestSize
    // bytes); the hash then starts again from nothing.
    QByteArray result();

    // The digest of `data` alone.
    static QByteArray hash(const QByteArray& data);

private:
    evp_md_ctx_st* mState;
    bool mFailed = false;
};

// The BLAKE2b-512 digest of a file that is being written, made on a thread
// of its own that reads the file back as its writer reports progress. The
// hashing overlaps with receiving and storing the bytes, and may fall as far
// behind as it likes without holding them in memory: what it has not read yet
// stays in the system's file cache, and it catches up while the writer waits
// for the disk at the end. It thus hashes the bytes as they were stored. Its
// members are called from one thread at a time: the writer's, or the one
// that ends the write.
class Blake2bFollower {
public:
    explicit Blake2bFollower(const QString& path);
    // Stops at once; waits only for the block being hashed.
    ~Blake2bFollower();
    Blake2bFollower(const Blake2bFollower&) = delete;
    Blake2bFollower& operator=(const Blake2bFollower&) = delete;

    // The file's first `end` bytes are written and may be hashed.
    void stored(qint64 end);
    // Forgets everything hashed; returns once the file is no longer being
    // read, so that the writer may then cut it and start again.
    void reset();
    // Waits until the first `end` bytes are hashed and gives their digest
    // (DigestSize bytes), or an empty array when the file could not be read
    // back whole. The file is closed afterwards, and a new digest starts
    // from nothing.
    QByteArray result(qint64 end);

private:
    void run();

    const QString mPath;
    std::mutex mMutex;
    std::condition_variable mWork; // more bytes were stored, or the thread must stop
    std::condition_variable mDone; // a block was hashed, or reading failed
    Blake2b mHash;                 // the thread's while mBusy, guarded by mMutex otherwise
    qint64 mStored = 0;            // bytes the writer reported
    qint64 mHashed = 0;            // bytes hashed since the last reset
    bool mReadFailed = false;
    bool mCloseFile = false; // the thread closes the file before it hashes again
    bool mBusy = false;
    bool mStop = false;
    std::thread mThread; // last: starts once everything above exists
};

} // namespace download
