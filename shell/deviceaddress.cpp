#include "deviceaddress.h"

#include "protocol/rules.h"

namespace vtrl {

QString FormatDeviceAddress(const DeviceAddress& address)
{
    return QString::fromStdString(protocol::FormatAddress(address));
}

std::optional<DeviceAddress> ParseDeviceAddress(const QString& text)
{
    // Non-Latin-1 characters become '?', which no hex digit is.
    return protocol::ParseAddress(text.toLatin1().toStdString());
}

}  // namespace vtrl
