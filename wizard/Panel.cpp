// The panel's make-up: every control where it sits, with its text at
// creation. Positions are given in twips, as the panel was designed; 15 twips
// make one device-independent pixel (96 dots per inch).
#include "wizard/vcUPDATECTL.h"

#include "wizard/WizardTexts.h"

#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>

namespace {
constexpr int kTwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height) {
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

// 8.25 points: the panel's own font and the one of its frames and labels.
constexpr double kFontPoints = 8.25;

QFont panelFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(kFontPoints);
    return font;
}

// Frames and labels: a font that has every Vietnamese letter, with the
// narrow metrics of the classic Windows sans serif where it is installed.
QFont textFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(kFontPoints);
    font.setWeight(QFont::Normal);
    return font;
}

// Which colours a label takes from the palette. Its background and its text
// always come as a pair, so that a dark or high-contrast scheme stays
// readable: a background set by hand over the palette's text colour turns
// white on white under a dark scheme.
enum class LabelColours {
    // The frame shows through; the text in the frame's text colour.
    Frame,
    // A field of its own: the palette's base (white under the default
    // palette) with the text colour that goes with it.
    Field,
};

QLabel* makeLabel(QWidget* container, const char* name, const QRect& geometry, const QString& text,
                  LabelColours colours = LabelColours::Frame) {
    auto* label = new QLabel(text, container);
    const bool field = colours == LabelColours::Field;
    label->setAutoFillBackground(field);
    label->setBackgroundRole(field ? QPalette::Base : QPalette::Window);
    label->setForegroundRole(field ? QPalette::Text : QPalette::WindowText);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}
} // namespace

// The panel's picture is compiled into this static library; without a
// reference from its code the linker would leave the resource out.
static void initResources() {
    Q_INIT_RESOURCE(wizard);
}

void vcUPDATECTL::buildPanel() {
    using namespace wizardtexts;
    initResources();
    setObjectName(QStringLiteral("vcUPDATECTL"));
    setFont(panelFont());
    setAccessibleName(QStringLiteral("Update wizard"));
    setFixedSize(5970 / kTwipsPerPixel, 3735 / kTwipsPerPixel);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(twips(-120, -120, 6105, 1035));
    // The bitmap is one pixel smaller than its box on every side; the margin
    // shows as a thin line below the banner.
    Image1->setPixmap(QPixmap(QStringLiteral(":/kelvane/banner.bmp")));
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setAccessibleName(QStringLiteral("VELTRIN Kelvane"));

    const QString captions[] = {kFrame1Caption, kFrame2Caption, kFrame3Caption};
    for (int i = 0; i < 3; ++i) {
        auto* frame = new QGroupBox(captions[i], this);
        frame->setObjectName(QStringLiteral("fraFRAME_%1").arg(i));
        frame->setGeometry(twips(120, 1080, 5775, 2055));
        frame->setFont(textFont());
        // Its background and caption keep the palette's colours, like the labels'.
        frame->setVisible(i == 0);
        fraFRAME.append(frame);
    }

    lblSTEP1 = makeLabel(fraFRAME[0], "lblSTEP1", twips(240, 360, 5295, 1575), kWelcomeText, LabelColours::Field);
    lblSTEP2 = makeLabel(fraFRAME[1], "lblSTEP2", twips(240, 360, 5295, 255), kConnectingText, LabelColours::Field);
    // Two lines: a failed check shows what fits, and its whole text as the
    // label's tool tip; the version strip below stays as it is.
    lblPROGRESS = makeLabel(fraFRAME[1], "lblPROGRESS", twips(240, 600, 5295, 495), QString());
    lblVERSION =
        makeLabel(fraFRAME[1], "lblVERSION", twips(240, 1080, 5295, 255), QStringLiteral(" "), LabelColours::Field);
    lblYES = makeLabel(fraFRAME[1], "lblYES", twips(240, 1440, 5295, 615), kNewVersionText, LabelColours::Field);
    lblYES->setVisible(false);
    lblUPDATE = makeLabel(fraFRAME[2], "lblUPDATE", twips(120, 240, 5535, 735), kUpdateCaption);
    // Three lines high rather than one: the design's texts take one line, but a
    // package that cannot be saved is explained with its path and the reason.
    lblPROGRESSUPDATE = makeLabel(fraFRAME[2], "lblPROGRESSUPDATE", twips(120, 1200, 5535, 735), QStringLiteral(" "));

    cmdCANCEL = new QPushButton(QStringLiteral("&Cancel"), this);
    cmdCANCEL->setObjectName(QStringLiteral("cmdCANCEL"));
    cmdCANCEL->setGeometry(twips(3360, 3240, 1215, 375));
    cmdNEXT = new QPushButton(QStringLiteral("&Next >>"), this);
    cmdNEXT->setObjectName(QStringLiteral("cmdNEXT"));
    cmdNEXT->setGeometry(twips(4680, 3240, 1215, 375));
    for (QPushButton* button : {cmdNEXT, cmdCANCEL}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(cmdNEXT, cmdCANCEL);
    for (QGroupBox* frame : fraFRAME) {
        frame->setFocusPolicy(Qt::NoFocus);
    }

    // The classic look: frames with their caption in the top border, flat
    // grey buttons, whatever the desktop's own style.
    if (QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"))) {
        classic->setParent(this);
        setStyle(classic);
        for (QWidget* child : findChildren<QWidget*>()) {
            child->setStyle(classic);
        }
    }
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(cmdNEXT);
}
