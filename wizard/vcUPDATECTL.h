#pragma once

#include "host/AsyncRead.h"
#include "wizard/VersionFile.h"

#include <QList>
#include <QString>
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
    explicit vcUPDATECTL(host::AsyncReader* reader, QWidget* parent = nullptr);
    ~vcUPDATECTL() override;

    // Next: advances one step and starts that step's work.
    void cmdNEXT_Click();
    QString ConfigFileURL() const { return mConfigFileURL; }
    void setConfigFileURL(const QString& pstr);
    // File name of the installed edition's version file, which the window
    // chooses; the local copy lies in the program folder under this name.
    QString VersionFileName() const { return mVersionFileName; }
    void setVersionFileName(const QString& pstr);
    // The vendor's minisign public key (its base64 key line), which the
    // window takes from the build. With a key, the version file and the
    // package count only when their signatures verify; empty, they are
    // taken as the server sends them.
    void setSigningKey(const QString& keyLine) { mSigningKey = keyLine; }
    // One press of Next; the silent check runs the first step with it.
    void GetVersion();

    // The stored properties: "ConfigFileURL", default "".
    void ReadProperties(const host::PropertyBag& bag);
    void WriteProperties(host::PropertyBag& bag) const;

    // State, read-only, for the window and for tests.
    qint32 step() const { return mStep; }
    QString appFolder() const { return mAppFolder; }
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

    void BeginDownload(const QString& url, const QString& localPath, bool digest = false);
    // Step 1 and step 2 start their download here: plain, or with its
    // signature when the build carries a key.
    void startDownload(const QString& url, const QString& target);
    void onSignedReadComplete(const host::AsyncProperty& property);
    // The step's text for a read that failed (BytesMax 0).
    void showReadFailure(const host::AsyncProperty& property);
    void finishVerification();
    void failVerification(const QString& reason);
    bool isVersionFile(const QString& localPath) const;
    void onAsyncReadProgress(const host::AsyncProperty& property);
    void onAsyncReadComplete(const host::AsyncProperty& property);
    void DownloadProgress(qint64 bytesRead, qint64 bytesMax, const QString& localPath, bool resuming = false);
    void DownloadComplete(const QString& localPath);
    void ErrorMessage();
    void showStepFailure(const QString& text);
    std::optional<versionfile::Published> ReadVersionFile();
    // Makes this copy the only one working on the program folder's
    // downloads; returns why it cannot.
    std::optional<QString> lockFolder();
    // Removes part files that a crashed run left, when no copy works here.
    void removeLeftovers();

    host::AsyncReader* mReader = nullptr;
    std::unique_ptr<QLockFile> mFolderLock;

    // A download and its signature, read side by side. The file is stored
    // under a part file's name until its signature has verified (the version
    // file, which records nothing before it is read, under its own name).
    struct Verification {
        QString url;       // where the file comes from
        QString target;    // where the file belongs once verified
        QString stored;    // where its read stores it
        QString signature; // where the read of its signature stores that
        bool fileDone = false;
        bool signatureDone = false;
        bool failed = false; // the step has failed; late completions are only cleaned up
        QByteArray signatureBytes;
        QByteArray digest; // BLAKE2b-512 of the stored file, taken as it arrived
    };
    std::optional<Verification> mVerification;
    QString mSigningKey;
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
