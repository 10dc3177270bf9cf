#pragma once
// Device-side framing: CRC-32, frame encoder and a push parser (bytes in,
// frames out, no I/O), written independently of the wizard's own code so
// that the two can check each other.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vtrl::sim {

inline constexpr std::uint8_t kStartByte = 0x5D;
inline constexpr std::size_t kHeaderSize = 5;    // start, type, sequence, 16-bit length
inline constexpr std::size_t kCrcSize = 4;
inline constexpr std::size_t kMaxPayload = 299;  // a length of 300 or more is dropped

// Reflected CRC-32 (polynomial 0xEDB88320, init and final XOR 0xFFFFFFFF),
// one bit at a time on purpose: it shares nothing with a table-driven version.
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// Whole frame: header, payload and the CRC over both, little-endian.
std::vector<std::uint8_t> encodeFrame(std::uint8_t type, std::uint8_t seq,
                                      std::span<const std::uint8_t> payload);

struct Frame {
    std::uint8_t type = 0;
    std::uint8_t seq = 0;
    std::vector<std::uint8_t> payload;
    std::uint32_t crc = 0;   // as received
    bool crcOk = false;
};

// Reassembles frames from a byte stream. Frames with a bad CRC are reported
// too (crcOk false) so that the device can answer or record them.
class FrameParser {
public:
    // Feeds bytes; every completed frame is appended to `out`.
    void feed(std::span<const std::uint8_t> bytes, std::vector<Frame>& out);
    // Drops a partial frame (used by the idle resynchronisation).
    void reset();
    bool midFrame() const { return state_ != State::Hunt; }
    // Frames dropped for an oversized length field.
    std::size_t oversized() const { return oversized_; }

private:
    enum class State { Hunt, Type, Seq, Len0, Len1, Payload, Crc };
    State state_ = State::Hunt;
    Frame cur_;
    std::uint16_t length_ = 0;
    std::size_t crcBytes_ = 0;
    std::size_t oversized_ = 0;
    void finish(std::vector<Frame>& out);
};

}  // namespace vtrl::sim
