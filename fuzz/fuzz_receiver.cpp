// Received bytes -> PacketReceiver -> DeliverPacket. Feeds the input whole
// and in small chunks; both must give the same notifications, each with the
// block size its message promises and nothing but zeros past the payload.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/crc32.h"
#include "protocol/delivery.h"
#include "protocol/packet.h"

namespace {

using namespace vtrl::protocol;

struct Seen {
    std::uint32_t message;
    bool hasBlock;
    std::vector<std::uint8_t> block;
    bool operator==(const Seen&) const = default;
};

std::size_t ExpectedBlock(std::uint32_t message) {
    switch (message) {
    case MsgNegativeResponse: return 2;
    case MsgConfirmation: return 1;
    case MsgLocalAddress: return 6;
    case MsgInquiryResult: return kInquiryResultBlock;
    case MsgInquiryComplete: return 0;
    case MsgBondResult: return 1;
    case MsgConnectionStatus: return 1;
    case MsgConfigReport: return kConfigReportBlock;
    case MsgVersionInfo: return kVersionInfoBlock;
    default: return static_cast<std::size_t>(-1);
    }
}

class CountingSink : public NotificationSink {
public:
    bool Post(Notification n) override {
        const std::size_t expected = ExpectedBlock(n.message);
        FUZZ_CHECK(expected != static_cast<std::size_t>(-1));
        FUZZ_CHECK(n.block.has_value() == (expected != 0));
        if (n.block) FUZZ_CHECK(n.block->size() == expected);
        seen.push_back({n.message, n.block.has_value(), n.block.value_or(std::vector<std::uint8_t>{})});
        // Refuse every third one: a dropped notification must free its block.
        return (++count % 3) != 0;
    }
    std::vector<Seen> seen;
    unsigned count = 0;
};

void CheckRecord(const Packet& p) {
    FUZZ_CHECK(p.start == kStartByte);
    FUZZ_CHECK(p.length < kReceivePayloadArea);
    for (std::size_t i = p.length; i < p.payload.size(); ++i) FUZZ_CHECK(p.payload[i] == 0);
    const std::uint8_t header[] = {p.start, p.type, p.sequence, static_cast<std::uint8_t>(p.length & 0xFF),
                                   static_cast<std::uint8_t>(p.length >> 8)};
    const std::uint32_t reg = UpdateCrc32(0xFFFFFFFFU, header, sizeof header);
    FUZZ_CHECK(~UpdateCrc32(reg, p.payload.data(), p.length) == p.crc);
}

void Feed(PacketReceiver& rx, const std::uint8_t* data, std::size_t size, std::size_t chunk) {
    for (std::size_t at = 0; at < size; at += chunk) {
        rx.ReceiveBytes(data + at, static_cast<std::uint16_t>(std::min(chunk, size - at)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CountingSink whole;
    PacketReceiver a([&](const Packet& p) {
        CheckRecord(p);
        DeliverPacket(&p, whole);
    });
    Feed(a, data, size, 65535);

    CountingSink pieces;
    PacketReceiver b([&](const Packet& p) { DeliverPacket(&p, pieces); });
    Feed(b, data, size, size % 13 + 1);

    FUZZ_CHECK(whole.seen == pieces.seen);
    FUZZ_CHECK(a.State() == b.State());
    FUZZ_CHECK(a.State() >= 0 && a.State() <= 9);
    return 0;
}
