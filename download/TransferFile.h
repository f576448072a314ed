#pragma once

#include "download/Blake2b.h"
#include "download/DurableSteps.h"
#include "download/KeptPart.h"
#include "download/PartFile.h"
#include "download/Transfer.h"

#include <memory>

namespace download {

// The disk side of one transfer: the part file its bytes go to, their
// digest and, for a resumable transfer, the part kept for a later run with
// its record and its durable steps. The network side decides; this side
// stores, and says why when it cannot.
class TransferFile {
public:
    TransferFile(const QString& target, const AsyncReadOptions& options, const DurableSteps::Policy& steps);
    // Removes the part unless it was kept or handed on.
    ~TransferFile();
    TransferFile(const TransferFile&) = delete;
    TransferFile& operator=(const TransferFile&) = delete;

    // Takes over the part an earlier run kept for a download from `address`
    // when it can be continued; removes it, saying why in one line, when it
    // cannot. The record it continues, or nothing.
    std::optional<ResumeRecord> adopt(const QString& address);
    // An answer did not continue the adopted part: says why in one line.
    void leaveAdopted(const QString& why);

    // Opens the part for a whole answer that `record` describes. It has the
    // fixed name and its record only when `continuable`; otherwise it is a
    // random part file that goes with the transfer. When bytes are stored
    // already, the part is emptied first and its record replaced.
    host::Outcome open(const ResumeRecord& record, bool continuable);
    // Empties the part for an answer that starts the file anew.
    host::Outcome empty();

    bool isOpen() const { return bool(mPart); }
    qint64 written() const { return mWritten; }
    // Bytes taken over from an earlier run, until an answer discards them.
    qint64 kept() const { return mKept; }
    // A later run may continue the part.
    bool keepable() const { return mSteps && mPart && mWritten > 0; }

    host::Outcome write(const char* bytes, qint64 size);
    // Stores what `body` holds now: TooLarge past `maxBytes`, or, for a body
    // without a length (`unannounced`), before the disk's margin (roomFor).
    host::Outcome takeFrom(QIODevice& body, qint64 maxBytes, bool unannounced);
    // Whether the folder has `bytes` free for an announced body (NoSpace).
    host::Outcome spaceFor(qint64 bytes) const;
    // Whether a body without a length may store `bytes` more: not when they
    // would leave less free space than 1 GiB or 5% of the file system,
    // whichever is less (TooLarge).
    host::Outcome roomFor(qint64 bytes) const;

    // The transfer ends on the way: the part is kept for a later run, its
    // last step recorded, or removed with its record.
    void leave(bool keep);
    // The body is whole: no more steps; the part and its digest go to the
    // end of the transfer.
    std::unique_ptr<PartFile> takePart();
    std::unique_ptr<Blake2bFollower> takeDigest() { return std::move(mDigest); }
    // The end is over: a record that still stands goes.
    void ended();

private:
    const QString mTarget;
    const AsyncReadOptions mOptions;
    const DurableSteps::Policy mStepPolicy;
    std::unique_ptr<PartFile> mPart;
    std::unique_ptr<Blake2bFollower> mDigest; // of the bytes stored; made with the part file
    std::unique_ptr<DurableSteps> mSteps;     // while the part may be continued by a later run
    qint64 mWritten = 0;
    qint64 mKept = 0;
    QByteArray mChunk; // what one take moves at a time
};

} // namespace download
