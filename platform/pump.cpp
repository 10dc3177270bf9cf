#include "pump.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace vtrl::platform {

void PumpMessagesFor(int ms)
{
    const QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    // The wait below ends on any event; this timer is the event that ends it
    // at the deadline when nothing else comes, so the thread sleeps instead
    // of polling.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        if (!wake.isActive())
            wake.start(std::max<int>(1, static_cast<int>(deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void PumpMessagesWhile(const std::function<bool()>& condition)
{
    while (condition())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace vtrl::platform
