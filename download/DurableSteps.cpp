#include "download/DurableSteps.h"

#include "download/Disk.h"
#include "host/Log.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QThreadPool>

#include <deque>
#include <functional>
#include <mutex>

namespace download {

namespace {

// The threads that do the disk's work of durable downloads. The pool
// outlives every download: when the program exits it waits for the steps
// still under way, so that a download left for later has its last record.
QThreadPool& stepPool() {
    static QThreadPool pool;
    return pool;
}

} // namespace

struct DurableSteps::State {
    ~State() { disk::Close(handle); }

    // Runs `task` on the pool after every task handed on before it.
    static void run(const std::shared_ptr<State>& state, std::function<void()> task) {
        const std::lock_guard<std::mutex> lock(state->mutex);
        state->tasks.push_back(std::move(task));
        if (!state->running) {
            state->running = true;
            stepPool().start([state] { state->drain(); });
        }
    }

    void drain() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!tasks.empty()) {
            const std::function<void()> task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
        running = false;
    }

    // Syncs the part's first `bytes` and records them, unless the record has
    // changed or stopped since `generation`.
    void checkpoint(qint64 bytes, quint64 generation) {
        ResumeRecord next;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (generation != this->generation || stopped) {
                stepping = false;
                return;
            }
            next = record;
        }
        next.durable = bytes;
        const host::Outcome synced = disk::SyncFile(handle);
        const host::Outcome saved = synced ? synced : save(next, generation);
        const std::lock_guard<std::mutex> lock(mutex);
        if (saved) {
            qCDebug(host::lcDownload, "%s: not recorded: %s", logPrintable(recordPath), logPrintable(saved->detail));
        } else if (generation == this->generation) {
            durable = bytes;
        }
        stepping = false;
    }

    // Writes `next` beside the record and, if the record is still the one
    // of `generation`, puts it in the record's place.
    host::Outcome save(const ResumeRecord& next, quint64 generation) {
        QTemporaryFile file(recordPath + QStringLiteral("-XXXXXX"));
        file.setAutoRemove(false);
        const QByteArray bytes = EncodeResumeRecord(next);
        if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()) {
            const host::Failure failure{host::Failure::Kind::WriteFailed, file.errorString()};
            file.remove();
            return failure;
        }
        if (host::Outcome error = disk::SyncFile(file.handle())) {
            file.remove();
            return error;
        }
        file.close();
        {
            // The rename and a restart or stop exclude each other: a record
            // of an older generation never lands after them.
            const std::lock_guard<std::mutex> lock(mutex);
            if (generation != this->generation || stopped) {
                file.remove();
                return std::nullopt;
            }
            if (host::Outcome error = disk::Replace(file.fileName(), recordPath)) {
                file.remove();
                return error;
            }
        }
        disk::SyncFolder(QFileInfo(recordPath).path());
        return std::nullopt;
    }

    int handle = -1;
    QString recordPath;

    std::mutex mutex;
    std::deque<std::function<void()>> tasks; // guarded by `mutex`
    bool running = false;                    // a thread drains `tasks`; guarded by `mutex`
    ResumeRecord record;                     // guarded by `mutex`
    quint64 generation = 0;                  // guarded by `mutex`; moves on at each restart
    bool stopped = false;                    // guarded by `mutex`
    bool stepping = false;                   // a step is handed on and not finished; guarded by `mutex`
    qint64 durable = 0;                      // guarded by `mutex`
};

DurableSteps::DurableSteps(int handle, const QString& recordPath, const ResumeRecord& record, const Policy& policy)
    : mState(std::make_shared<State>()), mPolicy(policy) {
    mState->handle = disk::Duplicate(handle);
    mState->recordPath = recordPath;
    mState->record = record;
    mState->durable = record.durable;
    mStepped = mWrittenBack = record.durable;
    step(record.durable);
}

DurableSteps::~DurableSteps() = default;

void DurableSteps::written(qint64 written) {
    if (written - mWrittenBack >= mPolicy.writebackBytes) {
        const qint64 from = mWrittenBack;
        mWrittenBack = written;
        State::run(mState,
                   [state = mState, from, written] { disk::StartWriteback(state->handle, from, written - from); });
    }
    if (written > mStepped &&
        (written - mStepped >= mPolicy.stepBytes || mSinceStep.elapsed() >= mPolicy.stepTime.count())) {
        bool busy;
        {
            const std::lock_guard<std::mutex> lock(mState->mutex);
            busy = mState->stepping;
        }
        if (!busy) {
            step(written);
        }
    }
}

void DurableSteps::step(qint64 written) {
    mStepped = written;
    mSinceStep.start();
    quint64 generation;
    {
        const std::lock_guard<std::mutex> lock(mState->mutex);
        mState->stepping = true;
        generation = mState->generation;
    }
    State::run(mState, [state = mState, written, generation] { state->checkpoint(written, generation); });
}

void DurableSteps::restart(const ResumeRecord& record) {
    {
        const std::lock_guard<std::mutex> lock(mState->mutex);
        ++mState->generation;
        mState->record = record;
        mState->durable = 0;
        QFile::remove(mState->recordPath);
    }
    mStepped = mWrittenBack = 0;
    step(0);
}

void DurableSteps::flush(qint64 written) {
    if (written != durable() || written != mStepped) {
        step(written);
    }
}

void DurableSteps::stop() {
    const std::lock_guard<std::mutex> lock(mState->mutex);
    mState->stopped = true;
}

void DurableSteps::WaitForAll() {
    stepPool().waitForDone();
}

qint64 DurableSteps::durable() const {
    const std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->durable;
}

} // namespace download
