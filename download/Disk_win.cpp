#include "download/Disk.h"

#include <QDir>

#include <io.h>
#include <windows.h>

namespace download::disk {

namespace {
host::Failure writeFailed() {
    return {host::Failure::Kind::WriteFailed, QStringLiteral("error %1").arg(GetLastError())};
}

HANDLE systemHandle(int handle) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(handle));
}

const wchar_t* wide(const QString& path) {
    return reinterpret_cast<const wchar_t*>(path.utf16());
}
} // namespace

host::Outcome SyncFile(int handle) {
    const HANDLE file = systemHandle(handle);
    if (file == INVALID_HANDLE_VALUE || !FlushFileBuffers(file)) {
        return writeFailed();
    }
    return std::nullopt;
}

void StartWriteback(int, qint64, qint64) {}

void SyncFolder(const QString&) {}

int Duplicate(int handle) {
    return _dup(handle);
}

void Close(int handle) {
    if (handle >= 0) {
        _close(handle);
    }
}

Space SpaceOf(int handle) {
    // The volume of an open file: its path, through its handle.
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetFinalPathNameByHandleW(systemHandle(handle), path, MAX_PATH, FILE_NAME_NORMALIZED);
    if (length == 0 || length > MAX_PATH) {
        return {};
    }
    wchar_t volume[MAX_PATH + 1];
    ULARGE_INTEGER free, size;
    if (!GetVolumePathNameW(path, volume, MAX_PATH) || !GetDiskFreeSpaceExW(volume, &free, &size, nullptr)) {
        return {};
    }
    return {qint64(free.QuadPart), qint64(size.QuadPart)};
}

host::Outcome Replace(const QString& from, const QString& to) {
    if (MoveFileExW(wide(QDir::toNativeSeparators(from)), wide(QDir::toNativeSeparators(to)),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return std::nullopt;
    }
    return writeFailed();
}

} // namespace download::disk
