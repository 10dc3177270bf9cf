#pragma once
// Helpers shared by the protocol tests: a recording port and a frame builder.

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
    Bytes f = {0x5D, type, sequence, static_cast<std::uint8_t>(payload.size() & 0xFF),
               static_cast<std::uint8_t>(payload.size() >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    const std::uint32_t crc = ~UpdateCrc32(0xFFFFFFFFU, f.data(), f.size());
    for (int i = 0; i < 4; ++i) {
        f.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    }
    return f;
}

}  // namespace vtrl::protocol::test
