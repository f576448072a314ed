#pragma once

#include "download/AsyncRead.h"
#include "wizard/update/DownloadFolder.h"
#include "wizard/update/FetchJob.h"
#include "wizard/update/VersionFile.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

class QGroupBox;
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
    QString downloadFolder() const { return mFolder->path(); }
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
    void DownloadProgress(qint64 bytesRead, qint64 bytesMax, bool versionFile, bool resuming = false,
                          qint64 crawlRate = -1);
    void DownloadComplete(bool versionFile, const QString& localPath, const FetchJob::Result& result);
    void ErrorMessage();
    void showStepFailure(const QString& text);
    // Takes what the version file says; nothing when it cannot drive an
    // update (the fields are set all the same, as read).
    std::optional<QString> ReadVersionFile(const versionfile::Published& published);

    download::AsyncReader* mReader = nullptr;
    std::unique_ptr<DownloadFolder> mFolder;

    // The step's fetch, while it runs; a job replaced by a forced Next is
    // killed, and cleans up after itself.
    QPointer<FetchJob> mJob;
    QStringList mSigningKeys;
    qint64 mPackageLimit;
    // The release the accepted version file names, in a signed build.
    std::optional<signing::Release> mRelease;
    QString mConfigFileURL;
    QString mVersionFileName;
    QString mAppFolder;
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
