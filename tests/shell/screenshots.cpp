// Saves pictures of the Introduction and Finish pages, for looking at the
// layout under a real X server: shell_screenshots OUT_DIR
#include "pages/wizard.h"
#include "shell/uifont.h"

#include <QApplication>
#include <QScreen>
#include <QTest>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString dir = QString::fromLocal8Bit(argv[1]);
    qInfo("font: %s %dpx", qPrintable(vtrl::WizardFont().family()), vtrl::WizardFont().pixelSize());
    vtrl::Wizard wizard;
    vtrl::TfrmMain& main = wizard.main();
    main.show();
    if (!QTest::qWaitForWindowExposed(&main))
        return 1;
    QTest::qWait(300);
    auto shoot = [&](const QString& name) {
        QTest::qWait(200);
        const QRect frame = main.frameGeometry().adjusted(-8, -8, 8, 8);
        QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
            .save(dir + name);
    };
    shoot(QStringLiteral("/shot-intro.png"));
    vtrl::frmIntroduction->SetItemIndex(0);
    QTest::qWait(100);
    shoot(QStringLiteral("/shot-intro-chosen.png"));
    // No device here: stand one in so the COM port and discovery pages let Next through.
    vtrl::frmCommPortSel->Connected = true;
    vtrl::frmCommPortSel->ConfigurationShown = true;
    vtrl::frmMain->LocalConfig.InterfaceCode = 2;
    vtrl::frmConfigLocalPort->ConfigConfirmed = true;
    vtrl::frmConfigRemotePort->ConfigConfirmed = true;
    vtrl::frmFlashUpdate->FlashSaved = true;
    vtrl::frmDevDisc->Bonded = true;
    vtrl::frmDevDisc->BondTargetAddress = {1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 6; ++i)
        main.btnNext.click();
    shoot(QStringLiteral("/shot-finish.png"));
    main.btnBack.show();  // just to compare spacing; not part of the flow
    main.btnBack.hide();
    return 0;
}
