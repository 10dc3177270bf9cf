#include "protocol/crc32.h"

#include <array>

namespace vtrl::protocol {
namespace {

// A 16-word table keeps the routine small; two steps per byte are plenty at
// 115200 baud.
std::array<std::uint32_t, 16> BuildTable() {
    std::array<std::uint32_t, 16> table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 4; ++bit) {
            value = (value & 1U) ? (value >> 1) ^ 0xEDB88320U : value >> 1;
        }
        table[i] = value;
    }
    return table;
}

const std::array<std::uint32_t, 16>& Table() {
    static const std::array<std::uint32_t, 16> table = BuildTable();
    return table;
}

}  // namespace

std::uint32_t UpdateCrc32(std::uint32_t reg, const std::uint8_t* bytes, std::size_t count) {
    if (bytes == nullptr) {
        return reg;
    }
    const auto& table = Table();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t b = bytes[i];
        reg = table[(reg ^ b) & 0x0FU] ^ (reg >> 4);
        reg = table[(reg ^ (b >> 4)) & 0x0FU] ^ (reg >> 4);
    }
    return reg;
}

}  // namespace vtrl::protocol
