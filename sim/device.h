#pragma once
// What a simulated device holds: identity, version texts and its stored
// configuration, plus the parameter-block encoding of that configuration.

#include "protocol/types.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtrl::sim {

// Command and answer type codes on the wire.
namespace type {
inline constexpr std::uint8_t NegativeResponse = 1;
inline constexpr std::uint8_t Confirmation = 2;
inline constexpr std::uint8_t GetLocalAddress = 3;   // answered by LocalAddress, same code
inline constexpr std::uint8_t LocalAddress = 3;
inline constexpr std::uint8_t InitiateInquiry = 4;
inline constexpr std::uint8_t InquiryResult = 5;
inline constexpr std::uint8_t InquiryComplete = 6;
inline constexpr std::uint8_t InitiateBonding = 7;
inline constexpr std::uint8_t BondResult = 8;
inline constexpr std::uint8_t ConnectionStatus = 9;
inline constexpr std::uint8_t SetPortConfig = 10;
inline constexpr std::uint8_t SetDeviceConfig = 11;
inline constexpr std::uint8_t PingRequest = 12;
inline constexpr std::uint8_t Abort = 13;
inline constexpr std::uint8_t UpdateFlash = 14;
inline constexpr std::uint8_t GetConfig = 16;
inline constexpr std::uint8_t ConfigReport = 17;
inline constexpr std::uint8_t GetVersion = 32;   // answered by VersionInfo, same code
inline constexpr std::uint8_t VersionInfo = 32;
}  // namespace type

// Reason codes carried in byte 1 of a NegativeResponse.
namespace reason {
inline constexpr std::uint8_t ChecksumFailure = 0;
inline constexpr std::uint8_t UnknownCommand = 1;
inline constexpr std::uint8_t DeviceBusy = 2;
inline constexpr std::uint8_t ProcessTimedOut = 3;
inline constexpr std::uint8_t ErrorExecuting = 4;
}  // namespace reason

// The stored configuration, one field per parameter tag 1..18. Codes are the
// 1-based codes of the wire (baud 1..10 = 300..115200, data bits 1 = 7 / 2 = 8,
// parity 1 None / 2 Odd / 3 Even, stop bits 1 / 2, flow 1 None / 2 Software /
// 3 Hardware, interface 1 DTE / 2 DCE, function 1 Cable Replacement / 2 SPP).
struct DeviceConfig {
    std::uint8_t tag1Value = 1;                    // tag 1
    std::uint8_t deviceFunction = 1;               // tag 2
    std::uint8_t baudCode = 6;                     // tag 3 (9600)
    std::uint8_t dataBitsCode = 2;                 // tag 4
    std::uint8_t parityCode = 1;                   // tag 5
    std::uint8_t stopBitsCode = 1;                 // tag 6
    std::uint8_t flowControlCode = 3;              // tag 7
    std::uint8_t interfaceCode = 2;                // tag 8
    std::array<std::uint8_t, 30> deviceName{};     // tag 9, zero-terminated
    std::uint16_t linkTimeout = 20;                // tag 10
    std::uint8_t bondRole = 1;                     // tag 11, 1 Master, else Slave
    DeviceAddress bondedAddress{};                 // tag 12
    std::array<std::uint8_t, 16> tag13Value{};     // tag 13
    std::uint8_t powerByte = 0x10;                 // tag 14: class high nibble, level low
    std::uint8_t encryption = 0;                   // tag 15
    std::uint8_t authentication = 0;               // tag 16
    std::array<std::uint8_t, 16> pinCode{};        // tag 17, zero-padded
    std::uint8_t outputOnCD = 0;                   // tag 18

    std::string name() const;                      // deviceName up to its zero
    void setName(std::string_view text);           // cut to 29 characters
    std::string pin() const;
    void setPin(std::string_view text);            // cut to 15 characters

    bool operator==(const DeviceConfig&) const = default;
};

// Tags 1..18 in ascending order, each with its field width, then a zero tag
// element (00 00).
std::vector<std::uint8_t> encodeParameterBlock(const DeviceConfig& config);

// Sets one field from its tag and a text value: numbers (decimal or 0x hex)
// for the 1- and 2-byte fields, 12 hex digits for tag 12, text for 9, 13, 17.
// Returns false for an unknown tag or a value that does not fit.
bool setConfigField(DeviceConfig& config, int tag, std::string_view value);

// 12 hex digits, most significant byte first <-> address bytes, least
// significant first. Separators ':' and '-' are accepted when parsing.
std::optional<DeviceAddress> parseAddress(std::string_view text);
std::string formatAddress(const DeviceAddress& address);

}  // namespace vtrl::sim
