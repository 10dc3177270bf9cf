#include "protocol/commands.h"

#include "protocol/exchange.h"
#include "protocol/payloads.h"

#include <algorithm>
#include <span>

namespace vtrl::protocol {

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

int CommandSender::SendSetLocalPortConfig(const PortSettings& settings) {
    return SendSetRemotePortConfig(DeviceAddress{}, settings);
}

int CommandSender::SendSetRemotePortConfig(const DeviceAddress& address, const PortSettings& settings) {
    const auto p = PortConfigCommand{address, settings}.Encode();
    return Send(SetPortConfig, p.data(), static_cast<std::uint16_t>(p.size()));
}

int CommandSender::SendSetDeviceConfig(const DeviceSettings& settings) {
    const auto p = settings.Encode();
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
