#pragma once
// Types shared by every layer above the driver.

#include <array>
#include <cstdint>

namespace vtrl {

// Bluetooth device address, least significant byte first. Six zero bytes in a
// command address the attached device.
using DeviceAddress = std::array<std::uint8_t, 6>;

// Copy of a VersionInfo answer: the first 100 payload bytes and the 16-bit
// value at offset 100.
struct VersionRecord {
    std::array<std::uint8_t, 100> block{};
    std::uint16_t value = 0;
};

}  // namespace vtrl
