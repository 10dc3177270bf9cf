#pragma once
// CRC-32 of the link frames (reflected 0xEDB88320), four bits per table step.

#include <cstddef>
#include <cstdint>

namespace vtrl::protocol {

// Runs `count` bytes through the register, low nibble first. Start with
// 0xFFFFFFFF and invert the result to get the frame's CRC field.
std::uint32_t UpdateCrc32(std::uint32_t reg, const std::uint8_t* bytes, std::size_t count);

}  // namespace vtrl::protocol
