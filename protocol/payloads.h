#pragma once
// What each command and answer carries, and the one place its bytes are
// laid out: every type encodes or decodes its own payload. Decoding never
// reads past the payload it is given; a payload too short for its fields
// gives nothing.

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/params.h"
#include "protocol/types.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vtrl::protocol {

using Payload = std::span<const std::uint8_t>;

// The serial settings of a SetPortConfig (payload bytes 6 to 13), as codes
// of the configuration record. On the wire stop bits come before parity.
struct PortSettings {
    std::uint8_t baud = 0;
    std::uint8_t dataBits = 0;
    std::uint8_t stopBits = 0;
    std::uint8_t parity = 0;
    std::uint8_t interfaceCode = 0;
    std::uint8_t flowControl = 0;
    std::uint8_t powerByte = 0;  // class in the high four bits, level in the low
    std::uint8_t cdOutput = 0;
    bool operator==(const PortSettings&) const = default;

    static PortSettings Of(const DeviceConfig& config);
    void Into(DeviceConfig& config) const;
};

// SetPortConfig: the unit (zero: the attached device) and its settings.
struct PortConfigCommand {
    static constexpr std::size_t kSize = 14;
    DeviceAddress unit{};
    PortSettings settings;

    std::array<std::uint8_t, kSize> Encode() const;
    static std::optional<PortConfigCommand> Decode(Payload payload);
};

// SetDeviceConfig: identity and security of an SPP Server.
struct DeviceSettings {
    static constexpr std::size_t kSize = 51;
    std::string name;  // as the device holds it: one byte a character, at most 29
    std::uint16_t linkTimeout = 0;
    bool encryption = false;
    bool authentication = false;
    std::array<std::uint8_t, kPinField> pin{};  // zero-padded; at most 15 characters go out
    bool resetLinkKeys = false;                  // goes out only with authentication on

    // The settings a device keeps (the link-key reset is an act, not kept).
    bool SameAs(const DeviceSettings& other) const;
    std::string PinText() const;

    static DeviceSettings Of(const DeviceConfig& config);
    void Into(DeviceConfig& config) const;
    // The name is cut to 29 bytes, the PIN to 15; byte 50 is 0 without
    // authentication.
    std::array<std::uint8_t, kSize> Encode() const;
    static std::optional<DeviceSettings> Decode(Payload payload);
};

// The address a command is for, where it names one (bonding, ping, port
// settings, configuration and version requests); zero otherwise.
DeviceAddress UnitOf(CommandType command, Payload payload);

// InquiryResult: a unit found, and the name it reported.
struct InquiryResultPayload {
    static constexpr std::size_t kNameAt = 9;
    static constexpr std::size_t kNameField = 248;
    DeviceAddress address{};
    std::string name;
    static std::optional<InquiryResultPayload> Decode(Payload payload);
};

// ConfigReport: the sequence of the GetConfig it answers, and the
// configuration its parameter block holds.
struct ConfigReportPayload {
    std::uint8_t sequence = 0;
    DeviceConfig config{};
    int elements = 0;  // as DecodeConfig counts them; -1 for a bad element (those before it stay)
    static std::optional<ConfigReportPayload> Decode(Payload payload);
    // The request it answers, without decoding the rest.
    static std::optional<std::uint8_t> SequenceOf(Payload payload);
};

// NegativeResponse: its first byte is the device's own; the second, the
// reason, has a text for every code.
struct RefusalPayload {
    std::uint8_t first = 0;
    std::uint8_t reason = 0;
    std::string ReasonText() const;
    static std::optional<RefusalPayload> Decode(Payload payload);
};
// The reason text of a NegativeResponse's payload, or of none.
std::string RefusalReason(const std::optional<std::vector<std::uint8_t>>& block);

// The one byte of a Confirmation (the command it names), a BondResult (0:
// bonded) and a ConnectionStatus (2: the link is up).
std::optional<std::uint8_t> FirstByte(Payload payload);
inline constexpr std::uint8_t kLinkUp = 2;

// LocalAddress: the attached device's address.
std::optional<DeviceAddress> DecodeLocalAddress(Payload payload);

// Where a frame's payload carries the PIN (from, to; empty when it carries
// none): SetDeviceConfig's field, a ConfigReport's PIN element.
std::pair<std::size_t, std::size_t> PinBytes(bool sent, std::uint8_t type, Payload payload);

// Names of frame types in each direction ("GetConfig", "ConfigReport"); a
// type the protocol does not know reads as its number.
std::string CommandName(std::uint8_t type);
std::string ResponseName(std::uint8_t type);

}  // namespace vtrl::protocol
