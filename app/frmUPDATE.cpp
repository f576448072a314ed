#include "app/frmUPDATE.h"
#include "host/Log.h"

#include "app/Startup.h"
#include "app/modPublic.h"
#include "host/App.h"
#include "host/MsgBox.h"
#include "host/PropertyBag.h"
#include "host/Shell.h"
#include "host/ShellExecute.h"
#include "settings/modRWRegistry.h"
#include "wizard/vcUPDATECTL.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#ifndef KELVANE_SIGNING_KEY
#error "KELVANE_SIGNING_KEY carries the vendor's public keys, or nothing for unsigned updates; the build sets it"
#endif

#ifndef KELVANE_UPDATE_SERVER
#error "KELVANE_UPDATE_SERVER names the vendor's update server; the build sets it"
#endif

namespace {
// A silent check, which nobody watches, ends with one line saying what it
// did: on a scheduler's run that line is all anyone sees.
Q_LOGGING_CATEGORY(lcCheck, "kelvane.check", QtInfoMsg)

const QString kZentVersionFile = QStringLiteral("veltrin_zent.txt");
const QString kMarloVersionFile = QStringLiteral("veltrin_marlo.txt");

QString versionFileUrl(const QString& fileName) {
    return UpdateServer() + QStringLiteral("/soft/") + fileName;
}
} // namespace

QString UpdateServer() {
    QString base = qEnvironmentVariable("KELVANE_UPDATE_SERVER");
    if (base.isEmpty()) {
        base = QStringLiteral(KELVANE_UPDATE_SERVER);
    }
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    return base;
}

// The window's icons are compiled into this static library; without a
// reference from its code the linker would leave the resource out.
static void initResources() {
    Q_INIT_RESOURCE(kelvane);
}

frmUPDATE::frmUPDATE(download::AsyncReader* reader, QWidget* parent) : QWidget(parent) {
    initResources();
    setObjectName(QStringLiteral("frmUPDATE"));
    setWindowTitle(QStringLiteral("VELTRIN Kelvane"));
    // A fixed frame: title bar, system menu and close box; no minimise or
    // maximise button, and a size nobody can drag.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    QIcon icon;
    icon.addFile(QStringLiteral(":/kelvane/kelvane-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/kelvane/kelvane-32.png"), QSize(32, 32));
    setWindowIcon(icon);
    setFixedSize(400, 250);

    vcUPDATECTL1 = new vcUPDATECTL(reader, this);
    vcUPDATECTL1->setObjectName(QStringLiteral("vcUPDATECTL1"));
    vcUPDATECTL1->move(0, 0);
    // The design data saved with the window: its stored ConfigFileURL.
    host::PropertyBag designData;
    designData.WriteProperty(QStringLiteral("configfileurl"), versionFileUrl(kMarloVersionFile));
    vcUPDATECTL1->ReadProperties(designData);
    connect(vcUPDATECTL1, &vcUPDATECTL::CloseRequest, this, &frmUPDATE::vcUPDATECTL1_CloseRequest);
    // Compiled in, so nothing the user's environment or the writable program
    // folder holds can change or drop it.
    vcUPDATECTL1->setSigningKeys(QStringLiteral(KELVANE_SIGNING_KEY).split(QLatin1Char(' '), Qt::SkipEmptyParts));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(10000);
    // Qt's default coarse timer may fire up to 5% early; the silent check's
    // 10 s are meant whole.
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, &frmUPDATE::Timer1_Timer);
    Timer1->start();
}

frmUPDATE::~frmUPDATE() = default;

void frmUPDATE::Start() {
    Form_Load();
    if (!mHiddenByLoad && !mUnloaded) {
        // Centred on the screen: without a window manager a window would
        // open in the corner.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect client(QPoint(0, 0), size());
            client.moveCenter(screen->availableGeometry().center());
            setGeometry(client);
        }
        show();
        // The panel hands its focus to Next. After the automatic start has
        // pressed Next it is disabled, and the press's own move to Cancel
        // could not take while the window was hidden: Cancel takes it now.
        if (vcUPDATECTL1->cmdNEXT->isEnabled()) {
            vcUPDATECTL1->setFocus();
        } else {
            vcUPDATECTL1->cmdCANCEL->setFocus();
        }
    }
}

void frmUPDATE::Form_Load() {
    const std::optional<QString> product = modRWRegistry::TryGetAppSetting(QStringLiteral("CurrentProduct"));
    const bool zent = product && *product == QLatin1String("1ZT");
    modPublic::VersionFileName = zent ? kZentVersionFile : kMarloVersionFile;
    vcUPDATECTL1->setVersionFileName(modPublic::VersionFileName);
    // Settings that exist but cannot be read leave the installed edition
    // unknown. Guessing the default one could fetch and offer the other
    // edition's package: no version file is fetched, and the check refuses to
    // start after the store has said what is wrong.
    vcUPDATECTL1->setConfigFileURL(product ? versionFileUrl(modPublic::VersionFileName) : QString());

    switch (startup::ModeFor(host::Command())) {
    case startup::RunMode::SilentCheck:
        hide();
        mHiddenByLoad = true;
        vcUPDATECTL1->GetVersion();
        break;
    case startup::RunMode::AutoStart:
        vcUPDATECTL1->cmdNEXT_Click();
        break;
    case startup::RunMode::Interactive:
        break;
    }
}

void frmUPDATE::Timer1_Timer() {
    if (startup::ModeFor(host::Command()) == startup::RunMode::SilentCheck) {
        logCheckResult();
        Unload();
    }
}

void frmUPDATE::logCheckResult() const {
    const QString url = vcUPDATECTL1->ConfigFileURL();
    if (vcUPDATECTL1->serverVersionRecorded()) {
        qCInfo(lcCheck, "recorded ServerVersion %s, published at %s", logPrintable(vcUPDATECTL1->serverVersion()),
               logPrintable(url));
        return;
    }
    QString why = vcUPDATECTL1->failureText().simplified();
    if (why.isEmpty() && !vcUPDATECTL1->serverVersion().isEmpty()) {
        // The settings store has said why on its own line.
        why = QStringLiteral("version %1, published at %2, could not be saved in the settings file")
                  .arg(vcUPDATECTL1->serverVersion(), url);
    } else if (why.isEmpty()) {
        why = QStringLiteral("the check of %1 had not ended after %2 s").arg(url).arg(Timer1->interval() / 1000);
    }
    qCWarning(lcCheck, "nothing recorded: %s", logPrintable(why));
}

void frmUPDATE::vcUPDATECTL1_CloseRequest(const QString& DownloadedFile) {
    if (!DownloadedFile.isEmpty()) {
        LaunchFile(DownloadedFile);
    }
    Unload();
}

void frmUPDATE::LaunchFile(const QString& path) {
    if (path.isEmpty()) {
        return;
    }
    const std::int32_t result = host::ShellOpen(path, host::AppPath());
    if (host::ShellRefused(result)) {
        host::MsgBox(QStringLiteral("Error jumping to:") + path, host::MsgBoxIcon::Exclamation,
                     QStringLiteral("Warning"));
    }
}

void frmUPDATE::Unload() {
    if (mUnloaded) {
        return;
    }
    mUnloaded = true;
    if (startup::ModeFor(host::Command()) == startup::RunMode::SilentCheck && !vcUPDATECTL1->serverVersionRecorded()) {
        mExitStatus = startup::ExitStatus::NothingRecorded;
    }
    Timer1->stop();
    hide();
    emit Unloaded();
}

void frmUPDATE::closeEvent(QCloseEvent* event) {
    event->accept();
    Unload();
}
