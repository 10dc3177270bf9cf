#include "protocol/commands.h"

#include "protocol/exchange.h"

#include <algorithm>
#include <span>

namespace vtrl::protocol {
namespace {

constexpr std::size_t kPortConfigSize = 14;
constexpr std::size_t kDeviceConfigSize = 51;

std::array<std::uint8_t, kPortConfigSize> PortConfigPayload(
    const DeviceAddress& address, std::uint8_t interfaceCode, std::uint8_t baud, std::uint8_t dataBits,
    std::uint8_t stopBits, std::uint8_t parity, std::uint8_t flowControl, std::uint8_t powerByte,
    std::uint8_t cdOutput) {
    std::array<std::uint8_t, kPortConfigSize> p{};
    std::copy(address.begin(), address.end(), p.begin());
    // The device expects stop bits before parity here, unlike the order of
    // the configuration record.
    p[6] = baud;
    p[7] = dataBits;
    p[8] = stopBits;
    p[9] = parity;
    p[10] = interfaceCode;
    p[11] = flowControl;
    p[12] = powerByte;
    p[13] = cdOutput;
    return p;
}

}  // namespace

int CommandSender::Send(CommandType type, const std::uint8_t* payload, std::uint16_t length) {
    return SendNumbered(type, payload, length) >= 0 ? 0 : -1;
}

int CommandSender::SendNumbered(CommandType type, const std::uint8_t* payload, std::uint16_t length) {
    const std::uint8_t sequence = sender_.Sequence();
    last_ = 0;
    if (!sender_.SendPacket(type, length, payload))
        return -1;
    if (ledger_)
        last_ = ledger_->Sent(type, sequence, std::span<const std::uint8_t>(payload, payload ? length : 0), owner_);
    return sequence;
}

int CommandSender::SendGetLocalAddress() {
    return SendNumbered(GetLocalAddress, nullptr, 0);
}

int CommandSender::SendInitiateInquiry() {
    const std::uint8_t payload[] = {10, 0};
    return Send(InitiateInquiry, payload, sizeof payload);
}

int CommandSender::SendInitiateBonding(const DeviceAddress& address) {
    return Send(InitiateBonding, address.data(), static_cast<std::uint16_t>(address.size()));
}

int CommandSender::SendSetLocalPortConfig(std::uint8_t interfaceCode, std::uint8_t baud, std::uint8_t dataBits,
                                          std::uint8_t stopBits, std::uint8_t parity, std::uint8_t flowControl,
                                          std::uint8_t powerByte, std::uint8_t cdOutput) {
    const auto p = PortConfigPayload(DeviceAddress{}, interfaceCode, baud, dataBits, stopBits, parity,
                                     flowControl, powerByte, cdOutput);
    return Send(SetPortConfig, p.data(), static_cast<std::uint16_t>(p.size()));
}

int CommandSender::SendSetRemotePortConfig(std::uint8_t interfaceCode, std::uint8_t baud,
                                           const DeviceAddress& address, std::uint8_t dataBits,
                                           std::uint8_t stopBits, std::uint8_t parity, std::uint8_t flowControl,
                                           std::uint8_t powerByte, std::uint8_t cdOutput) {
    const auto p = PortConfigPayload(address, interfaceCode, baud, dataBits, stopBits, parity, flowControl,
                                     powerByte, cdOutput);
    return Send(SetPortConfig, p.data(), static_cast<std::uint16_t>(p.size()));
}

int CommandSender::SendSetDeviceConfig(std::uint16_t linkTimeout, std::string_view name, bool authentication,
                                       bool encryption, const std::array<std::uint8_t, 16>& pin,
                                       bool resetLinkKeys) {
    std::array<std::uint8_t, kDeviceConfigSize> p{};
    const std::size_t nameLength = std::min(name.size(), kDeviceNameField - 1);
    std::copy_n(name.begin(), nameLength, p.begin());
    p[30] = static_cast<std::uint8_t>(linkTimeout & 0xFF);
    p[31] = static_cast<std::uint8_t>(linkTimeout >> 8);
    p[32] = encryption ? 1 : 0;
    p[33] = authentication ? 1 : 0;
    std::copy_n(pin.begin(), kPinField - 1, p.begin() + 34);
    p[34 + kPinField - 1] = 0;
    // Resetting link keys only means something with authentication on.
    p[50] = (authentication && resetLinkKeys) ? 1 : 0;
    return Send(SetDeviceConfig, p.data(), static_cast<std::uint16_t>(p.size()));
}

int CommandSender::SendPingRequest(const DeviceAddress& address) {
    return Send(PingRequest, address.data(), static_cast<std::uint16_t>(address.size()));
}

int CommandSender::SendAbort() {
    const std::uint8_t payload[] = {3};
    return Send(Abort, payload, sizeof payload);
}

int CommandSender::SendUpdateFlash() {
    return Send(UpdateFlash, nullptr, 0);
}

int CommandSender::SendGetConfig(const DeviceAddress& address) {
    return SendNumbered(GetConfig, address.data(), static_cast<std::uint16_t>(address.size()));
}

int CommandSender::SendGetVersion(const DeviceAddress& address) {
    return Send(GetVersion, address.data(), static_cast<std::uint16_t>(address.size()));
}

}  // namespace vtrl::protocol
