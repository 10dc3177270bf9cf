// Time from the "Set COM Port Selection" click to the configuration shown,
// against the in-process simulator: bench_comport_connect [runs]
#include "pages/wizard.h"
#include "platform/messagebox.h"
#include "serial/portnames.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;

    vtrl::sim::Simulator device;
    if (!device.start()) {
        std::fprintf(stderr, "simulator: %s\n", device.errorText().c_str());
        return 1;
    }
    const int port = static_cast<int>(vtrl::serial::RegisterPortPath(device.slavePath()));
    vtrl::platform::ScriptedMessageBoxes boxes;
    vtrl::Wizard wizard;
    vtrl::TfrmMain& main = wizard.main();
    main.show();
    vtrl::frmIntroduction->SetItemIndex(0);
    main.btnNext.click();
    vtrl::TfrmCommPortSel& page = *vtrl::frmCommPortSel;
    int item = -1;
    for (int i = 0; i < page.cboCommPort.count(); ++i)
        if (vtrl::TfrmCommPortSel::PortNumberOfItem(page.cboCommPort.itemText(i)) == port)
            item = i;
    if (item < 0)
        return 1;
    page.cboCommPort.setCurrentIndex(item);

    std::vector<double> ms, exchange;
    auto opened = std::chrono::steady_clock::now();
    QObject::connect(&page, &vtrl::TfrmCommPortSel::statusChanged, [&](int panel, const QString& text) {
        if (panel == 0 && text == QLatin1String("Establishing connection with device..."))
            opened = std::chrono::steady_clock::now();
    });
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        QTest::mouseClick(&page.btnSetCommPortSel, Qt::LeftButton);
        // Wait for events, not in slices: QTest::qWaitFor sleeps 10 ms between
        // looks, which would be most of what is measured here.
        const auto deadline = start + std::chrono::seconds(10);
        while (!page.ConfigurationShown && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (!page.ConfigurationShown) {
            std::fprintf(stderr, "run %d: no configuration (%s)\n", r, qPrintable(page.StatusText(0)));
            return 1;
        }
        const auto end = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        exchange.push_back(std::chrono::duration<double, std::milli>(end - opened).count());
    }
    std::sort(ms.begin(), ms.end());
    std::sort(exchange.begin(), exchange.end());
    std::printf("bench_comport_connect: %d runs, median %.1f ms, min %.1f ms, max %.1f ms\n", runs,
                ms[ms.size() / 2], ms.front(), ms.back());
    std::printf("  of which port open to configuration shown (three exchanges): median %.1f ms\n",
                exchange[exchange.size() / 2]);
    std::printf("(the first run opens the port; later runs close it and wait the 250 ms drain first)\n");
    return 0;
}
