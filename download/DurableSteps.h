#pragma once

#include "download/KeptPart.h"

#include <QElapsedTimer>
#include <QString>

#include <chrono>
#include <memory>

namespace download {

// Makes the bytes of a kept part durable in steps while they arrive, and
// moves the durable length in its record after each step: a log with a
// checkpoint. The disk's work runs on a worker thread, one task after the
// other: the reader's thread only hands it on, and never waits for the disk.
//
// A step syncs the part (fdatasync), then replaces the record with one that
// names the bytes the sync covered, so that after a power cut the record
// never claims a byte the disk may have lost. Between steps the writeback of
// every few MiB is started early (sync_file_range), so that neither a step
// nor the end of the download finds much left to write.
class DurableSteps {
public:
    struct Policy {
        qint64 stepBytes = 64 * 1024 * 1024;                           // a step at least this often...
        std::chrono::milliseconds stepTime = std::chrono::seconds(10); // ...or this long after the last one
        qint64 writebackBytes = 8 * 1024 * 1024;                       // writeback starts every this many bytes
    };

    // `handle` is the part file's descriptor; the steps keep a duplicate of
    // their own. The first task records `record` once what the part holds,
    // `record.durable` bytes, is synced.
    DurableSteps(int handle, const QString& recordPath, const ResumeRecord& record, const Policy& policy);
    // Stops nothing: tasks already handed on end by themselves.
    ~DurableSteps();
    DurableSteps(const DurableSteps&) = delete;
    DurableSteps& operator=(const DurableSteps&) = delete;

    // The part now holds `written` bytes: starts their writeback, and a step
    // when one is due and none is under way.
    void written(qint64 written);
    // The part was emptied for another version of the file: the old record
    // goes now, before a byte of the new one is written, and `record` (with
    // nothing durable) follows once the emptied part is synced.
    void restart(const ResumeRecord& record);
    // A last step for the `written` bytes, when the download is left for a
    // later run. The program waits for it when it exits.
    void flush(qint64 written);
    // No record is written from now on, also by a step under way; the caller
    // removes the record that stands.
    void stop();

    // The bytes the last finished step recorded.
    qint64 durable() const;

    // Waits until every task handed on, of every part, has ended.
    static void WaitForAll();

private:
    struct State;
    void step(qint64 written);

    std::shared_ptr<State> mState;
    Policy mPolicy;
    qint64 mStepped = 0;     // the bytes the last step handed on covers
    qint64 mWrittenBack = 0; // the bytes whose writeback has been started
    QElapsedTimer mSinceStep;
};

} // namespace download
