#include "pump.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>

namespace vtrl::platform {

void PumpMessagesFor(int ms)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto span = std::chrono::milliseconds(ms);
    while (Clock::now() - start < span)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void PumpMessagesWhile(const std::function<bool()>& condition)
{
    while (condition())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace vtrl::platform
