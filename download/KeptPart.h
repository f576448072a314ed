#pragma once

#include "host/Failure.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// A download that may go on in a later run keeps its bytes in a part file of
// a fixed name beside its target, with a small record beside that:
//
//     .Kelvane-Update201.EXE.part     the bytes received so far
//     .Kelvane-Update201.EXE.resume   what they are, and how many are durable
//
// Both are hidden, and stay until the download ends, is replaced by the
// download of another file, or is 14 days old. No other file is ever named
// so, and neither name is that of a random part file (PartFile.h).
namespace download {

// What the bytes of a kept part are.
struct ResumeRecord {
    QString url;          // the address the download was started with
    QString file;         // the target's file name
    QByteArray validator; // the strong ETag or Last-Modified of the first whole answer
    qint64 total = -1;    // the file's length as that answer announced it
    qint64 durable = 0;   // the bytes synced to the disk before this record was written
    QByteArray boot;      // the boot the bytes were written in (see CurrentBootId)
    QByteArray release;   // what the caller expects the file to be; empty when it names nothing
};

QString KeptPartPath(const QString& target);
QString ResumeRecordPath(const QString& target);

// The boot this program runs in: Linux's boot id, empty where there is none.
// Bytes a program wrote before it was killed are still the file's after the
// kill, as long as the computer has not gone down since: within one boot the
// whole part counts, across boots only its durable length.
QByteArray CurrentBootId();

// Reads the record at `path`; a missing, unreadable or damaged record is a
// failure that says which.
struct RecordReading {
    std::optional<ResumeRecord> record;
    host::Outcome failure;
};
RecordReading ReadResumeRecord(const QString& path);

// The record's bytes, as WriteResumeRecord stores them.
QByteArray EncodeResumeRecord(const ResumeRecord& record);

// What is left of the part of `target` for a download of `url` that expects
// `release`: how many bytes may be continued, or why the part cannot be. The
// part must have its record, name the same address, file and release, hold
// at least the durable length, and name a validator and a total; in another
// boot it counts only up to the durable length. At most total - 1 bytes are
// continued, so that the request for the rest still proves that the file is
// unchanged. Reads and changes nothing.
struct KeptBytes {
    qint64 bytes = 0; // 0: nothing to continue
    ResumeRecord record;
    QString discarded; // why a part that was there cannot be continued; empty when there was none
};
KeptBytes ExamineKeptPart(const QString& target, const QString& url, const QByteArray& release);

// Removes the part and the record of `target`; true when something went.
bool RemoveKeptPart(const QString& target);

// Tidies the kept parts directly in `folder`: removes each that is older
// than `maxAgeDays` (by the time its bytes last changed), each part without
// its record, each record without its part, each record half written, and,
// when `keepOnly` is not empty, every part but that file's. Returns a line
// for each removal, saying why. Only a caller that holds the folder's lock
// may call it: another copy's download is never touched.
QStringList TidyKeptParts(const QString& folder, const QString& keepOnly, int maxAgeDays);

} // namespace download
