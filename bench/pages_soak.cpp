// Soak: connect, read the configuration, disconnect, many times over, against
// the in-process simulator through the real COM port page, and report the
// resident memory at the start and the end.
//   bench_soak [cycles=1000] [--reopen]
// By default each cycle ends by closing the port as the wizard does when it
// closes; with --reopen the next "Set COM Port Selection" closes it through
// OpenPort (with its 250 ms drain), as an operator pressing Set again does.
#include "backend.h"
#include "demo/rig.h"
#include "pages/wizard.h"
#include "platform/messagebox.h"

#include <QApplication>
#include <QTest>

#include "bench/pages_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using vtrl::bench::ResidentKiB;

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int cycles = 1000;
    bool reopen = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reopen") == 0)
            reopen = true;
        else
            cycles = std::max(1, std::atoi(argv[i]));
    }

    vtrl::platform::ScriptedMessageBoxes boxes;
    vtrl::demo::Rig rig;
    int port = 0;
    vtrl::sim::Simulator& device = rig.AddDevice(&port);
    if (!rig.Open(vtrl::fnCableReplacement) || !rig.Select(port)) {
        std::fprintf(stderr, "%s\n", qPrintable(rig.Error()));
        return 1;
    }
    vtrl::TfrmMain& main = rig.main();
    vtrl::TfrmCommPortSel& page = *vtrl::frmCommPortSel;

    const long atStart = ResidentKiB();
    long afterWarmUp = atStart;
    const int warmUp = 1;
    std::size_t commands = 0;
    const auto began = std::chrono::steady_clock::now();
    for (int c = 0; c < cycles; ++c) {
        QTest::mouseClick(&page.btnSetCommPortSel, Qt::LeftButton);
        if (!vtrl::demo::WaitUntil([&] { return page.ConfigurationShown; }, 10000)) {
            std::fprintf(stderr, "cycle %d: no configuration (%s)\n", c, qPrintable(page.Panel0.text()));
            return 1;
        }
        if (!reopen) {
            SerialClose(main.PortHandle);
            main.PortHandle = -1;
            // Lets the closed port's queued events run out.
            if (!vtrl::serial::WaitForMonitorThreadCount(0, 5000)) {
                std::fprintf(stderr, "cycle %d: the monitor thread did not end\n", c);
                return 1;
            }
            QCoreApplication::processEvents();
        }
        // The in-process device keeps every frame it received; that list is
        // not the wizard's memory.
        commands += device.receivedCount();
        device.clearReceived();
        if (c + 1 == warmUp)
            afterWarmUp = ResidentKiB();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const long atEnd = ResidentKiB();
    std::printf("bench_soak: %d connect / read configuration / disconnect cycles%s in %.1f s\n", cycles,
                reopen ? " (closed by the next Set)" : "", seconds);
    // The first cycle loads what stays for good (fonts, the first thread's
    // stack and buffers); what the later cycles add is what would pile up.
    std::printf("  resident memory: before the first connection %ld KiB, after the first cycle %ld KiB, "
                "at the end %ld KiB\n",
                atStart, afterWarmUp, atEnd);
    std::printf("  growth over the last %d cycles: %+ld KiB (%+ld KiB from before the first); commands seen: %zu\n",
                cycles - warmUp, atEnd - afterWarmUp, atEnd - atStart, commands);
    return 0;
}
