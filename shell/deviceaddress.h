#pragma once
// Text form of a Bluetooth device address: 12 upper-case hexadecimal digits,
// most significant byte first.

#include "protocol/types.h"

#include <QString>

#include <optional>

namespace vtrl {

QString FormatDeviceAddress(const DeviceAddress& address);

// Exactly 12 hexadecimal digits (either case), nothing else: no blanks, no
// signs, no prefix. Anything else gives nullopt, never a partial address.
std::optional<DeviceAddress> ParseDeviceAddress(const QString& text);

}  // namespace vtrl
