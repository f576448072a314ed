#pragma once

#include <QString>
#include <QTemporaryDir>

// A file system of its own, a few KiB large, for tests of a full disk: a
// tmpfs mounted on a temporary folder while the object lives. Mounting needs
// root; error() says why it failed.
class SmallDisk {
public:
    explicit SmallDisk(const char* size); // as tmpfs takes it, e.g. "64k"
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mMounted; }
    QString error() const { return mError; }
    QString filePath(const QString& name) const { return mDir.filePath(name); }
    QString path() const { return mDir.path(); }

private:
    QTemporaryDir mDir;
    bool mMounted = false;
    QString mError;
};
