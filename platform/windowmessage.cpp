#include "windowmessage.h"

#include <QCoreApplication>

#include <memory>
#include <mutex>

namespace vtrl::platform {

void RegisterWindowMessageTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QEvent::registerEventType(WM_COMEVENT);
        for (int n = FirstNotification; n <= LastNotification; ++n)
            QEvent::registerEventType(n);
    });
}

WindowMessage::WindowMessage(int message, std::optional<Payload> payload)
    : QEvent(static_cast<QEvent::Type>(message)), payload_(std::move(payload))
{
    RegisterWindowMessageTypes();
}

std::optional<Payload> WindowMessage::takePayload()
{
    std::optional<Payload> taken = std::move(payload_);
    payload_.reset();
    return taken;
}

bool PostWindowMessage(QObject* target, int message, std::optional<Payload> payload)
{
    if (!target)
        return false;  // `payload` goes out of scope here
    auto event = std::make_unique<WindowMessage>(message, std::move(payload));
    // Qt owns posted events; it deletes them after delivery or when the
    // target is destroyed with the event still queued.
    QCoreApplication::postEvent(target, event.release());
    return true;
}

}  // namespace vtrl::platform
