#include "protocol/payloads.h"

#include "protocol/rules.h"

#include <algorithm>

namespace vtrl::protocol {

namespace {

// SetPortConfig bytes after the address.
enum PortAt : std::size_t { kBaud = 6, kDataBits, kStopBits, kParity, kInterface, kFlow, kPower, kCd };
// SetDeviceConfig.
constexpr std::size_t kLinkTimeoutAt = 30;
constexpr std::size_t kEncryptionAt = 32;
constexpr std::size_t kAuthenticationAt = 33;
constexpr std::size_t kPinAt = 34;
constexpr std::size_t kResetAt = 50;

}  // namespace

PortSettings PortSettings::Of(const DeviceConfig& c)
{
    return {c.BaudCode, c.DataBitsCode, c.StopBitsCode, c.ParityCode, c.InterfaceCode, c.FlowControlCode, c.PowerByte,
            c.OutputOnCD};
}

void PortSettings::Into(DeviceConfig& c) const
{
    c.BaudCode = baud;
    c.DataBitsCode = dataBits;
    c.StopBitsCode = stopBits;
    c.ParityCode = parity;
    c.InterfaceCode = interfaceCode;
    c.FlowControlCode = flowControl;
    c.PowerByte = powerByte;
    c.OutputOnCD = cdOutput;
}

std::array<std::uint8_t, PortConfigCommand::kSize> PortConfigCommand::Encode() const
{
    std::array<std::uint8_t, kSize> p{};
    std::copy(unit.begin(), unit.end(), p.begin());
    p[kBaud] = settings.baud;
    p[kDataBits] = settings.dataBits;
    p[kStopBits] = settings.stopBits;
    p[kParity] = settings.parity;
    p[kInterface] = settings.interfaceCode;
    p[kFlow] = settings.flowControl;
    p[kPower] = settings.powerByte;
    p[kCd] = settings.cdOutput;
    return p;
}

std::optional<PortConfigCommand> PortConfigCommand::Decode(Payload p)
{
    if (p.size() < kSize)
        return std::nullopt;
    PortConfigCommand c;
    std::copy_n(p.begin(), c.unit.size(), c.unit.begin());
    c.settings = {p[kBaud], p[kDataBits], p[kStopBits], p[kParity], p[kInterface], p[kFlow], p[kPower], p[kCd]};
    return c;
}

bool DeviceSettings::SameAs(const DeviceSettings& o) const
{
    return name == o.name && linkTimeout == o.linkTimeout && encryption == o.encryption
        && authentication == o.authentication && PinText() == o.PinText();
}

std::string DeviceSettings::PinText() const
{
    return FieldText(pin.data(), kPinField - 1);
}

DeviceSettings DeviceSettings::Of(const DeviceConfig& c)
{
    DeviceSettings s;
    s.name = FieldText(c.DeviceName.data(), kDeviceNameField - 1);
    s.linkTimeout = c.LinkTimeout;
    s.encryption = c.Encryption != 0;
    s.authentication = c.Authentication != 0;
    // What a field holds past its zero byte is no part of the PIN.
    const std::string pin = FieldText(c.PinCode.data(), c.PinCode.size());
    std::copy_n(pin.begin(), std::min(pin.size(), kPinField - 1), s.pin.begin());
    return s;
}

void DeviceSettings::Into(DeviceConfig& c) const
{
    c.DeviceName.fill(0);
    std::copy_n(name.begin(), std::min(name.size(), kDeviceNameField - 1), c.DeviceName.begin());
    c.LinkTimeout = linkTimeout;
    c.Encryption = encryption ? 1 : 0;
    c.Authentication = authentication ? 1 : 0;
    c.PinCode.fill(0);
    const std::string text = PinText();
    std::copy(text.begin(), text.end(), c.PinCode.begin());
}

std::array<std::uint8_t, DeviceSettings::kSize> DeviceSettings::Encode() const
{
    std::array<std::uint8_t, kSize> p{};
    std::copy_n(name.begin(), std::min(name.size(), kDeviceNameField - 1), p.begin());
    p[kLinkTimeoutAt] = static_cast<std::uint8_t>(linkTimeout & 0xFF);
    p[kLinkTimeoutAt + 1] = static_cast<std::uint8_t>(linkTimeout >> 8);
    p[kEncryptionAt] = encryption ? 1 : 0;
    p[kAuthenticationAt] = authentication ? 1 : 0;
    // The code stays at most 15 characters and terminated.
    std::copy_n(pin.begin(), kPinField - 1, p.begin() + kPinAt);
    // Resetting link keys only means something with authentication on.
    p[kResetAt] = (authentication && resetLinkKeys) ? 1 : 0;
    return p;
}

std::optional<DeviceSettings> DeviceSettings::Decode(Payload p)
{
    if (p.size() < kSize)
        return std::nullopt;
    DeviceSettings s;
    s.name = FieldText(p.data(), kDeviceNameField);
    s.linkTimeout = static_cast<std::uint16_t>(p[kLinkTimeoutAt] | (p[kLinkTimeoutAt + 1] << 8));
    s.encryption = p[kEncryptionAt] != 0;
    s.authentication = p[kAuthenticationAt] != 0;
    std::copy_n(p.begin() + kPinAt, kPinField, s.pin.begin());
    s.resetLinkKeys = p[kResetAt] != 0;
    return s;
}

DeviceAddress UnitOf(CommandType command, Payload p)
{
    DeviceAddress unit{};
    switch (command) {
    case InitiateBonding:
    case SetPortConfig:
    case PingRequest:
    case GetConfig:
    case GetVersion:
        if (p.size() >= unit.size())
            std::copy_n(p.begin(), unit.size(), unit.begin());
        break;
    default:
        break;
    }
    return unit;
}

std::optional<InquiryResultPayload> InquiryResultPayload::Decode(Payload p)
{
    if (p.size() < kNameAt)
        return std::nullopt;
    InquiryResultPayload r;
    std::copy_n(p.begin(), r.address.size(), r.address.begin());
    r.name = FieldText(p.data() + kNameAt, std::min(p.size() - kNameAt, kNameField));
    return r;
}

std::optional<ConfigReportPayload> ConfigReportPayload::Decode(Payload p)
{
    if (p.empty())
        return std::nullopt;
    ConfigReportPayload r;
    r.sequence = *SequenceOf(p);
    r.elements = DecodeConfig(r.config, p.data() + 1, p.size() - 1);
    return r;
}

std::optional<std::uint8_t> ConfigReportPayload::SequenceOf(Payload p)
{
    return FirstByte(p);
}

std::string RefusalPayload::ReasonText() const
{
    return protocol::ReasonText(reason);
}

std::optional<RefusalPayload> RefusalPayload::Decode(Payload p)
{
    if (p.size() < 2)
        return std::nullopt;
    return RefusalPayload{p[0], p[1]};
}

std::string RefusalReason(const std::optional<std::vector<std::uint8_t>>& block)
{
    const auto refusal = block ? RefusalPayload::Decode(*block) : std::nullopt;
    return protocol::ReasonText(refusal ? refusal->reason : -1);
}

std::optional<std::uint8_t> FirstByte(Payload p)
{
    if (p.empty())
        return std::nullopt;
    return p[0];
}

std::optional<DeviceAddress> DecodeLocalAddress(Payload p)
{
    DeviceAddress a{};
    if (p.size() < a.size())
        return std::nullopt;
    std::copy_n(p.begin(), a.size(), a.begin());
    return a;
}

std::pair<std::size_t, std::size_t> PinBytes(bool sent, std::uint8_t type, Payload p)
{
    if (sent && type == SetDeviceConfig && p.size() >= kPinAt + kPinField)
        return {kPinAt, kPinAt + kPinField};
    if (sent || type != ConfigReport)
        return {0, 0};
    // The parameter block after the report's sequence byte: tag, length, value.
    constexpr std::uint8_t kPinTag = 17;
    std::size_t at = 1;
    while (at + 2 <= p.size() && p[at] != 0 && p[at + 1] != 0) {
        const std::size_t n = p[at + 1];
        if (p[at] == kPinTag)
            return {at + 2, std::min(at + 2 + n, p.size())};
        at += 2 + n;
    }
    return {0, 0};
}

std::string CommandName(std::uint8_t type)
{
    switch (type) {
    case GetLocalAddress: return "GetLocalAddress";
    case InitiateInquiry: return "InitiateInquiry";
    case InitiateBonding: return "InitiateBonding";
    case SetPortConfig: return "SetPortConfig";
    case SetDeviceConfig: return "SetDeviceConfig";
    case PingRequest: return "PingRequest";
    case Abort: return "Abort";
    case UpdateFlash: return "UpdateFlash";
    case GetConfig: return "GetConfig";
    case GetVersion: return "GetVersion";
    default: return "type " + std::to_string(type);
    }
}

std::string ResponseName(std::uint8_t type)
{
    switch (type) {
    case NegativeResponse: return "NegativeResponse";
    case Confirmation: return "Confirmation";
    case LocalAddress: return "LocalAddress";
    case InquiryResult: return "InquiryResult";
    case InquiryComplete: return "InquiryComplete";
    case BondResult: return "BondResult";
    case ConnectionStatus: return "ConnectionStatus";
    case ConfigReport: return "ConfigReport";
    case VersionInfo: return "VersionInfo";
    default: return "type " + std::to_string(type);
    }
}

}  // namespace vtrl::protocol
