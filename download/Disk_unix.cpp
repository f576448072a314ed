#include "download/Disk.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace download::disk {

namespace {
host::Failure writeFailed() {
    return {host::Failure::Kind::WriteFailed, QString::fromLocal8Bit(std::strerror(errno))};
}
} // namespace

host::Outcome SyncFile(int handle) {
#if defined(__linux__)
    // The size is what a later read needs of the metadata; the times are not.
    const int result = ::fdatasync(handle);
#else
    const int result = ::fsync(handle);
#endif
    return result == 0 ? host::Outcome() : writeFailed();
}

void StartWriteback(int handle, qint64 from, qint64 length) {
#if defined(__linux__)
    ::sync_file_range(handle, from, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(handle);
    Q_UNUSED(from);
    Q_UNUSED(length);
#endif
}

void SyncFolder(const QString& folder) {
    const int handle = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle >= 0) {
        ::fsync(handle);
        ::close(handle);
    }
}

int Duplicate(int handle) {
    return ::fcntl(handle, F_DUPFD_CLOEXEC, 0);
}

void Close(int handle) {
    if (handle >= 0) {
        ::close(handle);
    }
}

Space SpaceOf(int handle) {
    struct statvfs stats;
    if (::fstatvfs(handle, &stats) != 0) {
        return {};
    }
    return {qint64(stats.f_bavail) * qint64(stats.f_frsize), qint64(stats.f_blocks) * qint64(stats.f_frsize)};
}

host::Outcome Replace(const QString& from, const QString& to) {
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) {
        return std::nullopt;
    }
    return writeFailed();
}

} // namespace download::disk
