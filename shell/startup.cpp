#include "startup.h"

#include "platform/messagebox.h"

#include <QString>

#include <exception>

namespace vtrl {

int RunGuarded(const std::function<int()>& body)
{
    QString message;
    try {
        return body();
    } catch (const std::exception& e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        message = QStringLiteral("Unknown error.");
    }
    // The standard box: the message ending in a full stop, captioned with the
    // application title, OK, error icon.
    message = message.trimmed();
    if (!message.isEmpty() && !message.endsWith(QLatin1Char('.')))
        message += QLatin1Char('.');
    platform::ShowMessageBox(nullptr, message, QString::fromLatin1(ApplicationTitle),
                             platform::MbButtons::Ok, platform::MbIcon::Error);
    return 0;
}

}  // namespace vtrl
