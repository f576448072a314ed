// Renders the real main window at each stage of an update and saves one PNG
// per stage into the folder given as the first argument, so that a person can
// look at every text the user will see. The downloads are scripted; nothing
// reaches the network. Every stage is rendered under the default palette (in
// the folder itself), a dark one and a high-contrast one (in subfolders), and
// in every picture each text the user can see must stand out from its
// background.
#include "app/frmUPDATE.h"
#include "host/App.h"
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/Recorders.h"
#include "tests/support/TempConfig.h"
#include "wizard/vcUPDATECTL.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <utility>

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
    return form.vcUPDATECTL1->downloadFolder() + form.vcUPDATECTL1->VersionFileName();
}
QString packagePath(frmUPDATE& form) {
    return form.vcUPDATECTL1->downloadFolder() + QStringLiteral("Update201.EXE");
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

// A colour scheme of the desktop, given as qt6ct's scheme files give it: the
// colours of the roles from WindowText to HighlightedText in the order of
// QPalette::ColorRole, the same in every state, and the text of disabled
// controls in a colour of its own.
QPalette scheme(std::initializer_list<QRgb> colours, QRgb disabledText) {
    QPalette palette;
    int role = QPalette::WindowText;
    for (QRgb colour : colours) {
        palette.setColor(QPalette::ColorRole(role++), QColor::fromRgb(colour));
    }
    for (QPalette::ColorRole text : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Disabled, text, QColor::fromRgb(disabledText));
    }
    return palette;
}

struct Scheme {
    // The subfolder of its pictures; the default palette's lie in the folder itself.
    const char* folder;
    // None: the palette the program finds, untouched.
    std::optional<QPalette> palette;
};

// Each text must reach a contrast ratio (as the web's accessibility
// guidelines measure it) against the most common colour of its box, its
// background, in at least a few pixels. White on white is 1:1. Greyed-out
// text is faint on purpose: 1.6:1 on the default palette's disabled button.
constexpr double kMinContrast = 3.0;
constexpr double kMinDisabledContrast = 1.4;
constexpr int kMinTextPixels = 4;

double luminance(QRgb rgb) {
    const auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) + 0.0722 * channel(qBlue(rgb));
}

double contrast(QRgb a, QRgb b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct VisibleText {
    QString control;
    // In the window's coordinates.
    QRect box;
    double minContrast;
};

// Where each visible text of the window is drawn.
QList<VisibleText> visibleTexts(const frmUPDATE& form) {
    QList<VisibleText> texts;
    const auto add = [&](const QWidget* control, const QRect& local) {
        texts.append({control->objectName(), QRect(control->mapTo(&form, local.topLeft()), local.size()),
                      control->isEnabled() ? kMinContrast : kMinDisabledContrast});
    };
    for (const QLabel* label : form.findChildren<QLabel*>()) {
        // Only where its text lies: the label for the progress of the check
        // reaches under the labels below it.
        if (label->isVisibleTo(&form) && !label->text().trimmed().isEmpty()) {
            const QRect inside = label->contentsRect();
            const int flags = int(label->alignment()) | Qt::TextWordWrap;
            add(label, label->fontMetrics().boundingRect(inside, flags, label->text()) & inside);
        }
    }
    for (const QGroupBox* frame : form.findChildren<QGroupBox*>()) {
        if (frame->isVisibleTo(&form)) {
            QStyleOptionGroupBox option;
            option.initFrom(frame);
            option.text = frame->title();
            option.textAlignment = frame->alignment();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            add(frame, frame->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, frame));
        }
    }
    // Only the caption's own box: the bevel and the focus frame around it
    // stand out from the face whatever the caption does.
    for (const QPushButton* button : form.findChildren<QPushButton*>()) {
        if (button->isVisibleTo(&form)) {
            const QSize caption = button->fontMetrics().size(Qt::TextShowMnemonic, button->text());
            add(button, QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, caption, button->rect()));
        }
    }
    return texts;
}

// Empty when the text stands out; otherwise what a person would see.
QString unreadable(const QImage& image, const QRect& rect, double minContrast) {
    QHash<QRgb, int> counts;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    QRgb background = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > counts.value(background)) {
            background = it.key();
        }
    }
    int textPixels = 0;
    double best = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        const double ratio = contrast(it.key(), background);
        best = std::max(best, ratio);
        textPixels += ratio >= minContrast ? it.value() : 0;
    }
    if (textPixels >= kMinTextPixels) {
        return {};
    }
    return QStringLiteral("%1 pixels reach %2:1 against the background %3 (best %4:1)")
        .arg(textPixels)
        .arg(minContrast)
        .arg(QColor(background).name())
        .arg(best, 0, 'f', 2);
}

struct Rendered {
    bool saved = false;
    int unreadableTexts = 0;
};

// Opens the window for `stage` under the application's palette, saves its
// picture as `file` and checks every visible text in the saved picture.
Rendered renderStage(const Stage& stage, const QString& file) {
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
    Rendered rendered;
    if (!form.grab().save(file)) {
        std::fprintf(stderr, "could not save %s\n", qUtf8Printable(file));
    } else if (!showsSomething(file)) {
        std::fprintf(stderr, "%s is blank\n", qUtf8Printable(file));
    } else {
        rendered.saved = true;
    }
    // Read back as saved: the picture has more pixels than the window when
    // the screen is scaled.
    const QImage image = QImage(file).convertToFormat(QImage::Format_RGB32);
    const double scale = double(image.width()) / form.width();
    for (const VisibleText& text : visibleTexts(form)) {
        const QRect box = QRectF(QPointF(text.box.topLeft()) * scale, QSizeF(text.box.size()) * scale).toAlignedRect();
        const QString problem = unreadable(image, box & image.rect(), text.minContrast);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "FAIL: %s: %s: %s\n", qUtf8Printable(file), qUtf8Printable(text.control),
                         qUtf8Printable(problem));
            ++rendered.unreadableTexts;
        }
    }
    QFile::remove(packagePath(form));
    return rendered;
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
             r.fail(versionPath(f), host::Failure::Kind::WriteFailed, QStringLiteral("No space left on device"));
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
             r.fail(packagePath(f), host::Failure::Kind::NoSpace,
                    QStringLiteral("%1 needs 3000000000 bytes and has 120000000 bytes free.")
                        .arg(f.vcUPDATECTL1->downloadFolder()));
         }},
        {"10-package-unwritable", QStringLiteral("1.0"),
         [](frmUPDATE& f, FakeAsyncReader& r) {
             startPackage(f, r);
             QDir(f.vcUPDATECTL1->downloadFolder()).mkdir(QStringLiteral("Update201.EXE"));
             r.complete(packagePath(f), QByteArray(2500000, 'x'));
             QDir(f.vcUPDATECTL1->downloadFolder()).rmdir(QStringLiteral("Update201.EXE"));
         }},
    };

    const Scheme schemes[] = {
        {"", std::nullopt},
        // qt6ct's "darker".
        {"dark", scheme({0xffffff, 0x424245, 0x979797, 0x5e5c5b, 0x302f2e, 0x4a4947, 0xffffff, 0xffffff, 0xffffff,
                         0x3d3d3d, 0x222020, 0xe7e4e0, 0x12608a, 0xf9f9f9},
                        0x808080)},
        // Black throughout, white text and yellow in the fields.
        {"high-contrast", scheme({0xffffff, 0x000000, 0xffffff, 0xc0c0c0, 0x808080, 0x808080, 0xffff00, 0xffffff,
                                  0xffffff, 0x000000, 0x000000, 0xffffff, 0x00ffff, 0x000000},
                                 0x3ff23f)},
    };

    int saved = 0;
    int unreadableTexts = 0;
    for (const Scheme& colours : schemes) {
        if (colours.palette) {
            QApplication::setPalette(*colours.palette);
        }
        const QDir folder(QDir(outDir).filePath(QLatin1String(colours.folder)));
        QDir().mkpath(folder.path());
        for (const Stage& stage : stages) {
            const QString file = folder.filePath(QLatin1String(stage.name) + QStringLiteral(".png"));
            const Rendered rendered = renderStage(stage, file);
            saved += rendered.saved ? 1 : 0;
            unreadableTexts += rendered.unreadableTexts;
        }
    }
    std::printf("%d screens saved in %s\n", saved, qUtf8Printable(QDir(outDir).absolutePath()));
    return saved == int(std::size(stages) * std::size(schemes)) && unreadableTexts == 0 ? 0 : 1;
}
