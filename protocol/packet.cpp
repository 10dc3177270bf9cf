#include "protocol/packet.h"

#include <algorithm>

#include "protocol/crc32.h"

namespace vtrl::protocol {

bool PacketSender::SendPacket(std::uint8_t type, std::uint16_t length, const std::uint8_t* payload) {
    const std::uint8_t sequence = sequence_++;
    if (length > kMaxSendPayload || (length > 0 && payload == nullptr)) {
        return false;
    }

    std::array<std::uint8_t, kSendBufferSize> buffer{};
    buffer[0] = kStartByte;
    buffer[1] = type;
    buffer[2] = sequence;
    buffer[3] = static_cast<std::uint8_t>(length & 0xFF);
    buffer[4] = static_cast<std::uint8_t>(length >> 8);
    if (length > 0) {
        std::copy_n(payload, length, buffer.begin() + kHeaderSize);
    }
    const std::size_t crcAt = kHeaderSize + length;
    const std::uint32_t crc = ~UpdateCrc32(0xFFFFFFFFU, buffer.data(), crcAt);
    for (std::size_t i = 0; i < kCrcSize; ++i) {
        buffer[crcAt + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }

    const auto total = static_cast<std::uint32_t>(crcAt + kCrcSize);
    // A short write leaves a truncated frame the device drops, so only the
    // whole frame counts as sent.
    return writer_.Write(buffer.data(), total) == static_cast<std::int32_t>(total);
}

void PacketReceiver::ReceiveBytes(const std::uint8_t* bytes, std::uint16_t count) {
    if (bytes == nullptr) {
        return;
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        Step(bytes[i]);
    }
}

void PacketReceiver::Reset() {
    state_ = 0;
    index_ = 0;
}

void PacketReceiver::Step(std::uint8_t b) {
    switch (state_) {
    case 0:
        if (b == kStartByte) {
            record_ = Packet{};
            index_ = 0;
            record_.start = b;
            state_ = 1;
        }
        break;
    case 1:
        record_.type = b;
        state_ = 2;
        break;
    case 2:
        record_.sequence = b;
        state_ = 3;
        break;
    case 3:
        record_.length = b;
        state_ = 4;
        break;
    case 4:
        record_.length = static_cast<std::uint16_t>(record_.length + 256U * b);
        if (record_.length == 0) {
            state_ = 6;
        } else if (record_.length >= kReceivePayloadArea) {
            state_ = 0;
        } else {
            index_ = 0;
            state_ = 5;
        }
        break;
    case 5:
        // length < 300 was checked in state 4, so the index stays inside the area.
        record_.payload[static_cast<std::size_t>(index_)] = b;
        ++index_;
        if (index_ == static_cast<std::int16_t>(record_.length)) {
            state_ = 6;
        }
        break;
    case 6:
        record_.crc = b;
        state_ = 7;
        break;
    case 7:
        record_.crc += static_cast<std::uint32_t>(b) << 8;
        state_ = 8;
        break;
    case 8:
        record_.crc += static_cast<std::uint32_t>(b) << 16;
        state_ = 9;
        break;
    case 9: {
        record_.crc += static_cast<std::uint32_t>(b) << 24;
        state_ = 0;
        const std::uint8_t header[kHeaderSize] = {
            record_.start, record_.type, record_.sequence,
            static_cast<std::uint8_t>(record_.length & 0xFF),
            static_cast<std::uint8_t>(record_.length >> 8)};
        std::uint32_t reg = UpdateCrc32(0xFFFFFFFFU, header, kHeaderSize);
        reg = UpdateCrc32(reg, record_.payload.data(), record_.length);
        if (~reg != record_.crc) {
            ++badCrc_;
            if (refused_) {
                refused_(record_);
            }
        } else if (deliver_) {
            deliver_(record_);
        }
        break;
    }
    default:
        state_ = 0;
        break;
    }
}

}  // namespace vtrl::protocol
