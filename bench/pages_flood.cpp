// A flood of InquiryResults during an inquiry: the longest stretch the
// user-interface thread is busy while it is handled, against the in-process
// simulator through the real discovery page.
//   bench_flood [results=10000] [distinct=1000]
// A 1 ms timer on the user-interface thread notes when it gets its turn; the
// longest gap between two turns is the longest busy stretch.
#include "demo/rig.h"
#include "pages/wizard.h"
#include "platform/messagebox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "bench/pages_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using vtrl::bench::ResidentKiB;
using vtrl::demo::WaitUntil;

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int results = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    const int distinct = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;

    vtrl::platform::ScriptedMessageBoxes boxes;
    vtrl::demo::Rig rig;
    int port = 0;
    vtrl::sim::Simulator& device = rig.AddDevice(&port);
    device.clearRemotes();
    vtrl::sim::InquiryScript endless;
    endless.completeMissing = true;
    device.setInquiry(endless);
    if (!rig.Open(vtrl::fnCableReplacement) || !rig.walk.ConnectPort(port) || !rig.walk.Next(vtrl::frmDevDisc)) {
        std::fprintf(stderr, "%s\n", qPrintable(rig.Error()));
        return 1;
    }
    vtrl::TfrmDevDisc& disc = *vtrl::frmDevDisc;
    disc.tmrInquiry.setInterval(120000);  // the flood's end, not the clock, ends the inquiry
    const auto payloads = vtrl::sim::inquiryFlood(distinct, results);

    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = 0, longest = 0, longestAt = 0;
    QTimer turn;
    turn.setTimerType(Qt::PreciseTimer);
    turn.setInterval(1);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (now - lastTurn > longest) {
            longest = now - lastTurn;
            longestAt = now;
        }
        lastTurn = now;
    });

    QTest::mouseClick(&disc.btnSearchDevices, Qt::LeftButton);
    WaitUntil([] { return false; }, 50);  // the inquiry's own start settles
    const long rssBefore = ResidentKiB();
    turn.start();
    lastTurn = clock.nsecsElapsed();
    longest = 0;
    const qint64 began = lastTurn;
    device.sendUnaskedMany(vtrl::sim::type::InquiryResult, payloads);
    device.sendUnasked(vtrl::sim::type::InquiryComplete, {});
    if (!WaitUntil([&] { return !disc.tmrInquiry.isActive(); }, 120000)) {
        std::fprintf(stderr, "the inquiry did not end: %s\n", qPrintable(disc.Panel0.text()));
        return 1;
    }
    const qint64 ended = clock.nsecsElapsed();
    turn.stop();
    const long rssAfter = ResidentKiB();

    std::printf("bench_flood: %d InquiryResults (%d distinct units, the rest repeats and foreign names)\n",
                results, distinct);
    std::printf("  handled in %.1f ms; longest busy stretch of the user-interface thread %.1f ms (at %.1f ms)\n",
                (ended - began) / 1e6, longest / 1e6, (longestAt - began) / 1e6);
    std::printf("  listed %d, counted %d, status \"%s\"\n", disc.lstDeviceList.topLevelItemCount(), disc.NewDeviceCount,
                qPrintable(disc.Panel0.text()));
    std::printf("  resident memory %ld KiB before, %ld KiB after (%+ld KiB)\n", rssBefore, rssAfter,
                rssAfter - rssBefore);
    return 0;
}
