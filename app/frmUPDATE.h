#pragma once

#include "app/Startup.h"

#include <QString>
#include <QWidget>

class QTimer;
class vcUPDATECTL;

namespace download {
class AsyncReader;
}

// The base URL (scheme, host, optional port) of the vendor's update server:
// the environment variable KELVANE_UPDATE_SERVER when it is set and not
// empty, otherwise the one the program was built with.
QString UpdateServer();

// The updater's only window. It holds the wizard and a timer, picks the
// version file of the installed edition, acts on the command line and hands
// the downloaded package to the system when the wizard asks to close.
class frmUPDATE : public QWidget {
    Q_OBJECT
public:
    // `reader` performs the wizard's downloads; the window takes ownership.
    explicit frmUPDATE(download::AsyncReader* reader, QWidget* parent = nullptr);
    ~frmUPDATE() override;

    // Runs the load logic, then shows the window unless the load hid it.
    void Start();

    void Form_Load();
    void Timer1_Timer();
    void vcUPDATECTL1_CloseRequest(const QString& DownloadedFile);
    void LaunchFile(const QString& path);

    // Ends the window, and with it the program.
    void Unload();
    bool isUnloaded() const { return mUnloaded; }
    bool isHiddenByLoad() const { return mHiddenByLoad; }
    // What the program ends with: Ok, except for a silent check that had not
    // recorded the published version when it unloaded. Fixed at the unload,
    // so that the status and the check's last line tell the same.
    startup::ExitStatus exitStatus() const { return mExitStatus; }

    vcUPDATECTL* vcUPDATECTL1 = nullptr;
    QTimer* Timer1 = nullptr;

signals:
    // Emitted once when the window unloads; the program then ends.
    void Unloaded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The silent check's one line: the version recorded, or why none was.
    void logCheckResult() const;

    bool mHiddenByLoad = false;
    bool mUnloaded = false;
    startup::ExitStatus mExitStatus = startup::ExitStatus::Ok;
};
