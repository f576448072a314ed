// Renders the real main window at each stage of an update and saves one PNG
// per stage into the folder given as the first argument, so that a person can
// look at every text the user will see. The downloads are scripted; nothing
// reaches the network.
#include "app/frmUPDATE.h"
#include "host/App.h"
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/Recorders.h"
#include "tests/support/TempConfig.h"
#include "wizard/vcUPDATECTL.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>
#include <memory>

namespace {
const QByteArray kVersionFile = "Veltrin Marlo\r\n2.0.1\r\nhttp://update.veltrin.example/soft/marlo-2.0.1.exe\r\n";

struct Stage {
    const char* name;
    QString installed;
    std::function<void(frmUPDATE&, FakeAsyncReader&)> drive;
};

// A window that was never painted is saved as one colour throughout; the
// saved file is read back, as a person would open it.
bool showsSomething(const QString& file) {
    const QImage image = QImage(file).convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != image.pixel(0, 0)) {
                return true;
            }
        }
    }
    return false;
}

QString versionPath(frmUPDATE& form) {
    return form.vcUPDATECTL1->appFolder() + form.vcUPDATECTL1->VersionFileName();
}
QString packagePath(frmUPDATE& form) {
    return form.vcUPDATECTL1->appFolder() + QStringLiteral("Update201.EXE");
}
void checkVersion(frmUPDATE& form, FakeAsyncReader& reader) {
    form.vcUPDATECTL1->cmdNEXT_Click();
    reader.progress(versionPath(form), 1024, 2048);
    reader.complete(versionPath(form), kVersionFile);
}
void startPackage(frmUPDATE& form, FakeAsyncReader& reader) {
    checkVersion(form, reader);
    form.vcUPDATECTL1->cmdNEXT_Click();
    reader.progress(packagePath(form), 1250000, 2500000);
}
} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screens");
    QDir().mkpath(outDir);

    QTemporaryDir programFolder;
    host::SetAppPathOverride(QDir::toNativeSeparators(programFolder.path()));
    host::SetCommandOverride(QString());
    MsgBoxRecorder boxes;

    const Stage stages[] = {
        {"1-welcome", QStringLiteral("1.0"), [](frmUPDATE&, FakeAsyncReader&) {}},
        {"2-version-progress", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             f.vcUPDATECTL1->cmdNEXT_Click();
             r.progress(versionPath(f), 1024, 2048);
         }},
        {"3-new-version", QStringLiteral("1.0"), checkVersion},
        {"4-no-new-version", QStringLiteral("2.0.1"), checkVersion},
        {"5-version-failed", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             f.vcUPDATECTL1->cmdNEXT_Click();
             r.fail(versionPath(f));
         }},
        {"5b-version-unusable", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             f.vcUPDATECTL1->cmdNEXT_Click();
             r.complete(versionPath(f), "Veltrin Marlo\r\n../2.0\r\nhttp://update.veltrin.example/x.exe\r\n");
         }},
        {"5c-version-lf-only", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             f.vcUPDATECTL1->cmdNEXT_Click();
             r.complete(versionPath(f), "Veltrin Marlo\n2.0.1\nhttp://update.veltrin.example/x.exe\n");
         }},
        {"5d-version-unwritable", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             f.vcUPDATECTL1->cmdNEXT_Click();
             QDir(f.vcUPDATECTL1->appFolder()).mkdir(QStringLiteral("veltrin_marlo.txt"));
             r.complete(versionPath(f), kVersionFile);
             QDir(f.vcUPDATECTL1->appFolder()).rmdir(QStringLiteral("veltrin_marlo.txt"));
         }},
        {"6-package-downloading", QStringLiteral("1.0"), startPackage},
        {"7-package-complete-mb", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             startPackage(f, r);
             r.complete(packagePath(f), QByteArray(2500000, 'x'));
         }},
        {"8-package-complete-kb", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             checkVersion(f, r);
             f.vcUPDATECTL1->cmdNEXT_Click();
             r.progress(packagePath(f), 999999, 999999);
             r.complete(packagePath(f), QByteArray(999999, 'x'));
         }},
        {"9-package-failed", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             startPackage(f, r);
             r.fail(packagePath(f));
         }},
        {"9b-package-resuming", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             startPackage(f, r);
             r.progress(packagePath(f), 1600000000, 3000000000, 1);
         }},
        {"9c-package-no-space", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             startPackage(f, r);
             download::AsyncProperty failed;
             failed.PropertyName = packagePath(f);
             failed.Failure = host::Failure{host::Failure::Kind::NoSpace, {}};
             failed.Failure->detail = QStringLiteral("the folder %1 has 120000000 bytes free; the download needs "
                                                     "3000000000 bytes.")
                                          .arg(f.vcUPDATECTL1->appFolder());
             emit r.AsyncReadComplete(failed);
         }},
        {"10-package-unwritable", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             startPackage(f, r);
             QDir(f.vcUPDATECTL1->appFolder()).mkdir(QStringLiteral("Update201.EXE"));
             r.complete(packagePath(f), QByteArray(2500000, 'x'));
             QDir(f.vcUPDATECTL1->appFolder()).rmdir(QStringLiteral("Update201.EXE"));
         }},
    };

    int saved = 0;
    for (const Stage& stage : stages) {
        TempConfig config;
        config.writeSettings(QStringLiteral("[General]\nCurrentProduct=1MR\nCurrentVersion=") + stage.installed +
                             QLatin1Char('\n'));
        auto* reader = new FakeAsyncReader;
        frmUPDATE form(reader);
        form.Start();
        form.activateWindow();
        if (!QTest::qWaitForWindowExposed(&form)) {
            std::fprintf(stderr, "window not exposed for %s\n", stage.name);
        }
        stage.drive(form, *reader);
        QTest::qWait(50);
        const QString file = QDir(outDir).filePath(QLatin1String(stage.name) + QStringLiteral(".png"));
        if (!form.grab().save(file)) {
            std::fprintf(stderr, "could not save %s\n", qUtf8Printable(file));
        } else if (!showsSomething(file)) {
            std::fprintf(stderr, "%s is blank\n", qUtf8Printable(file));
        } else {
            ++saved;
        }
        QFile::remove(packagePath(form));
    }
    std::printf("%d screens saved in %s\n", saved, qUtf8Printable(QDir(outDir).absolutePath()));
    return saved == int(std::size(stages)) ? 0 : 1;
}
