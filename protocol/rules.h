#pragma once
// The rules of the device that the wizard and vtrlctl both follow: how long
// it may take to answer, which application versions can be configured, the
// limits of its text fields, and how a configuration reads to a person.

#include "protocol/commands.h"
#include "protocol/params.h"
#include "protocol/types.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vtrl::protocol {

using Millis = std::chrono::milliseconds;

// How long the device is given for each step.
struct Timeouts {
    Millis portCheck{2000};           // each step of the port check
    Millis inquiry{20000};
    Millis bondStep{5000};            // ping, bonding, connection, remote version and configuration
    Millis portSettings{5000};        // SetPortConfig
    Millis deviceSettingsTick{1000};  // SetDeviceConfig, repeating
    Millis flash{10000};              // UpdateFlash
};
inline constexpr Timeouts kTimeouts{};

// How long the device may take to answer `command`: the longest wait of any
// step that sends it. A send given up on keeps its claim on answers of its
// kind until twice this after it was sent.
Millis Patience(CommandType command);

// Text fields: the characters a device holds, one field byte kept for the
// terminating zero.
inline constexpr std::size_t kDeviceNameMax = kDeviceNameField - 1;  // 29
inline constexpr std::size_t kPinMax = kPinField - 1;                // 15
// The longest link time-out the Advanced dialog offers; a device may hold more.
inline constexpr std::uint16_t kLinkTimeoutOffered = 40;

// The text of a zero-terminated field, never read past `size`.
std::string FieldText(const std::uint8_t* field, std::size_t size);

// The oldest application the wizard configures is V2.09. The digits of the
// application version text (major, first and second minor) stand at these
// VersionInfo offsets and are compared by their character codes, most
// significant first; a block too short to hold them is refused.
inline constexpr std::size_t kVersionMajorAt = 19;
inline constexpr std::size_t kVersionMinor1At = 21;
inline constexpr std::size_t kVersionMinor2At = 22;
bool CheckApplicationVersion(std::span<const std::uint8_t> versionInfo);

// A VersionInfo block as the wizard keeps it, and its two texts.
VersionRecord ToVersionRecord(std::span<const std::uint8_t> versionInfo);
std::string ApplicationVersionText(const VersionRecord& record);
std::string BluetoothVersionText(const VersionRecord& record);
// "Application Version: %s\n\rBluetooth Version  : %s"
std::string VersionBoxText(const VersionRecord& record);

// The lines the COM port page shows for an attached device's configuration.
// `bondedTo` is empty unless the device is a Cable Replacement unit.
struct ConfigurationLines {
    std::string format;
    std::string flowControl;
    std::string deviceType;
    std::optional<std::string> bondedTo;
    std::string powerClass;
};
ConfigurationLines DescribeConfiguration(const DeviceConfig& config);

// 12 upper-case hex digits, most significant byte first, and back. Parsing
// takes exactly 12 hex digits (either case), with ':' or '-' between groups
// when `separators`; anything else gives nothing, never a partial address.
std::string FormatAddress(const DeviceAddress& address);
std::optional<DeviceAddress> ParseAddress(std::string_view text, bool separators = false);

}  // namespace vtrl::protocol
