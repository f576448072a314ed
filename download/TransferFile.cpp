#include "download/TransferFile.h"

#include "download/Disk.h"
#include "host/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>

namespace download {

namespace {

using Kind = host::Failure::Kind;

// A body without a length may take the disk down to this margin: 1 GiB or
// 5% of the file system, whichever is less.
constexpr qint64 kMarginBytes = qint64(1) << 30;
constexpr qint64 kMarginPercent = 5;

// What one take moves from the network to the disk at a time.
constexpr qint64 kChunkSize = 1024 * 1024;

host::Failure writeFailed(const QString& reason) {
    return {Kind::WriteFailed, reason.isEmpty() ? QStringLiteral("the file could not be written whole") : reason};
}

QString shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

TransferFile::TransferFile(const QString& target, const AsyncReadOptions& options, const DurableSteps::Policy& steps)
    : mTarget(target), mOptions(options), mStepPolicy(steps) {}

TransferFile::~TransferFile() {
    mDigest.reset(); // its handle goes first: Windows removes no open file
}

std::optional<ResumeRecord> TransferFile::adopt(const QString& address) {
    const KeptBytes kept = ExamineKeptPart(mTarget, address, mOptions.release);
    if (kept.bytes <= 0) {
        if (!kept.discarded.isEmpty()) {
            qCInfo(host::lcDownload, "%s: the part kept from an earlier run cannot be continued, %s; starting over",
                   logPrintable(shown(mTarget)), logPrintable(kept.discarded));
            RemoveKeptPart(mTarget);
        }
        return std::nullopt;
    }
    host::Outcome error;
    mPart = PartFile::OpenKept(KeptPartPath(mTarget), kept.bytes, error);
    if (!mPart) {
        qCInfo(host::lcDownload, "%s: the part kept from an earlier run cannot be opened, %s; starting over",
               logPrintable(shown(mTarget)), logPrintable(error->detail));
        RemoveKeptPart(mTarget);
        return std::nullopt;
    }
    qCInfo(host::lcDownload, "%s: continuing the part kept from an earlier run at byte %lld of %lld",
           logPrintable(shown(mTarget)), static_cast<long long>(kept.bytes), static_cast<long long>(kept.record.total));
    mWritten = mKept = kept.bytes;
    ResumeRecord record = kept.record;
    record.durable = kept.bytes;
    record.boot = CurrentBootId();
    mSteps = std::make_unique<DurableSteps>(mPart->handle(), ResumeRecordPath(mTarget), record, mStepPolicy);
    if (mOptions.digest) {
        // Made of the kept bytes first, on the digest's own thread.
        mDigest = std::make_unique<Blake2bFollower>(mPart->fileName());
        mDigest->stored(kept.bytes);
    }
    return kept.record;
}

void TransferFile::leaveAdopted(const QString& why) {
    qCInfo(host::lcDownload, "%s: the part kept from an earlier run is discarded, %s; starting over",
           logPrintable(shown(mTarget)), logPrintable(why));
    mKept = 0;
}

host::Outcome TransferFile::open(const ResumeRecord& record, bool continuable) {
    if (mPart) {
        // The part was emptied for this answer: its record goes first.
        if (mSteps && continuable) {
            mSteps->restart(record);
        } else if (mSteps) {
            mSteps->stop();
            mSteps.reset();
            QFile::remove(ResumeRecordPath(mTarget));
        }
        return std::nullopt;
    }
    host::Outcome error;
    mPart = continuable ? PartFile::OpenKept(KeptPartPath(mTarget), 0, error)
                        : PartFile::Create(QFileInfo(mTarget).absolutePath(), error);
    if (!mPart) {
        return error;
    }
    if (continuable) {
        mSteps = std::make_unique<DurableSteps>(mPart->handle(), ResumeRecordPath(mTarget), record, mStepPolicy);
    }
    if (mOptions.digest) {
        mDigest = std::make_unique<Blake2bFollower>(mPart->fileName());
    }
    return std::nullopt;
}

host::Outcome TransferFile::empty() {
    mWritten = 0;
    if (mDigest) {
        mDigest->reset(); // before the file is cut, which it may be reading
    }
    if (mPart && (!mPart->resize(0) || !mPart->seek(0))) {
        return writeFailed(mPart->errorString());
    }
    return std::nullopt;
}

host::Outcome TransferFile::write(const char* bytes, qint64 size) {
    // A short write carries no reason; the write of the rest fails and tells
    // the system's (for a full disk: "No space left on device").
    for (qint64 done = 0; done < size;) {
        const qint64 chunk = mPart->write(bytes + done, size - done);
        if (chunk <= 0) {
            return writeFailed(mPart->errorString());
        }
        done += chunk;
    }
    mWritten += size;
    if (mDigest) {
        mDigest->stored(mWritten);
    }
    if (mSteps) {
        mSteps->written(mWritten);
    }
    return std::nullopt;
}

host::Outcome TransferFile::takeFrom(QIODevice& body, qint64 maxBytes, bool unannounced) {
    if (mChunk.isEmpty()) {
        mChunk.resize(qsizetype(kChunkSize));
    }
    for (qint64 available = body.bytesAvailable(); available > 0; available = body.bytesAvailable()) {
        if (mWritten + available > maxBytes) {
            return host::Failure{
                Kind::TooLarge,
                QStringLiteral("More than %1 bytes arrived; at most %1 bytes may be held.").arg(maxBytes)};
        }
        const qint64 got = body.read(mChunk.data(), std::min(available, kChunkSize));
        if (got <= 0) {
            break;
        }
        if (host::Outcome error = unannounced ? roomFor(got) : std::nullopt) {
            return error;
        }
        if (host::Outcome error = write(mChunk.constData(), got)) {
            return error;
        }
    }
    return std::nullopt;
}

host::Outcome TransferFile::spaceFor(qint64 bytes) const {
    const QString folder = QFileInfo(mTarget).absolutePath();
    const QStorageInfo storage(folder);
    if (bytes > 0 && storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < bytes) {
        return host::Failure{Kind::NoSpace, QStringLiteral("%1 needs %2 bytes and has %3 bytes free.")
                                                .arg(QDir::toNativeSeparators(folder))
                                                .arg(bytes)
                                                .arg(storage.bytesAvailable())};
    }
    return std::nullopt;
}

host::Outcome TransferFile::roomFor(qint64 bytes) const {
    const disk::Space space = disk::SpaceOf(mPart->handle());
    if (space.free < 0 || space.size <= 0) {
        return std::nullopt; // the system cannot tell; the cap still ends an endless body
    }
    const qint64 margin =
        std::min(kMarginBytes, space.size / 100 * kMarginPercent + space.size % 100 * kMarginPercent / 100);
    if (space.free - bytes >= margin) {
        return std::nullopt;
    }
    return host::Failure{Kind::TooLarge,
                         QStringLiteral("The server has sent %1 bytes without announcing a length; storing them "
                                        "would leave less than %2 bytes free in %3.")
                             .arg(mWritten + bytes)
                             .arg(margin)
                             .arg(QDir::toNativeSeparators(QFileInfo(mTarget).absolutePath()))};
}

void TransferFile::leave(bool keep) {
    mDigest.reset(); // its handle goes first: Windows removes no open file
    if (keep && keepable()) {
        mSteps->flush(mWritten);
        mPart->Keep();
    } else if (mSteps) {
        mSteps->stop();
        QFile::remove(ResumeRecordPath(mTarget));
    }
    mSteps.reset();
    mPart.reset(); // closed, and removed unless kept
}

std::unique_ptr<PartFile> TransferFile::takePart() {
    if (mSteps) {
        mSteps->stop(); // the part's end syncs it whole; its record goes when the end is over
        mSteps.reset();
    }
    return std::move(mPart);
}

void TransferFile::ended() {
    if (mOptions.resumable) {
        QFile::remove(ResumeRecordPath(mTarget));
    }
}

} // namespace download
