#include "protocol/rules.h"

#include "protocol/delivery.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vtrl::protocol {

Millis Patience(CommandType command)
{
    switch (command) {
    case GetLocalAddress:
        return kTimeouts.portCheck;
    case InitiateInquiry:
        return kTimeouts.inquiry;
    case InitiateBonding:
    case PingRequest:
    case GetConfig:
    case GetVersion:
        return std::max(kTimeouts.bondStep, kTimeouts.portCheck);
    case SetPortConfig:
        return kTimeouts.portSettings;
    case SetDeviceConfig:
        return kTimeouts.deviceSettingsTick;
    case UpdateFlash:
        return kTimeouts.flash;
    case Abort:
        break;
    }
    return Millis{0};
}

bool ChangesDevice(CommandType command)
{
    switch (command) {
    case SetPortConfig:
    case SetDeviceConfig:
    case InitiateBonding:
    case PingRequest:  // brings the link, and what a save covers, to another unit
    case Abort:
        return true;
    default:
        return false;
    }
}

bool NameCanHold(char32_t c)
{
    return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF);
}

bool PinCanHold(char32_t c)
{
    return c >= 0x20 && c <= 0x7E;
}

std::optional<std::string> FirstUnfitCharacter(std::string_view text, bool pin)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return std::string(text.substr(i, 1));
        char32_t c = length == 1 ? b : (b & (0xFF >> (length + 1)));
        bool wellFormed = true;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            wellFormed = wellFormed && (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        const std::string character(text.substr(i, length));
        if (!wellFormed || !(pin ? PinCanHold(c) : NameCanHold(c)))
            return character;
        i += length;
    }
    return std::nullopt;
}

std::string FieldText(const std::uint8_t* field, std::size_t size)
{
    const auto* end = std::find(field, field + size, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(field), static_cast<std::size_t>(end - field));
}

bool CheckApplicationVersion(std::span<const std::uint8_t> versionInfo)
{
    if (versionInfo.size() <= kVersionMinor2At)
        return false;
    const std::array<std::uint8_t, 3> digits = {versionInfo[kVersionMajorAt], versionInfo[kVersionMinor1At],
                                                versionInfo[kVersionMinor2At]};
    constexpr std::array<std::uint8_t, 3> minimum = {'2', '0', '9'};
    // The first digit that differs decides; equal to the minimum is accepted.
    return digits >= minimum;
}

VersionRecord ToVersionRecord(std::span<const std::uint8_t> b)
{
    VersionRecord r;
    std::copy_n(b.begin(), std::min(b.size(), r.block.size()), r.block.begin());
    if (b.size() >= kVersionInfoBlock)
        r.value = static_cast<std::uint16_t>(b[100] | (b[101] << 8));
    return r;
}

std::string ApplicationVersionText(const VersionRecord& r)
{
    return FieldText(r.block.data() + 6, 32);
}

std::string BluetoothVersionText(const VersionRecord& r)
{
    return FieldText(r.block.data() + 38, 62);
}

std::string VersionBoxText(const VersionRecord& r)
{
    return "Application Version: " + ApplicationVersionText(r) + "\n\rBluetooth Version  : " + BluetoothVersionText(r);
}

ConfigurationLines DescribeConfiguration(const DeviceConfig& c)
{
    // Codes are read as signed bytes; anything outside a table is "Unknown".
    const auto in = [](std::uint8_t v, int n) {
        const int s = static_cast<std::int8_t>(v);
        return s >= 1 && s <= n;
    };
    static constexpr std::array<const char*, 10> baud = {"300",  "1200",  "2400",  "4800",  "7200",
                                                         "9600", "19200", "38400", "57600", "115200"};
    static constexpr std::array<const char*, 3> flows = {"None", "Software", "Hardware"};
    ConfigurationLines lines;
    std::string format = "Unknown";
    if (in(c.BaudCode, 10) && in(c.DataBitsCode, 2) && in(c.ParityCode, 3) && in(c.StopBitsCode, 2)) {
        format = std::string(baud[c.BaudCode - 1]) + (c.DataBitsCode == 1 ? ",7" : ",8") + ','
            + "NOE"[c.ParityCode - 1] + ',' + static_cast<char>('0' + c.StopBitsCode);
    }
    lines.format = "Data Format  : " + format;
    lines.flowControl = std::string("Flow Control  : ") + (in(c.FlowControlCode, 3) ? flows[c.FlowControlCode - 1] : "Unknown");
    const std::string role = static_cast<std::int8_t>(c.InterfaceCode) == 2 ? "DCE" : "DTE";
    switch (static_cast<std::int8_t>(c.DeviceFunction)) {
    case 1:
        lines.deviceType = "Device Type : " + role + " Cable Replacement";
        lines.bondedTo = "Bonded To    : " + FormatAddress(c.BondedAddress) + " as "
            + (static_cast<std::int8_t>(c.BondRole) == 1 ? "Master" : "Slave");
        break;
    case 2:
        lines.deviceType = "Device Type : " + role + " SPP Server";
        break;
    default:
        lines.deviceType = "Device Type : Unknown";
        break;
    }
    switch (c.PowerByte & 0xF0) {
    case 0x10: lines.powerClass = "Power Class: 1"; break;
    case 0x20: lines.powerClass = "Power Class: 2"; break;
    default: lines.powerClass = "Power Class: Unknown"; break;
    }
    return lines;
}

std::string FormatAddress(const DeviceAddress& a)
{
    char text[13];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
    return text;
}

std::optional<DeviceAddress> ParseAddress(std::string_view text, bool separators)
{
    // Digit by digit: a library number parser would take signs, blanks or a
    // 0x prefix and silently shorten the address.
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string digits;
    for (char c : text) {
        if (separators && (c == ':' || c == '-'))
            continue;
        digits += c;
    }
    if (digits.size() != 12)
        return std::nullopt;
    DeviceAddress address{};
    for (int group = 0; group < 6; ++group) {
        const int hi = digit(digits[2 * group]);
        const int lo = digit(digits[2 * group + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        address[5 - group] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return address;
}

}  // namespace vtrl::protocol
