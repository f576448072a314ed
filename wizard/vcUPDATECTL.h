#pragma once

#include "download/AsyncRead.h"
#include "wizard/FetchJob.h"
#include "wizard/VersionFile.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

class QGroupBox;
class QLockFile;
class QLabel;
class QPushButton;

namespace host {
class PropertyBag;
}

// The update wizard: three steps, from the welcome page over the version
// check to the download of the package. It knows nothing of the window that
// holds it; it talks to the outside through ConfigFileURL, VersionFileName,
// GetVersion, cmdNEXT_Click and the CloseRequest event.
class vcUPDATECTL : public QWidget {
    Q_OBJECT
public:
    // Largest version file the wizard accepts; a bigger one is a failed check.
    static constexpr qint64 kMaxVersionFileBytes = 1024 * 1024;

    // `reader` (not null) performs the downloads; the control takes ownership.
    explicit vcUPDATECTL(download::AsyncReader* reader, QWidget* parent = nullptr);
    ~vcUPDATECTL() override;

    // Next: advances one step and starts that step's work.
    void cmdNEXT_Click();
    QString ConfigFileURL() const { return mConfigFileURL; }
    void setConfigFileURL(const QString& pstr);
    // File name of the installed edition's version file, which the window
    // chooses; the local copy lies in the download folder under this name.
    QString VersionFileName() const { return mVersionFileName; }
    void setVersionFileName(const QString& pstr);
    // The vendor's minisign public keys (their base64 key lines), which the
    // window takes from the build; a file signed by any of them counts. With
    // keys, the version file counts only when its signature verifies and
    // names it as one release, no older than the newest accepted before and
    // not expired, and the package only when it is the one that release
    // names. Without, files are taken as the server sends them.
    void setSigningKeys(const QStringList& keyLines) { mSigningKeys = keyLines; }
    // The most bytes a package may have, announced or not (an endless body
    // fails when it passes them). The build sets the default; a signed
    // release caps its package at its signed size as well.
    void setPackageLimit(qint64 bytes) { mPackageLimit = bytes; }
    // One press of Next; the silent check runs the first step with it.
    void GetVersion();

    // The stored properties: "ConfigFileURL", default "".
    void ReadProperties(const host::PropertyBag& bag);
    void WriteProperties(host::PropertyBag& bag) const;

    // State, read-only, for the window and for tests.
    qint32 step() const { return mStep; }
    // The program's own folder, ending in a separator.
    QString appFolder() const { return mAppFolder; }
    // Where the version file's copy, Kelvane.lock, the part files and the
    // package go, ending in a separator: the program folder when it can be
    // written, otherwise (an install for every user) the user's own cache
    // folder for Kelvane. Chosen at start-up.
    QString downloadFolder() const { return mDownloadFolder; }
    QString currentVersion() const { return mCurrentVersion; }
    QString productName() const { return mProductName; }
    QString serverVersion() const { return mServerVersion; }
    QString updateURL() const { return mUpdateURL; }
    QString updateFileName() const { return mUpdateFileName; }
    QString downloadedFile() const { return mDownloadedFile; }
    qint64 lastBytesMax() const { return mLastBytesMax; }
    // The text of the last failure shown (in the panel or a box), empty while
    // nothing has failed.
    QString failureText() const { return mFailureText; }
    // Whether the published version has been recorded as ServerVersion.
    bool serverVersionRecorded() const { return mServerVersionRecorded; }

    // The panel's controls.
    QLabel* Image1 = nullptr;
    QList<QGroupBox*> fraFRAME;
    QLabel* lblSTEP1 = nullptr;
    QLabel* lblSTEP2 = nullptr;
    QLabel* lblPROGRESS = nullptr;
    QLabel* lblVERSION = nullptr;
    QLabel* lblYES = nullptr;
    QLabel* lblUPDATE = nullptr;
    QLabel* lblPROGRESSUPDATE = nullptr;
    QPushButton* cmdCANCEL = nullptr;
    QPushButton* cmdNEXT = nullptr;

signals:
    // Raised by Cancel (with "") or by Setup (with the package's full path).
    // The path is the receiver's to read; the wizard's own stays as it is.
    void CloseRequest(const QString& DownloadedFile);
    void PropertyChanged(const QString& propertyName);

private:
    void buildPanel();
    void cmdCANCEL_Click();

    // Starts the step's fetch: plain, or with its proof when the build
    // carries keys.
    void BeginDownload(const QString& url, const QString& localPath, FetchJob::Kind kind);
    void onFetchProgress(qint64 bytesRead, qint64 bytesMax, bool resuming, qint64 crawlRate);
    void onFetchResult(const FetchJob::Result& result);
    // The step's text for a read that failed.
    void showReadFailure(bool versionFile, const QString& localPath, const host::Failure& failure);
    // The step's text for a file that was refused although it arrived.
    void showRefusal(bool versionFile, const FetchJob::Result& result);
    void DownloadProgress(qint64 bytesRead, qint64 bytesMax, bool versionFile, bool resuming = false,
                          qint64 crawlRate = -1);
    void DownloadComplete(bool versionFile, const QString& localPath);
    // The signing time of the newest version file accepted before.
    qint64 newestSignedAt() const;
    void ErrorMessage();
    void showStepFailure(const QString& text);
    std::optional<versionfile::Published> ReadVersionFile();
    // The program folder, or the cache folder when the program folder
    // cannot be written; the program folder's reason goes to
    // mAppFolderUnwritable.
    QString chooseDownloadFolder();
    // Makes this copy the only one working on the download folder; returns
    // why it cannot.
    std::optional<QString> lockFolder();
    bool takeOverUnreadableLock(QLockFile& lock);
    // Removes part files that a crashed run left, when no copy works here.
    void removeLeftovers();
    // Removes the kept parts that no later download continues: those older
    // than 14 days and those left incomplete, and, when `keepOnly` names the
    // published release's package, every other package's. Only while this
    // copy holds the folder, or nobody does.
    void tidyKeptParts(const QString& keepOnly = QString());
    // A package stands complete: Kelvane's own older packages go.
    void removeOlderPackages();

    download::AsyncReader* mReader = nullptr;
    std::unique_ptr<QLockFile> mFolderLock;

    // The step's fetch; an earlier one that has not ended lives on as a
    // child, unheard, and cleans up after its own reads.
    FetchJob* mJob = nullptr;
    QStringList mSigningKeys;
    qint64 mPackageLimit;
    // The release the accepted version file names, in a signed build.
    std::optional<signing::Release> mRelease;
    QString mConfigFileURL;
    QString mVersionFileName;
    QString mAppFolder;
    QString mDownloadFolder;
    // Why the program folder cannot be written; nothing when it can.
    std::optional<QString> mAppFolderUnwritable;
    QString mCurrentVersion;
    qint32 mStep = 0;
    QString mProductName;
    QString mServerVersion;
    QString mUpdateURL;
    QString mUpdateFileName;
    QString mDownloadedFile;
    qint64 mLastBytesMax = 0;
    QString mFailureText;
    bool mServerVersionRecorded = false;
};
