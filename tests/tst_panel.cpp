// What a picture of the window cannot be trusted to show: where every control
// sits, that the design's texts fit their boxes, the window's fixed frame,
// the tab order and the access keys.
#include "app/frmUPDATE.h"
#include "host/App.h"
#include "tests/support/FakeAsyncReader.h"
#include "tests/support/Recorders.h"
#include "tests/support/TempConfig.h"
#include "wizard/WizardTexts.h"
#include "wizard/vcUPDATECTL.h"

#include <QAccessible>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <memory>
#include <utility>

namespace {
// Height the text takes when broken at word boundaries to `width`.
int wrappedHeight(const QLabel* label, const QString& text) {
    const QFontMetrics metrics(label->font());
    return metrics.boundingRect(QRect(0, 0, label->width(), 10000), Qt::TextWordWrap | Qt::AlignLeft, text).height();
}
} // namespace

class tst_Panel : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempConfig> mConfig;
    QTemporaryDir mFolder;
    FakeAsyncReader* mReader = nullptr;
    std::unique_ptr<frmUPDATE> mForm;
    vcUPDATECTL* wizard() const { return mForm->vcUPDATECTL1; }

private slots:
    void init() {
        mConfig = std::make_unique<TempConfig>();
        host::SetAppPathOverride(mFolder.path());
        host::SetCommandOverride(QString());
        mReader = new FakeAsyncReader;
        mForm = std::make_unique<frmUPDATE>(mReader);
        mForm->Start();
        mForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mForm.get()));
    }
    void cleanup() {
        mForm.reset();
        host::SetAppPathOverride(std::nullopt);
        host::SetCommandOverride(std::nullopt);
        mConfig.reset();
    }

    void controls_sitWhereDesigned_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        // Twips divided by 15, relative to the container.
        QTest::newRow("Image1") << "Image1" << QRect(-8, -8, 407, 69);
        QTest::newRow("fraFRAME(0)") << "fraFRAME_0" << QRect(8, 72, 385, 137);
        QTest::newRow("fraFRAME(1)") << "fraFRAME_1" << QRect(8, 72, 385, 137);
        QTest::newRow("fraFRAME(2)") << "fraFRAME_2" << QRect(8, 72, 385, 137);
        QTest::newRow("lblSTEP1") << "lblSTEP1" << QRect(16, 24, 353, 105);
        QTest::newRow("lblSTEP2") << "lblSTEP2" << QRect(16, 24, 353, 17);
        // Down to the frame's foot instead of two lines, for a failed check's reason.
        QTest::newRow("lblPROGRESS") << "lblPROGRESS" << QRect(16, 40, 353, 33);
        QTest::newRow("lblVERSION") << "lblVERSION" << QRect(16, 72, 353, 17);
        QTest::newRow("lblYES") << "lblYES" << QRect(16, 96, 353, 41);
        QTest::newRow("lblUPDATE") << "lblUPDATE" << QRect(8, 16, 369, 49);
        // Three lines instead of the design's one, for the save-failure text.
        QTest::newRow("lblPROGRESSUPDATE") << "lblPROGRESSUPDATE" << QRect(8, 80, 369, 49);
        QTest::newRow("cmdCANCEL") << "cmdCANCEL" << QRect(224, 216, 81, 25);
        QTest::newRow("cmdNEXT") << "cmdNEXT" << QRect(312, 216, 81, 25);
    }
    void controls_sitWhereDesigned() {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        auto* control = wizard()->findChild<QWidget*>(name);
        QVERIFY(control);
        QCOMPARE(control->geometry(), geometry);
    }

    void panelAndWindow_haveTheirFixedSizes() {
        QCOMPARE(wizard()->geometry(), QRect(0, 0, 398, 249));
        wizard()->resize(500, 400);
        QCOMPARE(wizard()->size(), QSize(398, 249));
        QCOMPARE(mForm->size(), QSize(400, 250));
        QCOMPARE(mForm->minimumSize(), mForm->maximumSize());
        QCOMPARE(mForm->windowTitle(), QStringLiteral("VELTRIN Kelvane"));
        const Qt::WindowFlags flags = mForm->windowFlags();
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(flags & Qt::WindowSystemMenuHint);
        QVERIFY(!mForm->windowIcon().isNull());
        QCOMPARE(mForm->windowIcon().availableSizes(), (QList<QSize>{QSize(16, 16), QSize(32, 32)}));
    }

    void window_opensCentredOnTheScreen() {
        const QRect screen = mForm->screen()->availableGeometry();
        const QPoint centre = mForm->geometry().center();
        QVERIFY2(qAbs(centre.x() - screen.center().x()) <= 1 && qAbs(centre.y() - screen.center().y()) <= 1,
                 qPrintable(QStringLiteral("window centre %1,%2").arg(centre.x()).arg(centre.y())));
    }

    void designTexts_fitTheirBoxes() {
        QVERIFY(wrappedHeight(wizard()->lblSTEP1, wizardtexts::kWelcomeText) <= wizard()->lblSTEP1->height());
        QVERIFY(wrappedHeight(wizard()->lblSTEP2, wizardtexts::kConnectingText) <= wizard()->lblSTEP2->height());
        QVERIFY(wrappedHeight(wizard()->lblYES, wizardtexts::kNewVersionText) <= wizard()->lblYES->height());
        QVERIFY(wrappedHeight(wizard()->lblYES, wizardtexts::kNoNewVersionText) <= wizard()->lblYES->height());
        QVERIFY(wrappedHeight(wizard()->lblPROGRESS, wizardtexts::kVersionFailureText) <=
                wizard()->lblPROGRESS->height());
    }

    void updateCaption_threeLinesFit() {
        wizard()->cmdNEXT_Click();
        mReader->complete(wizard()->appFolder() + wizard()->VersionFileName(),
                          "Veltrin Marlo\r\n2.0.1\r\nhttp://updates.test/setup.exe\r\n");
        wizard()->cmdNEXT_Click();
        const QString caption = wizard()->lblUPDATE->text();
        QCOMPARE(caption.count(QStringLiteral("\r\n")), 2);
        QString shown = caption;
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        const QFontMetrics metrics(wizard()->lblUPDATE->font());
        QVERIFY(metrics.lineSpacing() * 3 <= wizard()->lblUPDATE->height());
        QVERIFY(wrappedHeight(wizard()->lblUPDATE, shown) <= wizard()->lblUPDATE->height());
    }

    void creation_showsWelcomeFrameOnly() {
        QVERIFY(wizard()->fraFRAME[0]->isVisible());
        QVERIFY(!wizard()->fraFRAME[1]->isVisible());
        QVERIFY(!wizard()->fraFRAME[2]->isVisible());
        QVERIFY(!wizard()->lblYES->isVisibleTo(wizard()->fraFRAME[1]));
        QCOMPARE(wizard()->fraFRAME[1]->title(), wizardtexts::kFrame2Caption);
        QCOMPARE(wizard()->fraFRAME[2]->title(), wizardtexts::kFrame3Caption);
        QCOMPARE(wizard()->lblUPDATE->text(), wizardtexts::kUpdateCaption);
        QVERIFY(wizard()->cmdNEXT->isEnabled() && wizard()->cmdCANCEL->isEnabled());
    }

    void focus_startsOnNextAndTabsBetweenTheButtons() {
        QCOMPARE(QApplication::focusWidget(), wizard()->cmdNEXT);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), wizard()->cmdCANCEL);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), wizard()->cmdNEXT);
        QVERIFY(!wizard()->cmdNEXT->isDefault() && !wizard()->cmdNEXT->autoDefault());
        QVERIFY(!wizard()->cmdCANCEL->isDefault() && !wizard()->cmdCANCEL->autoDefault());
    }

    // Neither button is a default button, so Enter presses nothing, wherever
    // it is typed; Escape does not close the window.
    void enterAndEscape_pressNothing_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("onNext"); // else typed into the window
        for (const auto& [name, key] : {std::pair{"Return", Qt::Key_Return}, std::pair{"Enter", Qt::Key_Enter},
                                        std::pair{"Escape", Qt::Key_Escape}}) {
            QTest::addRow("%s on Next", name) << int(key) << true;
            QTest::addRow("%s into the window", name) << int(key) << false;
        }
    }
    void enterAndEscape_pressNothing() {
        QFETCH(int, key);
        QFETCH(bool, onNext);
        MsgBoxRecorder boxes;
        int closeRequests = 0;
        connect(wizard(), &vcUPDATECTL::CloseRequest, this, [&](const QString&) { ++closeRequests; });
        QCOMPARE(QApplication::focusWidget(), wizard()->cmdNEXT);
        if (onNext) {
            QTest::keyClick(wizard()->cmdNEXT, Qt::Key(key));
        } else {
            QTest::keyClick(mForm->windowHandle(), Qt::Key(key)); // as the keyboard does: to the focus
        }
        QTest::qWait(50);
        QVERIFY(!mForm->isUnloaded());
        QCOMPARE(wizard()->step(), 0);
        QCOMPARE(closeRequests, 0);
    }

    void accessKeys_altNAndAltC() {
        QTest::keyClick(mForm.get(), Qt::Key_N, Qt::AltModifier);
        QTRY_COMPARE(wizard()->step(), 1);
        QTest::keyClick(mForm.get(), Qt::Key_C, Qt::AltModifier);
        QTRY_VERIFY(mForm->isUnloaded());
    }

    void setupButton_hasNoAccessKey() {
        ShellRecorder shell;
        wizard()->cmdNEXT_Click();
        mReader->complete(wizard()->appFolder() + wizard()->VersionFileName(), "P\r\n2.0\r\nhttp://u.test/s.exe\r\n");
        wizard()->cmdNEXT_Click();
        mReader->complete(mReader->started.last().propertyName, QByteArray(10, 'x'));
        QCOMPARE(wizard()->cmdCANCEL->text(), QStringLiteral("Setup"));
        QTest::keyClick(mForm.get(), Qt::Key_C, Qt::AltModifier);
        QTest::qWait(100);
        QVERIFY(!mForm->isUnloaded());
        QVERIFY(shell.calls.isEmpty());
    }

    void everyControl_hasAnAccessibleName() {
        QList<QWidget*> controls{wizard()->Image1, wizard()->lblSTEP1, wizard()->cmdNEXT, wizard()->cmdCANCEL,
                                 wizard()};
        for (QGroupBox* frame : wizard()->fraFRAME) {
            controls << frame;
        }
        for (QWidget* control : controls) {
            QAccessibleInterface* face = QAccessible::queryAccessibleInterface(control);
            QVERIFY(face);
            QVERIFY2(!face->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(control->objectName()));
        }
        QCOMPARE(QAccessible::queryAccessibleInterface(wizard()->cmdNEXT)->text(QAccessible::Name),
                 QStringLiteral("Next >>"));
        QCOMPARE(QAccessible::queryAccessibleInterface(wizard()->fraFRAME[0])->text(QAccessible::Name),
                 wizardtexts::kFrame1Caption);
    }
};

QTEST_MAIN(tst_Panel)
#include "tst_panel.moc"
