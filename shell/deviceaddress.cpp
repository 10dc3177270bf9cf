#include "deviceaddress.h"

namespace vtrl {

QString FormatDeviceAddress(const DeviceAddress& a)
{
    return QString::asprintf("%02X%02X%02X%02X%02X%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
}

namespace {

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    if (u >= u'a' && u <= u'f') return u - u'a' + 10;
    return -1;
}

}  // namespace

std::optional<DeviceAddress> ParseDeviceAddress(const QString& text)
{
    // Checked digit by digit: a library number parser would accept signs,
    // blanks or a 0x prefix and silently shorten the address.
    if (text.size() != 12)
        return std::nullopt;
    DeviceAddress address{};
    for (int group = 0; group < 6; ++group) {
        const int hi = hexDigit(text[2 * group]);
        const int lo = hexDigit(text[2 * group + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        address[5 - group] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return address;
}

}  // namespace vtrl
