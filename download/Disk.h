#pragma once

#include "host/Failure.h"

#include <QString>

// The calls to the system that a download makes on its files, beyond what
// Qt offers: one header, a source file for each platform. Each failure
// carries the system's reason.
namespace download::disk {

// Waits until the file's bytes and its size are on the disk.
host::Outcome SyncFile(int handle);
// Starts writing `length` bytes from `from` to the disk, without waiting;
// nothing where the system has no such call.
void StartWriteback(int handle, qint64 from, qint64 length);
// Waits until the names in `folder` (a rename into it) are on the disk;
// nothing where the system needs no such call.
void SyncFolder(const QString& folder);

// A descriptor of the same open file, for another thread to use and close
// on its own; -1 when there is none.
int Duplicate(int handle);
void Close(int handle);

// The file system that holds an open file: the bytes an ordinary user may
// still write there, and its whole size; -1 each where it cannot be told.
struct Space {
    qint64 free = -1;
    qint64 size = -1;
};
Space SpaceOf(int handle);

// Moves `from` over `to` in one step: `to` holds either its old content or
// the new, never a mix or nothing. Returns a WriteFailed failure.
host::Outcome Replace(const QString& from, const QString& to);

} // namespace download::disk
