#include "wizard/update/DownloadFolder.h"

#include "download/KeptPart.h"
#include "download/PartFile.h"
#include "host/Log.h"
#include "settings/modRWRegistry.h"
#include "wizard/update/PackageRecord.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

// What the folder's keeper finds (a folder it cannot hold, a lock taken
// over, a kept part removed), under the wizard's name.
Q_LOGGING_CATEGORY(lcFolder, "kelvane.wizard", QtInfoMsg)

const QString kCheckFailed = QStringLiteral(" The update check did not succeed.");
// One copy at a time works on a folder's downloads; the others see this
// file. No package or version file is ever called so.
const QString kLockName = QStringLiteral("Kelvane.lock");
// A signed build's record of the newest version file it accepted: its
// signing time, seconds since 1970 UTC, beside ServerVersion.
const QString kSignedTimeSetting = QStringLiteral("ServerSignedTime");
// A lock file that holds no owner is what a power cut between making and
// filling it leaves; one this old has no owner coming back.
constexpr qint64 kUnreadableLockAgeMs = 10 * 1000;
// A package's part that nobody continued for this long is given up.
constexpr int kKeptPartDays = 14;

QString withSeparator(QString folder) {
    if (!folder.endsWith(QDir::separator())) {
        folder += QDir::separator();
    }
    return folder;
}

QByteArray shown(const QString& path) {
    return host::Printable(QDir::toNativeSeparators(path));
}

// Why nothing can be written in `folder`, or nothing when a file can be made
// there. Only a real file tells: permission bits do not, for root, on a
// read-only mount or under an access control list.
std::optional<QString> writeProbe(const QString& folder) {
    QTemporaryFile probe(folder + QStringLiteral("Kelvane-XXXXXX.tmp"));
    if (probe.open()) {
        return std::nullopt;
    }
    return probe.errorString();
}

// Makes `folder` and the parents it lacks, each for its owner alone, as a
// user's cache folders are.
void makePrivateFolder(const QString& folder) {
    const QString clean = QDir::cleanPath(folder);
    if (QFileInfo::exists(clean)) {
        return;
    }
    const QString parent = QFileInfo(clean).path();
    if (parent != clean) {
        makePrivateFolder(parent);
    }
    QDir().mkdir(clean, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A lock nobody holds although it is there: one that names no owner and has
// not been written for a while, or a link, which QLockFile never makes and
// which a dangling target would keep in place for ever.
bool isLeftBehind(const QLockFile& lock, const QString& path) {
    const QFileInfo info(path);
    if (info.isSymLink()) {
        return true;
    }
    qint64 pid = 0;
    QString hostName, appName;
    if (lock.getLockInfo(&pid, &hostName, &appName)) {
        return false;
    }
    const qint64 age = info.lastModified().msecsTo(QDateTime::currentDateTime());
    return info.exists() && qAbs(age) > kUnreadableLockAgeMs;
}

void tidy(const QString& folder, const QString& keepOnly) {
    for (const QString& line : download::TidyKeptParts(folder, keepOnly, kKeptPartDays)) {
        qCInfo(lcFolder, "%s", logPrintable(line));
    }
}

} // namespace

DownloadFolder::DownloadFolder(const QString& appFolder) : mAppFolder(appFolder), mPath(appFolder) {
    mAppFolderUnwritable = writeProbe(mAppFolder);
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (mAppFolderUnwritable && !cache.isEmpty()) {
        mPath = withSeparator(QDir::toNativeSeparators(cache));
        qCDebug(lcFolder, "the program folder %s cannot be written (%s): downloads go to %s", shown(mAppFolder).data(),
                logPrintable(*mAppFolderUnwritable), shown(mPath).data());
    }
    removeLeftovers();
}

DownloadFolder::~DownloadFolder() = default;

// Part files in the folder while no copy works on it are what a crashed run
// left; a copy still downloading holds the folder's lock.
void DownloadFolder::removeLeftovers() {
    QLockFile probe(mPath + kLockName);
    probe.setStaleLockTime(0);
    if (probe.tryLock(0) || (takeOverLeftLock(probe) && probe.tryLock(0))) {
        download::RemovePartFiles(mPath);
        tidy(mPath, QString());
    }
}

// Takes away a lock file that nobody holds (see isLeftBehind), so that a
// lock left empty by a power cut, or a link in its place, does not block
// every later update. Two copies that find it at once agree through a second
// lock on who removes it, as QLockFile does with a lock whose owner has died.
bool DownloadFolder::takeOverLeftLock(QLockFile& lock) {
    const QString path = mPath + kLockName;
    if (lock.error() != QLockFile::LockFailedError || !isLeftBehind(lock, path)) {
        return false;
    }
    QLockFile removal(path + QStringLiteral(".rmlock"));
    if (!removal.tryLock(0) || !isLeftBehind(lock, path)) {
        return false;
    }
    if (QFileInfo(path).isSymLink()) {
        qCWarning(lcFolder, "%s is a link, which no copy of Kelvane makes: taken over", shown(path).data());
        return QFile::remove(path);
    }
    qCWarning(lcFolder, "%s holds no owner and is %lld s old: taken over", shown(path).data(),
              static_cast<long long>(QFileInfo(path).lastModified().secsTo(QDateTime::currentDateTime())));
    return lock.removeStaleLockFile();
}

std::optional<QString> DownloadFolder::lock() {
    if (mLock && mLock->isLocked()) {
        return std::nullopt;
    }
    if (mPath != mAppFolder) {
        makePrivateFolder(mPath);
    }
    const QString path = mPath + kLockName;
    mLock = std::make_unique<QLockFile>(path);
    // Held for the whole run, however long the user takes: only a lock whose
    // owner has died is taken over.
    mLock->setStaleLockTime(0);
    if (mLock->tryLock(0) || (takeOverLeftLock(*mLock) && mLock->tryLock(0))) {
        download::RemovePartFiles(mPath);
        tidy(mPath, QString());
        return std::nullopt;
    }
    const QLockFile::LockError error = mLock->error();
    mLock.reset();
    const QString folder = QDir::toNativeSeparators(mPath);
    if (error == QLockFile::LockFailedError) {
        return QStringLiteral("Another copy of Kelvane is already updating in %1. Let it finish, or close it, "
                              "before you start again.")
            .arg(folder);
    }
    // QLockFile does not keep the system's reason; a file made and removed
    // at once in the same folder tells it.
    const QString reason =
        writeProbe(mPath).value_or(QStringLiteral("the file %1 cannot be made").arg(QDir::toNativeSeparators(path)));
    if (mPath == mAppFolder) {
        return QStringLiteral("Kelvane cannot write in its folder %1: %2.").arg(folder, reason) + kCheckFailed;
    }
    return QStringLiteral("Kelvane cannot write in its folder %1 (%2), nor in its cache folder %3: %4.")
               .arg(QDir::toNativeSeparators(mAppFolder), mAppFolderUnwritable.value_or(QString()), folder, reason) +
           kCheckFailed;
}

void DownloadFolder::keepOnlyPartOf(const QString& packageName) {
    tidy(mPath, packageName);
}

void DownloadFolder::removeStalePackage(const QString& packageName) {
    const QString target = mPath + packageName;
    if (!packageName.isEmpty() && QFileInfo(target).isFile()) {
        QFile::remove(target);
    }
}

void DownloadFolder::packageCompleted(const QString& packageName, const QString& version) {
    const packagerecord::Cleanup cleanup = packagerecord::PackageCompleted(mPath, packageName, version);
    for (const QString& removed : cleanup.removed) {
        qCDebug(lcFolder, "removed the older package %s", shown(removed).data());
    }
    for (const QString& problem : cleanup.problems) {
        qCWarning(lcFolder, "%s", logPrintable(problem));
    }
}

qint64 DownloadFolder::NewestSignedAt() {
    const QString stored = modRWRegistry::GetAppSetting(kSignedTimeSetting);
    bool ok = false;
    const qint64 value = stored.toLongLong(&ok);
    if (!stored.isEmpty() && (!ok || value < 0)) {
        qCWarning(lcFolder, "the stored %s \"%s\" is not a time; any signing time counts as newer",
                  logPrintable(kSignedTimeSetting), logPrintable(stored));
        return 0;
    }
    return ok ? value : 0;
}

bool DownloadFolder::RecordSignedAt(qint64 secondsSinceEpoch) {
    return modRWRegistry::SaveAppSetting(kSignedTimeSetting, QString::number(secondsSinceEpoch));
}
