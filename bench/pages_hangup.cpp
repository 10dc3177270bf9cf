// bench_hangup: from the device's hang-up to the page's text saying so, on
// the local port page while its settings wait for an answer (the device
// never gives one). Prints the median and spread over N runs.
//   bench_hangup [runs]
#include "pages/wizard.h"
#include "pages_support.h"
#include "protocol/rules.h"
#include "serial/portnames.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const QTemporaryDir dir;
    const std::string link = QDir(dir.path()).filePath("device").toStdString();
    using Clock = std::chrono::steady_clock;
    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        vtrl::sim::Simulator sim;
        sim.setSilentFor(vtrl::sim::type::SetPortConfig, true);
        if (!sim.start() || !sim.setStablePath(link)) {
            std::fprintf(stderr, "simulator: %s\n", sim.errorText().c_str());
            return 1;
        }
        const int port = static_cast<int>(vtrl::serial::RegisterPortPath(link));
        vtrl::Wizard wizard;
        vtrl::TfrmMain& main = wizard.main();
        main.show();
        if (!vtrl::bench::ToCommPortPage(main, 1, port)) {
            std::fprintf(stderr, "%s is not listed\n", link.c_str());
            return 1;
        }
        vtrl::TfrmCommPortSel& comm = *vtrl::frmCommPortSel;
        comm.btnSetCommPortSel.click();
        if (!vtrl::bench::PumpUntil([&] { return comm.ConfigurationShown; }, 5000)) {
            std::fprintf(stderr, "run %d: no connection: %s\n", r, qPrintable(comm.Panel0.text()));
            return 1;
        }
        main.btnNext.click();
        vtrl::TfrmConfigLocalPort& page = *vtrl::frmConfigLocalPort;
        page.btnSet.click();
        if (!vtrl::bench::PumpUntil([&] { return sim.receivedCount() >= 4; }, 5000)) {
            std::fprintf(stderr, "run %d: the settings did not go out\n", r);
            return 1;
        }
        const auto start = Clock::now();
        sim.hangUp();
        if (!vtrl::bench::PumpUntil([&] { return page.Panel0.text().contains(QLatin1String("was disconnected")); }, 10000)) {
            std::fprintf(stderr, "run %d: the page did not say so: %s\n", r, qPrintable(page.Panel0.text()));
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        main.hide();
        vtrl::serial::ResetRegisteredPortsForTesting();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("hang-up to the page's text, %d runs: median %.2f ms, min %.2f ms, max %.2f ms "
                "(the page's own time-out: %d ms)\n",
                runs, ms[ms.size() / 2], ms.front(), ms.back(),
                static_cast<int>(vtrl::protocol::kTimeouts.portSettings.count()));
    return 0;
}
