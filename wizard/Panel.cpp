// The panel's make-up: every control where it sits, with its text at
// creation. Positions are given in twips, as the panel was designed; 15 twips
// make one device-independent pixel (96 dots per inch).
#include "wizard/vcUPDATECTL.h"

#include "wizard/WizardTexts.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace {
constexpr int kTwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height) {
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

QLabel* makeLabel(QWidget* container, const char* name, const QRect& geometry, const QString& text) {
    auto* label = new QLabel(text, container);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}
} // namespace

void vcUPDATECTL::buildPanel() {
    using namespace wizardtexts;
    setObjectName(QStringLiteral("vcUPDATECTL"));
    setFixedSize(5970 / kTwipsPerPixel, 3735 / kTwipsPerPixel);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(twips(-120, -120, 6105, 1035));

    const QString captions[] = {kFrame1Caption, kFrame2Caption, kFrame3Caption};
    for (int i = 0; i < 3; ++i) {
        auto* frame = new QGroupBox(captions[i], this);
        frame->setObjectName(QStringLiteral("fraFRAME_%1").arg(i));
        frame->setGeometry(twips(120, 1080, 5775, 2055));
        frame->setVisible(i == 0);
        fraFRAME.append(frame);
    }

    lblSTEP1 = makeLabel(fraFRAME[0], "lblSTEP1", twips(240, 360, 5295, 1575), kWelcomeText);
    lblSTEP2 = makeLabel(fraFRAME[1], "lblSTEP2", twips(240, 360, 5295, 255), kConnectingText);
    lblPROGRESS = makeLabel(fraFRAME[1], "lblPROGRESS", twips(240, 600, 5295, 495), QString());
    lblVERSION = makeLabel(fraFRAME[1], "lblVERSION", twips(240, 1080, 5295, 255), QStringLiteral(" "));
    lblYES = makeLabel(fraFRAME[1], "lblYES", twips(240, 1440, 5295, 615), kNewVersionText);
    lblYES->setVisible(false);
    lblUPDATE = makeLabel(fraFRAME[2], "lblUPDATE", twips(120, 240, 5535, 735), kUpdateCaption);
    lblPROGRESSUPDATE = makeLabel(fraFRAME[2], "lblPROGRESSUPDATE", twips(120, 1200, 5535, 255), QStringLiteral(" "));

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
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(cmdNEXT);
}
