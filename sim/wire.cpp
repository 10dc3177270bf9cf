#include "wire.h"

namespace vtrl::sim {

std::uint32_t crc32(std::span<const std::uint8_t> bytes)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
        reg ^= b;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

std::vector<std::uint8_t> encodeFrame(std::uint8_t type, std::uint8_t seq,
                                      std::span<const std::uint8_t> payload)
{
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderSize + payload.size() + kCrcSize);
    const auto len = static_cast<std::uint16_t>(payload.size());
    out.push_back(kStartByte);
    out.push_back(type);
    out.push_back(seq);
    out.push_back(static_cast<std::uint8_t>(len & 0xFF));
    out.push_back(static_cast<std::uint8_t>(len >> 8));
    out.insert(out.end(), payload.begin(), payload.end());
    const std::uint32_t crc = crc32(out);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return out;
}

void FrameParser::reset()
{
    state_ = State::Hunt;
    cur_ = Frame{};
    length_ = 0;
    crcBytes_ = 0;
}

void FrameParser::finish(std::vector<Frame>& out)
{
    std::vector<std::uint8_t> covered;
    covered.reserve(kHeaderSize + cur_.payload.size());
    covered.push_back(kStartByte);
    covered.push_back(cur_.type);
    covered.push_back(cur_.seq);
    covered.push_back(static_cast<std::uint8_t>(length_ & 0xFF));
    covered.push_back(static_cast<std::uint8_t>(length_ >> 8));
    covered.insert(covered.end(), cur_.payload.begin(), cur_.payload.end());
    cur_.crcOk = crc32(covered) == cur_.crc;
    out.push_back(std::move(cur_));
    reset();
}

void FrameParser::feed(std::span<const std::uint8_t> bytes, std::vector<Frame>& out)
{
    for (std::uint8_t b : bytes) {
        switch (state_) {
        case State::Hunt:
            if (b == kStartByte) {
                cur_ = Frame{};
                state_ = State::Type;
            }
            break;
        case State::Type:
            cur_.type = b;
            state_ = State::Seq;
            break;
        case State::Seq:
            cur_.seq = b;
            state_ = State::Len0;
            break;
        case State::Len0:
            length_ = b;
            state_ = State::Len1;
            break;
        case State::Len1:
            length_ = static_cast<std::uint16_t>(length_ | (b << 8));
            if (length_ > kMaxPayload) {
                // Checked before anything is buffered; the rest is scanned as noise.
                ++oversized_;
                reset();
            } else if (length_ == 0) {
                state_ = State::Crc;
            } else {
                cur_.payload.reserve(length_);
                state_ = State::Payload;
            }
            break;
        case State::Payload:
            cur_.payload.push_back(b);
            if (cur_.payload.size() == length_)
                state_ = State::Crc;
            break;
        case State::Crc:
            cur_.crc |= static_cast<std::uint32_t>(b) << (8 * crcBytes_);
            if (++crcBytes_ == kCrcSize)
                finish(out);
            break;
        }
    }
}

}  // namespace vtrl::sim
