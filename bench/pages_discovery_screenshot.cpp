// Not a benchmark: walks the wizard onto the discovery page against the
// in-process simulator and saves two pictures, the inquiry in progress and
// the paired view: pages_discovery_screenshot OUT_DIR (run under Xvfb).
#include "pages/wizard.h"
#include "serial/portnames.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QScreen>
#include <QTest>

#include "bench/pages_support.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString dir = QString::fromLocal8Bit(argv[1]);
    vtrl::sim::Simulator device;
    // Slow enough to catch the inquiry under way.
    device.setInquiryDelay(std::chrono::milliseconds(1500));
    if (!device.start()) {
        std::fprintf(stderr, "simulator: %s\n", device.errorText().c_str());
        return 1;
    }
    const int port = static_cast<int>(vtrl::serial::RegisterPortPath(device.slavePath()));
    vtrl::Wizard wizard;
    vtrl::TfrmMain& main = wizard.main();
    main.show();
    if (!QTest::qWaitForWindowExposed(&main))
        return 1;
    auto shoot = [&](const QString& name) {
        QTest::qWait(300);
        const QRect frame = main.frameGeometry().adjusted(-8, -8, 8, 8);
        return QGuiApplication::primaryScreen()
            ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
            .save(dir + name);
    };
    vtrl::bench::ToCommPortPage(main, 0, port);
    vtrl::TfrmCommPortSel& comPage = *vtrl::frmCommPortSel;
    QTest::mouseClick(&comPage.btnSetCommPortSel, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return comPage.ConfigurationShown; }, 10000))
        return 1;
    QTest::mouseClick(&main.btnNext, Qt::LeftButton);

    vtrl::TfrmDevDisc& page = *vtrl::frmDevDisc;
    QTest::mouseClick(&page.btnSearchDevices, Qt::LeftButton);
    QTest::qWait(3500);
    shoot(QStringLiteral("/devdisc-inquiry.png"));
    if (!QTest::qWaitFor([&] { return !page.tmrInquiry.isActive(); }, 25000))
        return 1;
    const auto items = page.lstDeviceList.findItems(QStringLiteral("001BDC0A9ABC"), Qt::MatchExactly, 0);
    if (items.isEmpty())
        return 1;
    QTest::mouseClick(page.lstDeviceList.viewport(), Qt::LeftButton, {},
                      page.lstDeviceList.visualItemRect(items.front()).center());
    shoot(QStringLiteral("/devdisc-list.png"));
    QTest::mouseClick(&page.btnBondSelectedDevice, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return page.lblBonded.isVisible(); }, 10000))
        std::fprintf(stderr, "not paired: %s\n", qPrintable(page.Panel0.text()));
    return shoot(QStringLiteral("/devdisc-paired.png")) ? 0 : 1;
}
