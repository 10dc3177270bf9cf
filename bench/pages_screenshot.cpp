// Drives the wizard to the COM port page, connects to the first registered
// port (VTRLCFG_PORTS) and saves a picture: pages_screenshot OUT.png
#include "pages/wizard.h"
#include "serial/portnames.h"

#include <QApplication>
#include <QScreen>
#include <QTest>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    vtrl::serial::RegisterPortsFromEnvironment();
    vtrl::Wizard wizard;
    vtrl::TfrmMain& main = wizard.main();
    main.show();
    if (!QTest::qWaitForWindowExposed(&main))
        return 1;
    vtrl::frmIntroduction->SetItemIndex(0);
    QTest::mouseClick(&main.btnNext, Qt::LeftButton);
    vtrl::TfrmCommPortSel& page = *vtrl::frmCommPortSel;
    for (int i = 0; i < page.cboCommPort.count(); ++i)
        if (vtrl::TfrmCommPortSel::PortNumberOfItem(page.cboCommPort.itemText(i)).value_or(0)
            >= static_cast<int>(vtrl::serial::kFirstRegisteredPort))
            page.cboCommPort.setCurrentIndex(i);
    QTest::mouseClick(&page.btnSetCommPortSel, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return page.ConfigurationShown; }, 10000))
        qWarning("not connected: %s", qPrintable(page.Panel0.text()));
    QTest::qWait(300);
    const QRect frame = main.frameGeometry().adjusted(-8, -8, 8, 8);
    return QGuiApplication::primaryScreen()
               ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
               .save(QString::fromLocal8Bit(argv[1]))
        ? 0
        : 1;
}
