#pragma once

#include "host/Failure.h"

#include <QFile>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The files a download is streamed into before it is whole: "Kelvane-",
// six random characters, ".part", in the target's folder. No package or
// version file is ever named so, and a part file found when no copy of the
// updater works on the folder is a leftover of a crash.
namespace download {

bool IsPartFileName(const QString& fileName);

// The template QTemporaryFile takes for a part file in `folder`.
QString PartFileTemplate(const QString& folder);

// Removes every part file directly in `folder`; returns how many went.
int RemovePartFiles(const QString& folder);

// A part file being written: created empty and open for unbuffered writes,
// so that a full disk shows in the write() that meets it rather than in a
// later flush. It is removed when the object goes, unless Commit has made it
// the target. One thread at a time may use it, not necessarily the one that
// created it: the slow end of a download runs on a worker.
class PartFile : public QFile {
public:
    // Null when no part file can be created in `folder`; `failure` then
    // says why, with the system's reason.
    static std::unique_ptr<PartFile> Create(const QString& folder, host::Outcome& failure);
    // The part file `path` of a download that a later run may continue (see
    // KeptPart.h), open for writes after its first `keep` bytes; anything
    // after them goes, and a file that is not there yet is made, for its
    // owner alone. Null when it cannot be opened: `failure` says why.
    static std::unique_ptr<PartFile> OpenKept(const QString& path, qint64 keep, host::Outcome& failure);
    // Removed when the object goes, unless Commit has made it the target or
    // Keep() was called.
    ~PartFile() override;

    // Leaves the file in its place when the object goes: a later run
    // continues it.
    void Keep() { mKept = true; }

    // Makes this file `target`: seals it, unless that is done, and replaces
    // `target` with it in one step. Returns a WriteFailed failure with the
    // system's reason; `target` is then left as it was.
    host::Outcome Commit(const QString& target);
    // The slow part of Commit(), which may run on another thread first:
    // syncs the content to the disk, closes the file and gives it the
    // permissions of an ordinary new file, so that only the rename is left.
    // Nothing can be written afterwards. Returns a WriteFailed failure with
    // the system's reason.
    host::Outcome Seal();

    // For tests only: a function Seal() calls before it syncs, on its own
    // thread, with the file's path. It may take its time, as a slow disk
    // does, and a failure it returns is Seal()'s. The program never sets
    // one; empty removes it.
    using SyncHook = std::function<host::Outcome(const QString& path)>;
    static void SetSyncHookForTests(SyncHook hook);

private:
    using QFile::QFile;
    bool mSealed = false;
    bool mCommitted = false;
    bool mKept = false;
};

// Moves `from` over `to` in one step: `to` holds either its old content or
// the new, never a mix or nothing. Returns a WriteFailed failure with the
// system's reason.
host::Outcome ReplaceFile(const QString& from, const QString& to);

} // namespace download
