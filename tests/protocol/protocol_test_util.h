#pragma once
// Helpers shared by the protocol tests: a recording port and a frame builder.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/crc32.h"
#include "protocol/packet.h"

namespace vtrl::protocol::test {

using Bytes = std::vector<std::uint8_t>;

class RecordingWriter : public PortWriter {
public:
    std::int32_t Write(const std::uint8_t* bytes, std::uint32_t count) override {
        ++calls;
        if (result < 0) {
            return result;
        }
        frames.emplace_back(bytes, bytes + count);
        return result == 0 ? static_cast<std::int32_t>(count) : result;
    }
    std::int32_t result = 0;  // 0: write everything; < 0: fail; > 0: short write of that many
    int calls = 0;
    std::vector<Bytes> frames;
};

inline Bytes Frame(std::uint8_t type, std::uint8_t sequence, const Bytes& payload) {
    // Sized up front: gcc 12 warns falsely about insert() into a short vector.
    Bytes f(payload.size() + 9, 0);
    f[0] = 0x5D;
    f[1] = type;
    f[2] = sequence;
    f[3] = static_cast<std::uint8_t>(payload.size() & 0xFF);
    f[4] = static_cast<std::uint8_t>(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), f.begin() + 5);
    const std::size_t end = payload.size() + 5;
    const std::uint32_t crc = ~UpdateCrc32(0xFFFFFFFFU, f.data(), end);
    for (std::size_t i = 0; i < 4; ++i) {
        f[end + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    return f;
}

}  // namespace vtrl::protocol::test
