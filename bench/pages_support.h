#pragma once
// What the page benches share: resident memory, pumping the event loop
// until a condition holds, and the walk to the COM port page.

#include "pages/wizard.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdlib>
#include <fstream>
#include <string>

namespace vtrl::bench {

inline long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Sleeps between events; false when `ms` passed first.
template <typename Done>
bool PumpUntil(Done done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// From the Introduction page (its item `choice`) on to the COM port page,
// with COM `port` selected; false when that port is not listed.
inline bool ToCommPortPage(TfrmMain& main, int choice, int port)
{
    frmIntroduction->SetItemIndex(choice);
    main.btnNext.click();
    TfrmCommPortSel& page = *frmCommPortSel;
    for (int i = 0; i < page.cboCommPort.count(); ++i)
        if (TfrmCommPortSel::PortNumberOfItem(page.cboCommPort.itemText(i)) == port) {
            page.cboCommPort.setCurrentIndex(i);
            return true;
        }
    return false;
}

}  // namespace vtrl::bench
