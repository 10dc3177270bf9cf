#pragma once
// What the page benches share: resident memory, and pumping the event loop
// until a condition holds.

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

}  // namespace vtrl::bench
