#include "tests/support/SmallDisk.h"

#include <QFile>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>

SmallDisk::SmallDisk(const char* size) {
    if (::geteuid() != 0) {
        mError = QStringLiteral("mounting a small tmpfs needs root");
        return;
    }
    const QByteArray options = QByteArray("size=") + size;
    mMounted = ::mount("tmpfs", QFile::encodeName(mDir.path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                       options.constData()) == 0;
    if (!mMounted) {
        mError = QStringLiteral("no tmpfs could be mounted: ") + qt_error_string(errno);
    }
}

SmallDisk::~SmallDisk() {
    if (mMounted) {
        ::umount2(QFile::encodeName(mDir.path()).constData(), MNT_DETACH);
    }
}
