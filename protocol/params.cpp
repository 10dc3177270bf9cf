#include "protocol/params.h"

#include <algorithm>
#include <bit>

namespace vtrl::protocol {

DeviceConfig LocalConfig{};
DeviceConfig RemoteConfig{};

namespace {

constexpr std::uint8_t kSkippedTag = 19;
constexpr std::size_t kTableRows = 19;

// Values arrive little-endian and are copied byte-wise into the field, which
// is only right where the host stores LinkTimeout the same way.
static_assert(std::endian::native == std::endian::little,
              "parameter values are copied byte-wise; LinkTimeout needs a little-endian host");

template <typename T>
std::uint8_t* Bytes(T& field) {
    return reinterpret_cast<std::uint8_t*>(&field);
}

using Table = std::array<ParameterDescriptor, kTableRows>;

Table Bind(DeviceConfig& c) {
    return {{
        {1, 1, Bytes(c.Tag1Value)},
        {2, 1, Bytes(c.DeviceFunction)},
        {3, 1, Bytes(c.BaudCode)},
        {4, 1, Bytes(c.DataBitsCode)},
        {5, 1, Bytes(c.ParityCode)},
        {6, 1, Bytes(c.StopBitsCode)},
        {7, 1, Bytes(c.FlowControlCode)},
        {8, 1, Bytes(c.InterfaceCode)},
        {9, 30, c.DeviceName.data()},
        {10, 2, Bytes(c.LinkTimeout)},
        {11, 1, Bytes(c.BondRole)},
        {12, 6, c.BondedAddress.data()},
        {13, 16, c.Tag13Value.data()},
        {14, 1, Bytes(c.PowerByte)},
        {15, 1, Bytes(c.Encryption)},
        {16, 1, Bytes(c.Authentication)},
        {17, 16, c.PinCode.data()},
        {18, 1, Bytes(c.OutputOnCD)},
        {0, 0, nullptr},
    }};
}

}  // namespace

const ParameterDescriptor* LocalDescriptors() {
    static const Table table = Bind(LocalConfig);
    return table.data();
}

const ParameterDescriptor* RemoteDescriptors() {
    static const Table table = Bind(RemoteConfig);
    return table.data();
}

const ParameterDescriptor* FindDescriptor(std::uint8_t tag, const ParameterDescriptor* table) {
    if (table == nullptr) {
        return nullptr;
    }
    for (const ParameterDescriptor* row = table; row->tag != 0; ++row) {
        if (row->tag == tag) {
            return row;
        }
    }
    return nullptr;
}

int DecodeParameterBlock(const ParameterDescriptor* table, const std::uint8_t* block, std::size_t size) {
    if (table == nullptr || block == nullptr) {
        return -1;
    }
    int count = 0;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t tag = block[at];
        if (tag == 0) {
            break;
        }
        if (at + 1 >= size) {
            return -1;  // tag without its length byte
        }
        const std::uint8_t length = block[at + 1];
        if (length == 0) {
            break;
        }
        if (tag > kSkippedTag) {
            return -1;
        }
        if (length > size - at - 2) {
            return -1;  // value runs past the end of the block
        }
        if (tag < kSkippedTag) {
            const ParameterDescriptor* row = FindDescriptor(tag, table);
            if (row != nullptr && row->field != nullptr) {
                std::copy_n(block + at + 2, std::min(length, row->width), row->field);
                ++count;
            }
        }
        at += 2U + length;
    }
    return count;
}

int DecodeConfigReport(bool local, const std::uint8_t* block, std::size_t size) {
    return DecodeParameterBlock(local ? LocalDescriptors() : RemoteDescriptors(), block, size);
}

int DecodeConfig(DeviceConfig& config, const std::uint8_t* block, std::size_t size) {
    const Table table = Bind(config);
    return DecodeParameterBlock(table.data(), block, size);
}

std::string ReasonText(int code) {
    static constexpr const char* kTexts[] = {
        "Checksum Failure", "Unknown Command", "Device Busy", "Process Timed Out", "Error Executing Command",
    };
    if (code >= 0 && code < static_cast<int>(std::size(kTexts))) {
        return kTexts[code];
    }
    return "Unknown Reason Code " + std::to_string(code);
}

}  // namespace vtrl::protocol
