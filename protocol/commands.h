#pragma once
// The commands the PC sends to the attached device. Each operation frames
// one command through the PacketSender and does not wait for an answer.

#include <array>
#include <cstdint>
#include <string_view>

#include "protocol/packet.h"
#include "protocol/types.h"

namespace vtrl::protocol {

enum CommandType : std::uint8_t {
    GetLocalAddress = 3,
    InitiateInquiry = 4,
    InitiateBonding = 7,
    SetPortConfig = 10,
    SetDeviceConfig = 11,
    PingRequest = 12,
    Abort = 13,
    UpdateFlash = 14,
    GetConfig = 16,
    GetVersion = 32,
};

class ExchangeLedger;
struct PortSettings;
struct DeviceSettings;
using ExchangeId = std::uint32_t;  // a send entered in the ledger; 0: none
using Owner = std::uint32_t;       // who sent it; 0: nobody in particular

inline constexpr std::size_t kDeviceNameField = 30;  // 29 characters and a zero byte
inline constexpr std::size_t kPinField = 16;         // 15 characters and a zero byte

// Results: 0 when the frame was written, -1 when not. SendGetLocalAddress and
// SendGetConfig return the sequence number the frame carried instead of 0.
// Every command written is entered in the ledger, if there is one, as sent by
// the owner named last with As().
class CommandSender {
public:
    explicit CommandSender(PacketSender& sender, ExchangeLedger* ledger = nullptr) : sender_(sender), ledger_(ledger) {}

    CommandSender& As(Owner owner)
    {
        owner_ = owner;
        return *this;
    }
    // The send the last command was entered as; 0 when it was not written,
    // expects no answer, or there is no ledger.
    ExchangeId LastExchange() const { return last_; }

    int SendGetLocalAddress();
    int SendInitiateInquiry();
    int SendInitiateBonding(const DeviceAddress& address);
    int SendSetLocalPortConfig(const PortSettings& settings);
    int SendSetRemotePortConfig(const DeviceAddress& address, const PortSettings& settings);
    // A name over 29 characters is cut to 29; the PIN's byte 15 is always sent
    // as zero so that the code stays at most 15 characters and terminated.
    int SendSetDeviceConfig(const DeviceSettings& settings);
    int SendPingRequest(const DeviceAddress& address);
    int SendAbort();
    int SendUpdateFlash();
    int SendGetConfig(const DeviceAddress& address);
    int SendGetVersion(const DeviceAddress& address);

private:
    int Send(CommandType type, const std::uint8_t* payload, std::uint16_t length);
    int SendNumbered(CommandType type, const std::uint8_t* payload, std::uint16_t length);

    PacketSender& sender_;
    ExchangeLedger* ledger_;
    Owner owner_ = 0;
    ExchangeId last_ = 0;
};

}  // namespace vtrl::protocol
