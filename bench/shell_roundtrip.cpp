// Round trip of GetLocalAddress -> LocalAddress notification at the page:
// main window, driver, pty, simulator thread, monitor thread, WM_COMEVENT,
// receiver, delivery. Prints the median and spread over N requests.
//   bench_roundtrip [requests]
#include "demo/rig.h"
#include "pages/wizard.h"
#include "platform/windowmessage.h"
#include "protocol/delivery.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

class CountingPage : public QWidget {
public:
    int answers = 0;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == static_cast<QEvent::Type>(vtrl::protocol::MsgLocalAddress)) {
            ++answers;
            return true;
        }
        return QWidget::event(e);
    }
};

}  // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;

    vtrl::demo::Rig rig;
    int port = 0;
    rig.AddDevice(&port);
    if (!rig.Open(vtrl::fnCableReplacement)) {
        std::fprintf(stderr, "%s\n", qPrintable(rig.Error()));
        return 1;
    }
    vtrl::TfrmMain& main = rig.main();
    CountingPage page;
    main.SetNotifyWindow(&page);
    if (main.OpenPort(port) != 0) {
        std::fprintf(stderr, "could not open the simulator's port\n");
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(requests));
    for (int i = 0; i < requests; ++i) {
        const int before = page.answers;
        const auto start = Clock::now();
        if (main.Commands(nullptr).SendGetLocalAddress() < 0) {
            std::fprintf(stderr, "write failed\n");
            return 1;
        }
        const auto deadline = start + std::chrono::seconds(2);
        while (page.answers == before && Clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (page.answers == before) {
            std::fprintf(stderr, "no answer to request %d\n", i);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
    std::printf("GetLocalAddress round trip over %d requests: median %.0f us (p10 %.0f, p90 %.0f, max %.0f)\n",
                requests, at(0.5), at(0.1), at(0.9), micros.back());
    return 0;
}
