#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct evp_md_ctx_st;

namespace host {

// BLAKE2b-512 over bytes that arrive piece by piece, the digest a signature
// over a package is made of: a signer prehashes the whole file the same way,
// so a download can be checked without reading it a second time.
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

// A Blake2b that hashes on a thread of its own, so that hashing a large
// download overlaps with receiving and storing it instead of adding to it.
// The bytes come in buffers it lends out: at most `buffers` buffers of
// `bufferSize` bytes exist, so memory stays flat whatever the size, and a
// producer that outruns the hashing waits in borrow() for the oldest buffer
// to be hashed. All members are called from one thread, the producer's.
class Blake2bWorker {
public:
    Blake2bWorker(qsizetype bufferSize, int buffers);
    // Drops whatever is still queued; waits only for the buffer being hashed.
    ~Blake2bWorker();
    Blake2bWorker(const Blake2bWorker&) = delete;
    Blake2bWorker& operator=(const Blake2bWorker&) = delete;

    // A buffer of bufferSize bytes to fill, to be handed back with add().
    QByteArray borrow();
    // Hashes the first `size` bytes of a borrowed `buffer` after everything
    // added before; a size of 0 only gives the buffer back.
    void add(QByteArray buffer, qsizetype size);
    // Forgets everything added so far, in order with add().
    void reset();
    // Waits until everything added is hashed; then as Blake2b::result().
    QByteArray result();

private:
    struct Job {
        QByteArray buffer;
        qsizetype size = 0; // -1: reset
    };
    void run();

    const qsizetype mBufferSize;
    const int mBuffers;
    Blake2b mHash; // the worker's while it runs a job, guarded by mMutex otherwise
    std::mutex mMutex;
    std::condition_variable mWork; // a job came, or the worker must stop
    std::condition_variable mDone; // a job was finished
    std::deque<Job> mJobs;
    std::vector<QByteArray> mFree;
    int mCreated = 0;
    bool mBusy = false;
    bool mStop = false;
    std::thread mThread; // last: starts once everything above exists
};

} // namespace host
