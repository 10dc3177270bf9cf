#pragma once
// Configuration records of the attached and the bonded remote device, the
// tag-length-value parameter blocks that fill them, and refusal reason texts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/types.h"

namespace vtrl::protocol {

// The device functions DeviceConfig::DeviceFunction names.
inline constexpr std::uint8_t kCableReplacement = 1;
inline constexpr std::uint8_t kSppServer = 2;

// One field per parameter tag 1..18, in tag order. Codes are 1-based.
struct DeviceConfig {
    std::uint8_t Tag1Value = 0;
    std::uint8_t DeviceFunction = 0;   // 1 Cable Replacement, 2 SPP Server
    std::uint8_t BaudCode = 0;         // 1..10 = 300..115200
    std::uint8_t DataBitsCode = 0;     // 1 = 7, 2 = 8
    std::uint8_t ParityCode = 0;       // 1 None, 2 Odd, 3 Even
    std::uint8_t StopBitsCode = 0;     // 1, 2
    std::uint8_t FlowControlCode = 0;  // 1 None, 2 Software, 3 Hardware
    std::uint8_t InterfaceCode = 0;    // 2 DCE, else DTE
    std::array<std::uint8_t, 30> DeviceName{};
    std::uint16_t LinkTimeout = 0;
    std::uint8_t BondRole = 0;  // 1 Master, else Slave
    DeviceAddress BondedAddress{};
    std::array<std::uint8_t, 16> Tag13Value{};
    std::uint8_t PowerByte = 0;  // class in the high nibble, level in the low
    std::uint8_t Encryption = 0;
    std::uint8_t Authentication = 0;
    std::array<std::uint8_t, 16> PinCode{};
    std::uint8_t OutputOnCD = 0;
};

// Process-wide, zero at start; used on the UI thread only.
extern DeviceConfig LocalConfig;
extern DeviceConfig RemoteConfig;

struct ParameterDescriptor {
    std::uint8_t tag;
    std::uint8_t width;
    std::uint8_t* field;
};

// Descriptor tables bound to LocalConfig and RemoteConfig: tags 1..18 in
// order, then a row with tag 0.
const ParameterDescriptor* LocalDescriptors();
const ParameterDescriptor* RemoteDescriptors();

// The row for `tag`, or nullptr when the tag-0 row comes first.
const ParameterDescriptor* FindDescriptor(std::uint8_t tag, const ParameterDescriptor* table);

// Decodes `size` bytes of tag-length-value elements into the table's fields.
// Returns the number of elements stored, or -1 for a missing table or block,
// a tag of 20 or more, or an element running past the end of the block (the
// elements before it stay stored). A value longer than its field is cut to
// the field's width. Tag 0 or length 0 ends the block, and so does its end.
int DecodeParameterBlock(const ParameterDescriptor* table, const std::uint8_t* block, std::size_t size);

// Decodes into LocalConfig (local) or RemoteConfig.
int DecodeConfigReport(bool local, const std::uint8_t* block, std::size_t size);

// Decodes into `config`, with the same table and results.
int DecodeConfig(DeviceConfig& config, const std::uint8_t* block, std::size_t size);

// Text for the reason code of a NegativeResponse.
std::string ReasonText(int code);

}  // namespace vtrl::protocol
