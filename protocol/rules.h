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

// How long the device is waited for on `command`: the longest wait of any
// step that sends it.
Millis Patience(CommandType command);

// A device answers a command within twelve times the time-out of the step
// that sent it, or never: until then a send given up on may still be the one
// an answer belongs to. With the time-outs above: 24 s for the port check,
// 60 s for bonding, ping, the remote's version and configuration and the
// port settings, 12 s for the device settings, 120 s for the save and 240 s
// for an inquiry. The wizard and vtrlctl give the ledger the time-out they
// wait, so shortened time-outs (tests) shorten the window with them.
inline constexpr int kAnswerWindowFactor = 12;
constexpr Millis AnswerWindowFor(Millis patience) { return patience * kAnswerWindowFactor; }
inline Millis AnswerWindow(CommandType command) { return AnswerWindowFor(Patience(command)); }

// Commands after which the device holds, or would save, something else.
// Reads and the save itself change nothing.
bool ChangesDevice(CommandType command);

// Text fields: the characters a device holds, one field byte kept for the
// terminating zero.
inline constexpr std::size_t kDeviceNameMax = kDeviceNameField - 1;  // 29
inline constexpr std::size_t kPinMax = kPinField - 1;                // 15
// The longest link time-out the Advanced dialog offers; a device may hold more.
inline constexpr std::uint16_t kLinkTimeoutOffered = 40;

// The text of a zero-terminated field, never read past `size`.
std::string FieldText(const std::uint8_t* field, std::size_t size);

// The characters the text fields carry, one byte each as the device shows
// them: the name takes the printable characters of ISO 8859-1 (Western
// European letters among them), the PIN printable ASCII. Anything else would
// reach the device as another character.
bool NameCanHold(char32_t c);
bool PinCanHold(char32_t c);
// The first character of `text` (UTF-8) that the field cannot hold, as
// UTF-8; none when all fit. Malformed UTF-8 counts as unfit.
std::optional<std::string> FirstUnfitCharacter(std::string_view text, bool pin);

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
