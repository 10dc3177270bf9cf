#pragma once
// Link frame: 0x5D, type, sequence, 16-bit length (LE), payload, CRC-32 (LE).
// The sender frames and writes one command; the receiver is a push parser:
// bytes in, complete CRC-valid frames out, no I/O of its own.

#include <array>
#include <cstdint>
#include <functional>

namespace vtrl::protocol {

inline constexpr std::uint8_t kStartByte = 0x5D;
inline constexpr std::size_t kHeaderSize = 5;
inline constexpr std::size_t kCrcSize = 4;
inline constexpr std::size_t kSendBufferSize = 350;
inline constexpr std::uint16_t kMaxSendPayload = kSendBufferSize - kHeaderSize - kCrcSize;  // 341
inline constexpr std::uint16_t kReceivePayloadArea = 300;  // received lengths must stay below

// The receive record. Zeroed whenever a start byte opens a frame, so payload
// bytes beyond `length` are zero when the frame is delivered.
struct Packet {
    std::uint8_t start = 0;
    std::uint8_t type = 0;
    std::uint8_t sequence = 0;
    std::uint16_t length = 0;
    std::array<std::uint8_t, kReceivePayloadArea> payload{};
    std::uint32_t crc = 0;
};

// Where framed bytes go. Same result convention as SerialWrite: the number of
// bytes written, or a negative error code.
class PortWriter {
public:
    virtual ~PortWriter() = default;
    virtual std::int32_t Write(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

class PacketSender {
public:
    explicit PacketSender(PortWriter& writer) : writer_(writer) {}

    // Frames and writes one packet; true when the writer took the whole frame.
    // The sequence counter advances after every call, also when the write
    // fails or the payload is refused (over 341 bytes, or missing while the
    // length is not 0): a refused call still uses up its number, so the
    // counter counts calls and never depends on the outcome.
    bool SendPacket(std::uint8_t type, std::uint16_t length, const std::uint8_t* payload);

    std::uint8_t Sequence() const { return sequence_; }
    void SetSequence(std::uint8_t value) { sequence_ = value; }  // for tests

private:
    PortWriter& writer_;
    std::uint8_t sequence_ = 0;
};

class PacketReceiver {
public:
    using Deliver = std::function<void(const Packet&)>;
    // A whole frame whose CRC does not match: the record as received, its
    // `crc` the one the frame carried. A line that garbles answers shows up
    // here rather than as silence.
    using Refused = std::function<void(const Packet&)>;

    explicit PacketReceiver(Deliver deliver, Refused refused = {})
        : deliver_(std::move(deliver)), refused_(std::move(refused))
    {
    }

    // Feeds bytes to the state machine. Each complete frame with a valid CRC is
    // handed to the callback before the next byte is looked at. The record is
    // only valid during the call, and the callback must not feed this receiver.
    void ReceiveBytes(const std::uint8_t* bytes, std::uint16_t count);

    // Drops a partial frame, e.g. when another port is opened.
    void Reset();

    int State() const { return state_; }
    // Frames dropped for their CRC since construction.
    std::uint32_t BadCrcFrames() const { return badCrc_; }

private:
    void Step(std::uint8_t b);

    Deliver deliver_;
    Refused refused_;
    std::uint32_t badCrc_ = 0;
    Packet record_{};
    std::uint8_t state_ = 0;
    std::int16_t index_ = 0;
};

}  // namespace vtrl::protocol
