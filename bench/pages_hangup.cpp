// bench_hangup: from the device's hang-up to the page's text saying so, on
// the local port page while its settings wait for an answer (the device
// never gives one). Prints the median and spread over N runs.
//   bench_hangup [runs]
#include "demo/rig.h"
#include "pages/wizard.h"
#include "protocol/rules.h"

#include <QApplication>

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
    using Clock = std::chrono::steady_clock;
    using vtrl::demo::WaitUntil;
    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        vtrl::demo::Rig rig;
        int port = 0;
        vtrl::sim::Simulator& sim = rig.AddDevice(&port, vtrl::demo::Rig::Line::Stable);
        sim.setSilentFor(vtrl::sim::type::SetPortConfig, true);
        if (!rig.Open(vtrl::fnSppServer) || !rig.walk.ConnectPort(port) || !rig.walk.Next(vtrl::frmConfigLocalPort)) {
            std::fprintf(stderr, "run %d: %s\n", r, qPrintable(rig.Error()));
            return 1;
        }
        vtrl::TfrmConfigLocalPort& page = *vtrl::frmConfigLocalPort;
        page.btnSet.click();
        if (!WaitUntil([&] { return sim.receivedCount() >= 4; }, 5000)) {
            std::fprintf(stderr, "run %d: the settings did not go out\n", r);
            return 1;
        }
        const auto start = Clock::now();
        sim.hangUp();
        if (!WaitUntil([&] { return page.Panel0.text().contains(QLatin1String("was disconnected")); }, 10000)) {
            std::fprintf(stderr, "run %d: the page did not say so: %s\n", r, qPrintable(page.Panel0.text()));
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("hang-up to the page's text, %d runs: median %.2f ms, min %.2f ms, max %.2f ms "
                "(the page's own time-out: %d ms)\n",
                runs, ms[ms.size() / 2], ms.front(), ms.back(),
                static_cast<int>(vtrl::protocol::kTimeouts.portSettings.count()));
    return 0;
}
