// Drives the wizard against the in-process simulator to the local port page
// and saves pictures of it while it waits for the confirmation, and of the
// Advanced dialog for power class 1 and 2: pages_port_screenshot OUT_DIR
// (run under Xvfb so that the dialog is on the grabbed screen).
#include "pages/wizard.h"
#include "platform/messagebox.h"
#include "serial/portnames.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "bench/pages_support.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString dir = QString::fromLocal8Bit(argv[1]);
    vtrl::sim::Simulator device;
    if (!device.start())
        return 1;
    const int port = static_cast<int>(vtrl::serial::RegisterPortPath(device.slavePath()));
    vtrl::platform::ScriptedMessageBoxes boxes;
    vtrl::Wizard wizard;
    vtrl::TfrmMain& main = wizard.main();
    main.show();
    if (!QTest::qWaitForWindowExposed(&main))
        return 1;
    vtrl::bench::ToCommPortPage(main, 1, port);
    vtrl::TfrmCommPortSel& com = *vtrl::frmCommPortSel;
    com.btnSetCommPortSel.click();
    if (!QTest::qWaitFor([&] { return com.ConfigurationShown; }, 10000))
        return 1;
    main.btnNext.click();

    const auto shoot = [&](const QString& name, const QWidget& window) {
        QTest::qWait(300);
        const QRect frame = window.frameGeometry().adjusted(-8, -8, 8, 8);
        QGuiApplication::primaryScreen()
            ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
            .save(dir + name);
    };
    vtrl::TfrmConfigLocalPort& page = *vtrl::frmConfigLocalPort;
    device.setSilentFor(vtrl::sim::type::SetPortConfig, true);
    page.cboBaudRate.setCurrentIndex(9);
    page.btnSetLocalPortConfig.click();
    shoot(QStringLiteral("/local-port-waiting.png"), main);
    page.tmrConfig.stop();

    for (int powerClass : {0x10, 0x20}) {
        page.PendingPortSettings.PowerClass = powerClass;
        page.PendingPortSettings.PowerLevel = 3;
        QTimer::singleShot(200, [&] {
            if (vtrl::TfAdvanced* dialog = vtrl::fAdvanced) {
                // With the level list open, so that the offered levels show.
                dialog->cbPowerLevel.showPopup();
                QTest::qWait(300);
                QRect area = dialog->frameGeometry();
                if (QWidget* popup = QApplication::activePopupWidget())
                    area = area.united(popup->frameGeometry());
                area.adjust(-8, -8, 8, 8);
                QGuiApplication::primaryScreen()
                    ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                    .save(dir + QStringLiteral("/advanced-class%1.png").arg(powerClass >> 4));
                dialog->cbPowerLevel.hidePopup();
                dialog->bCancel.click();
            }
        });
        page.bAdvanced.click();
    }
    return 0;
}
