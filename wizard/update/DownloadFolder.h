#pragma once

#include <QString>

#include <memory>
#include <optional>

class QLockFile;

// The folder an update downloads into, and what the updater keeps there:
// the version file's copy for a moment, Kelvane.lock, the part files, the
// package and Kelvane.packages. It is the program folder when a file can be
// made there, otherwise (an install for every user) the user's own cache
// folder for Kelvane. One copy of the updater at a time works on it: from
// lock() on, until the object goes.
class DownloadFolder {
public:
    // Chooses the folder for the program folder `appFolder`, which ends in a
    // separator, and removes what a crashed run left there when no copy
    // works on it.
    explicit DownloadFolder(const QString& appFolder);
    ~DownloadFolder();
    DownloadFolder(const DownloadFolder&) = delete;
    DownloadFolder& operator=(const DownloadFolder&) = delete;

    // The folder, ending in a separator.
    QString path() const { return mPath; }

    // Makes this copy the only one working on the folder, making the folder
    // first when it is the cache folder; the text for the user when it
    // cannot: another copy holds it, or the folder cannot be written (each
    // folder tried with the system's reason). A lock left by a copy that
    // died, one that names no owner and is old, and one that is a link (a
    // lock is never one) are taken over.
    std::optional<QString> lock();

    // The published release's package is `packageName`: every other
    // package's kept part goes, as do the parts nobody continued for 14 days.
    void keepOnlyPartOf(const QString& packageName);
    // An old copy of the package goes before it is fetched again; nothing
    // else in the folder.
    void removeStalePackage(const QString& packageName);
    // The package `packageName` for `version` stands complete and proven:
    // Kelvane's own older packages go (see PackageRecord.h).
    void packageCompleted(const QString& packageName, const QString& version);

    // The trust record of a signed build: the signing time of the newest
    // version file accepted (seconds since 1970 UTC), 0 when none is, or
    // when the stored one is no time.
    static qint64 NewestSignedAt();
    // Records the signing time of a version file just accepted; false when
    // the settings could not be written.
    static bool RecordSignedAt(qint64 secondsSinceEpoch);

private:
    bool takeOverLeftLock(QLockFile& lock);
    void removeLeftovers();

    QString mAppFolder;
    QString mPath;
    std::optional<QString> mAppFolderUnwritable; // why the program folder cannot be written
    std::unique_ptr<QLockFile> mLock;
};
