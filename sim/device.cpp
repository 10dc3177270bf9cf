#include "device.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace vtrl::sim {

namespace {

template <std::size_t N>
std::string textOf(const std::array<std::uint8_t, N>& field)
{
    auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return std::string(field.begin(), end);
}

template <std::size_t N>
void setText(std::array<std::uint8_t, N>& field, std::string_view text)
{
    field.fill(0);
    const std::size_t n = std::min(text.size(), N - 1);   // keep the terminator
    std::copy_n(text.begin(), n, field.begin());
}

void putElement(std::vector<std::uint8_t>& out, std::uint8_t tag, const std::uint8_t* data,
                std::size_t size)
{
    out.push_back(tag);
    out.push_back(static_cast<std::uint8_t>(size));
    out.insert(out.end(), data, data + size);
}

void putByte(std::vector<std::uint8_t>& out, std::uint8_t tag, std::uint8_t value)
{
    putElement(out, tag, &value, 1);
}

std::optional<unsigned long> parseNumber(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned long value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || ptr != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

}  // namespace

std::string DeviceConfig::name() const { return textOf(deviceName); }
void DeviceConfig::setName(std::string_view text) { setText(deviceName, text); }
std::string DeviceConfig::pin() const { return textOf(pinCode); }
void DeviceConfig::setPin(std::string_view text) { setText(pinCode, text); }

std::vector<std::uint8_t> encodeParameterBlock(const DeviceConfig& c)
{
    std::vector<std::uint8_t> out;
    out.reserve(128);
    putByte(out, 1, c.tag1Value);
    putByte(out, 2, c.deviceFunction);
    putByte(out, 3, c.baudCode);
    putByte(out, 4, c.dataBitsCode);
    putByte(out, 5, c.parityCode);
    putByte(out, 6, c.stopBitsCode);
    putByte(out, 7, c.flowControlCode);
    putByte(out, 8, c.interfaceCode);
    putElement(out, 9, c.deviceName.data(), c.deviceName.size());
    const std::uint8_t timeout[2] = {static_cast<std::uint8_t>(c.linkTimeout & 0xFF),
                                     static_cast<std::uint8_t>(c.linkTimeout >> 8)};
    putElement(out, 10, timeout, 2);
    putByte(out, 11, c.bondRole);
    putElement(out, 12, c.bondedAddress.data(), c.bondedAddress.size());
    putElement(out, 13, c.tag13Value.data(), c.tag13Value.size());
    putByte(out, 14, c.powerByte);
    putByte(out, 15, c.encryption);
    putByte(out, 16, c.authentication);
    putElement(out, 17, c.pinCode.data(), c.pinCode.size());
    putByte(out, 18, c.outputOnCD);
    out.push_back(0);
    out.push_back(0);
    return out;
}

bool setConfigField(DeviceConfig& c, int tag, std::string_view value)
{
    switch (tag) {
    case 9:
        c.setName(value);
        return true;
    case 12:
        if (auto a = parseAddress(value)) {
            c.bondedAddress = *a;
            return true;
        }
        return false;
    case 13:
        setText(c.tag13Value, value);
        return true;
    case 17:
        c.setPin(value);
        return true;
    default:
        break;
    }
    auto n = parseNumber(value);
    if (!n)
        return false;
    if (tag == 10) {
        if (*n > 0xFFFF)
            return false;
        c.linkTimeout = static_cast<std::uint16_t>(*n);
        return true;
    }
    if (*n > 0xFF)
        return false;
    const auto v = static_cast<std::uint8_t>(*n);
    switch (tag) {
    case 1: c.tag1Value = v; return true;
    case 2: c.deviceFunction = v; return true;
    case 3: c.baudCode = v; return true;
    case 4: c.dataBitsCode = v; return true;
    case 5: c.parityCode = v; return true;
    case 6: c.stopBitsCode = v; return true;
    case 7: c.flowControlCode = v; return true;
    case 8: c.interfaceCode = v; return true;
    case 11: c.bondRole = v; return true;
    case 14: c.powerByte = v; return true;
    case 15: c.encryption = v; return true;
    case 16: c.authentication = v; return true;
    case 18: c.outputOnCD = v; return true;
    default: return false;
    }
}

std::optional<DeviceAddress> parseAddress(std::string_view text)
{
    std::string digits;
    for (char ch : text) {
        if (ch == ':' || ch == '-')
            continue;
        digits.push_back(ch);
    }
    if (digits.size() != 12)
        return std::nullopt;
    DeviceAddress a{};
    for (int i = 0; i < 6; ++i) {
        unsigned v = 0;
        const char* first = digits.data() + 2 * i;
        auto [ptr, ec] = std::from_chars(first, first + 2, v, 16);
        if (ec != std::errc{} || ptr != first + 2)
            return std::nullopt;
        a[5 - i] = static_cast<std::uint8_t>(v);   // text is most significant first
    }
    return a;
}

std::string formatAddress(const DeviceAddress& a)
{
    char buf[13];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X%02X%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
    return buf;
}

}  // namespace vtrl::sim
