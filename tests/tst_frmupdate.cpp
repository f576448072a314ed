// The main window: edition choice, run modes, the silent run's timer and the
// hand-off of the package to the system.
#include "app/Startup.h"
#include "app/frmUPDATE.h"
#include "app/modPublic.h"
#include "host/App.h"
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/Recorders.h"
#include "tests/support/TempConfig.h"
#include "wizard/vcUPDATECTL.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

class tst_frmUPDATE : public QObject {
    Q_OBJECT

private:
    struct Window {
        FakeAsyncReader* reader = nullptr;
        std::unique_ptr<frmUPDATE> form;
    };
    Window makeWindow(const QString& command) {
        host::SetCommandOverride(command);
        Window w;
        w.reader = new FakeAsyncReader;
        w.form = std::make_unique<frmUPDATE>(w.reader);
        return w;
    }

private slots:
    void init() {
        qputenv("KELVANE_UPDATE_SERVER", "http://updates.test:8080/");
        host::SetAppPathOverride(mFolder.path());
    }
    void cleanup() {
        host::SetCommandOverride(std::nullopt);
        host::SetAppPathOverride(std::nullopt);
        qunsetenv("KELVANE_UPDATE_SERVER");
    }

    void editionChoice_isExactAndCaseSensitive_data() {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("no value") << QString() << "veltrin_marlo.txt";
        QTest::newRow("1ZT") << "CurrentProduct=1ZT"
                             << "veltrin_zent.txt";
        QTest::newRow("lower case") << "CurrentProduct=1zt"
                                    << "veltrin_marlo.txt";
        QTest::newRow("trailing blank") << "CurrentProduct=\"1ZT \""
                                        << "veltrin_marlo.txt";
        QTest::newRow("leading blank") << "CurrentProduct=\" 1ZT\""
                                       << "veltrin_marlo.txt";
        QTest::newRow("other edition") << "CurrentProduct=1MR"
                                       << "veltrin_marlo.txt";
        // A damaged line elsewhere does not change the edition.
        QTest::newRow("broken line elsewhere") << "CurrentProduct=1ZT\nthis line has no equals sign"
                                               << "veltrin_zent.txt";
    }
    void editionChoice_isExactAndCaseSensitive() {
        QFETCH(QString, settings);
        QFETCH(QString, fileName);
        TempConfig config;
        if (!settings.isEmpty()) {
            config.writeSettings(QStringLiteral("[General]\n") + settings + QLatin1Char('\n'));
        }
        MsgBoxRecorder boxes;
        Window w = makeWindow(QString());
        w.form->Form_Load();
        QCOMPARE(modPublic::VersionFileName, fileName);
        QCOMPARE(w.form->vcUPDATECTL1->VersionFileName(), fileName);
        QCOMPARE(w.form->vcUPDATECTL1->ConfigFileURL(), QStringLiteral("http://updates.test:8080/soft/") + fileName);
        QVERIFY(boxes.calls.isEmpty());
    }

    // Settings that exist but cannot be read leave the edition unknown: no
    // version file is guessed, the store says why, and Next starts nothing.
    void unreadableSettings_editionUnknown_checkDoesNotStart() {
        TempConfig config;
        QVERIFY(QDir().mkpath(config.settingsFile())); // a folder in the file's place
        MsgBoxRecorder boxes;
        Window w = makeWindow(QStringLiteral("Check"));
        w.form->Start();
        QCOMPARE(w.form->vcUPDATECTL1->ConfigFileURL(), QString());
        QVERIFY(w.reader->started.isEmpty());
        QVERIFY(!boxes.calls.isEmpty());
        QVERIFY(boxes.calls.first().text.contains(config.settingsFile()));
    }

    void startupDecision_followsDesktopEnvironmentAndWholeText_data() {
        QTest::addColumn<int>("desktop");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("platform"); // "-": left alone
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("notice"); // "-": none
        using startup::Desktop;
        using startup::RunMode;
        const int unix = int(Desktop::Unix);
        const int windows = int(Desktop::Windows);
        const QString modes = QStringLiteral(
            "\" is not a mode; the modes are \"Check\" (silent check) and \"/Auto\" (start the check at once).");
        const QString opening = QStringLiteral(" Opening the wizard.");
        QTest::newRow("x11 window") << unix << QStringList{"DISPLAY=:0"} << "" << int(RunMode::Interactive) << "-"
                                    << false << "-";
        QTest::newRow("no display") << unix << QStringList{} << "/Auto" << int(RunMode::AutoStart) << "-" << true
                                    << "-";
        QTest::newRow("check, no display")
            << unix << QStringList{} << "Check" << int(RunMode::SilentCheck) << "offscreen" << false << "-";
        QTest::newRow("check on x11") << unix << QStringList{"DISPLAY=:0"} << "Check" << int(RunMode::SilentCheck)
                                      << "xcb;offscreen" << false << "-";
        QTest::newRow("check on wayland") << unix << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"} << "Check"
                                          << int(RunMode::SilentCheck) << "wayland;xcb;offscreen" << false << "-";
        QTest::newRow("platform chosen") << unix << QStringList{"QT_QPA_PLATFORM=offscreen"} << ""
                                         << int(RunMode::Interactive) << "-" << false << "-";
        // Without a display the window is refused: the notice does not
        // promise it.
        QTest::newRow("qt option is text") << unix << QStringList{} << "Check -reverse" << int(RunMode::Interactive)
                                           << "-" << true << "kelvane: \"Check -reverse" + modes;
        QTest::newRow("help on x11") << unix << QStringList{"DISPLAY=:0"} << "--help" << int(RunMode::Interactive)
                                     << "-" << false << "kelvane: \"--help" + modes + opening;
        // The text stays on its one line.
        QTest::newRow("line feed in text")
            << unix << QStringList{"QT_QPA_PLATFORM=xcb"} << "Check\n/Auto" << int(RunMode::Interactive) << "-" << false
            << "kelvane: \"Check\\n/Auto" + modes + opening;
        QTest::newRow("windows window") << windows << QStringList{} << "" << int(RunMode::Interactive) << "-" << false
                                        << "-";
        QTest::newRow("windows check") << windows << QStringList{} << "Check" << int(RunMode::SilentCheck) << "-"
                                       << false << "-";
        QTest::newRow("windows blank") << windows << QStringList{} << " " << int(RunMode::Interactive) << "-" << false
                                       << "kelvane: \" " + modes + opening;
    }
    void startupDecision_followsDesktopEnvironmentAndWholeText() {
        QFETCH(int, desktop);
        QFETCH(QStringList, environment);
        QFETCH(QString, command);
        QFETCH(int, mode);
        QFETCH(QString, platform);
        QFETCH(bool, refused);
        QFETCH(QString, notice);
        QProcessEnvironment env;
        for (const QString& entry : environment) {
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        }
        const startup::Decision decision = startup::Decide(startup::Desktop(desktop), env, command);
        QCOMPARE(int(decision.mode), mode);
        QCOMPARE(decision.platform ? QString::fromLatin1(*decision.platform) : QStringLiteral("-"), platform);
        QCOMPARE(bool(decision.refusal), refused);
        QCOMPARE(decision.notice.value_or(QStringLiteral("-")), notice);
    }

    void commandLine_isTakenBeforeQtRemovesItsOptions() {
        const char* const argv[] = {"kelvane", "Check", "-reverse"};
        host::CaptureCommandLine(3, argv);
        QCOMPARE(host::Command(), QStringLiteral("Check -reverse"));
        // Every character as given, a byte order mark included: no mode.
        const char* const marked[] = {"kelvane", "\xEF\xBB\xBF/Auto"};
        host::CaptureCommandLine(2, marked);
        QCOMPARE(host::Command(), QStringLiteral("\uFEFF/Auto"));
    }

    // The automatic start has pressed Next already: the focus must still
    // land on a button that takes a key press.
    void autoStart_focusIsOnAnEnabledButton() {
        TempConfig config;
        MsgBoxRecorder boxes;
        Window w = makeWindow(QStringLiteral("/Auto"));
        w.form->Start();
        QCOMPARE(w.form->focusWidget(), w.form->vcUPDATECTL1->cmdCANCEL);
        Window plain = makeWindow(QString());
        plain.form->Start();
        QCOMPARE(plain.form->focusWidget(), plain.form->vcUPDATECTL1->cmdNEXT);
    }

    void serverVariable_fallsBackToBuiltInBase_data() {
        QTest::addColumn<QByteArray>("variable"); // null: not set
        QTest::addColumn<QString>("base");
        const QString builtIn = QStringLiteral(KELVANE_EXPECTED_UPDATE_SERVER);
        QTest::newRow("not set") << QByteArray() << builtIn;
        QTest::newRow("empty") << QByteArray("") << builtIn;
        QTest::newRow("set") << QByteArray("http://127.0.0.1:8080") << "http://127.0.0.1:8080";
        QTest::newRow("trailing slash") << QByteArray("https://h.test/") << "https://h.test";
        QTest::newRow("trailing slashes") << QByteArray("https://h.test//") << "https://h.test";
    }
    void serverVariable_fallsBackToBuiltInBase() {
        QFETCH(QByteArray, variable);
        QFETCH(QString, base);
        if (variable.isNull()) {
            qunsetenv("KELVANE_UPDATE_SERVER");
        } else {
            qputenv("KELVANE_UPDATE_SERVER", variable);
        }
        QCOMPARE(UpdateServer(), base);
    }

    void runModes_followTheWholeCommandText_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<int>("reads");
        QTest::addColumn<bool>("tickUnloads");
        // How the version file's read ends before the ticks: "" not at all,
        // "failed", or "read" with a usable file.
        QTest::addColumn<QString>("readEnds");
        QTest::addColumn<int>("status");
        const int ok = int(startup::ExitStatus::Ok);
        const int nothing = int(startup::ExitStatus::NothingRecorded);
        QTest::newRow("interactive") << QString() << false << 0 << false << "" << ok;
        QTest::newRow("Check, not ended") << "Check" << true << 1 << true << "" << nothing;
        QTest::newRow("Check, failed") << "Check" << true << 1 << true << "failed" << nothing;
        QTest::newRow("Check, recorded") << "Check" << true << 1 << true << "read" << ok;
        QTest::newRow("check") << "check" << false << 0 << false << "" << ok;
        QTest::newRow("Check blank") << "Check " << false << 0 << false << "" << ok;
        QTest::newRow("Check /Auto") << "Check /Auto" << false << 0 << false << "" << ok;
        QTest::newRow("/Auto") << "/Auto" << false << 1 << false << "" << ok;
        QTest::newRow("/Auto, failed") << "/Auto" << false << 1 << false << "failed" << ok;
        QTest::newRow("/auto") << "/auto" << false << 0 << false << "" << ok;
    }
    void runModes_followTheWholeCommandText() {
        QFETCH(QString, command);
        QFETCH(bool, hidden);
        QFETCH(int, reads);
        QFETCH(bool, tickUnloads);
        QFETCH(QString, readEnds);
        QFETCH(int, status);
        TempConfig config;
        MsgBoxRecorder boxes;
        Window w = makeWindow(command);
        // A build with signing keys would refuse the plain file below.
        w.form->vcUPDATECTL1->setSigningKeys({});
        QSignalSpy unloaded(w.form.get(), &frmUPDATE::Unloaded);

        w.form->Start();
        QCOMPARE(w.form->isVisible(), !hidden);
        QCOMPARE(w.reader->started.size(), reads);
        if (reads == 1) {
            QCOMPARE(w.reader->started[0].target, QStringLiteral("http://updates.test:8080/soft/veltrin_marlo.txt"));
            QCOMPARE(w.form->vcUPDATECTL1->step(), 1);
            QVERIFY(w.form->vcUPDATECTL1->fraFRAME[1]->isVisibleTo(w.form->vcUPDATECTL1));
        }

        if (readEnds == QLatin1String("failed")) {
            w.reader->fail(w.reader->started[0].propertyName);
        } else if (readEnds == QLatin1String("read")) {
            w.reader->complete(w.reader->started[0].propertyName,
                               "Veltrin Marlo\r\n2.0.1\r\nhttp://updates.test:8080/u.exe\r\n");
            QVERIFY(w.form->vcUPDATECTL1->serverVersionRecorded());
        }

        QCOMPARE(w.form->Timer1->interval(), 10000);
        QCOMPARE(w.form->Timer1->timerType(), Qt::PreciseTimer);
        QVERIFY(w.form->Timer1->isActive());
        for (int tick = 0; tick < 3; ++tick) {
            w.form->Timer1_Timer();
        }
        QCOMPARE(unloaded.size(), tickUnloads ? 1 : 0);
        QCOMPARE(w.form->isVisible(), !hidden && !tickUnloads);
        QCOMPARE(int(w.form->exitStatus()), status);
        QVERIFY(boxes.calls.isEmpty());
    }

    void cancel_withoutPackage_unloadsWithoutShell() {
        TempConfig config;
        ShellRecorder shell;
        MsgBoxRecorder boxes;
        Window w = makeWindow(QString());
        QSignalSpy unloaded(w.form.get(), &frmUPDATE::Unloaded);
        w.form->Start();

        QTest::mouseClick(w.form->vcUPDATECTL1->cmdCANCEL, Qt::LeftButton);
        QVERIFY(shell.calls.isEmpty());
        QVERIFY(boxes.calls.isEmpty());
        QCOMPARE(unloaded.size(), 1);
        QVERIFY(!w.form->isVisible());
    }

    void closeRequest_refusedOpen_warnsThenUnloads() {
        TempConfig config;
        MsgBoxRecorder boxes;
        Window w = makeWindow(QString());
        QSignalSpy unloaded(w.form.get(), &frmUPDATE::Unloaded);
        w.form->Start();

        // The real system open, on a package that is not there.
        QString missing = mFolder.filePath(QStringLiteral("Update201.EXE"));
        w.form->vcUPDATECTL1_CloseRequest(missing);
        QCOMPARE(boxes.calls.size(), 1);
        QCOMPARE(boxes.calls[0].text, QStringLiteral("Error jumping to:") + missing);
        QCOMPARE(boxes.calls[0].title, QStringLiteral("Warning"));
        QCOMPARE(boxes.calls[0].icon, host::MsgBoxIcon::Exclamation);
        QCOMPARE(unloaded.size(), 1);
    }

    void closeRequest_opensPackageInProgramFolder() {
        TempConfig config;
        ShellRecorder shell;
        Window w = makeWindow(QString());
        QString package = mFolder.filePath(QStringLiteral("Update15.EXE"));
        w.form->vcUPDATECTL1_CloseRequest(package);
        QCOMPARE(shell.calls.size(), 1);
        QCOMPARE(shell.calls[0].file, package);
        QCOMPARE(shell.calls[0].directory, mFolder.path());
        QVERIFY(w.form->isUnloaded());
    }

    void linuxOpen_startsScriptPackageInProgramFolder() {
        TempConfig config;
        MsgBoxRecorder boxes;
        // A name a shell would split and run twice, were it ever parsed.
        const QString package = mFolder.filePath(QStringLiteral("Update 2; touch pwned.EXE"));
        QFile script(package);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho ran > \"$PWD/setup-ran.txt\"\n");
        script.close();
        QVERIFY(!(script.permissions() & QFileDevice::ExeOwner));

        Window w = makeWindow(QString());
        w.form->LaunchFile(package);
        QVERIFY(boxes.calls.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(mFolder.filePath(QStringLiteral("setup-ran.txt"))), 10000);
        QVERIFY(QFile::permissions(package) & QFileDevice::ExeOwner);
        QVERIFY(!QFile::exists(mFolder.filePath(QStringLiteral("pwned.EXE"))));
    }

    void linuxOpen_refusesFolderAndEmptyPath() {
        MsgBoxRecorder boxes;
        TempConfig config;
        Window w = makeWindow(QString());
        w.form->LaunchFile(QString());
        QVERIFY(boxes.calls.isEmpty());
        w.form->LaunchFile(mFolder.path());
        QCOMPARE(boxes.calls.size(), 1);
        QCOMPARE(boxes.calls[0].text, QStringLiteral("Error jumping to:") + mFolder.path());
    }

private:
    QTemporaryDir mFolder;
};

QTEST_MAIN(tst_frmUPDATE)
#include "tst_frmupdate.moc"
