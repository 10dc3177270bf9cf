#include "protocol/delivery.h"

#include <algorithm>
#include <array>

namespace vtrl::protocol {
namespace {

struct Accepted {
    std::uint8_t type;
    std::uint32_t message;
    bool exactLength;        // length must equal maxLength; otherwise at most maxLength
    bool anyLength;          // length not examined
    std::uint16_t maxLength;
    std::uint16_t blockSize;  // 0: no block
    std::uint16_t copied;
};

constexpr std::array<Accepted, 9> kAccepted = {{
    {NegativeResponse, MsgNegativeResponse, true, false, 2, 2, 2},
    {Confirmation, MsgConfirmation, true, false, 1, 1, 1},
    {LocalAddress, MsgLocalAddress, true, false, 6, 6, 6},
    {InquiryResult, MsgInquiryResult, false, false, 257, kInquiryResultBlock, 257},
    {InquiryComplete, MsgInquiryComplete, false, true, 0, 0, 0},
    {BondResult, MsgBondResult, true, false, 1, 1, 1},
    {ConnectionStatus, MsgConnectionStatus, true, false, 1, 1, 1},
    // The receiver keeps lengths below 300, so the copy never leaves the
    // payload area; the nine bytes past it stay zero.
    {ConfigReport, MsgConfigReport, false, false, 300, kConfigReportBlock, 300},
    {VersionInfo, MsgVersionInfo, false, false, 102, kVersionInfoBlock, 102},
}};

static_assert(kConfigReportBlock - 9 == kReceivePayloadArea);

}  // namespace

bool DeliverPacket(const Packet* record, NotificationSink& sink) {
    if (record == nullptr) {
        return false;
    }
    const auto row = std::find_if(kAccepted.begin(), kAccepted.end(),
                                  [&](const Accepted& a) { return a.type == record->type; });
    if (row == kAccepted.end()) {
        return false;
    }
    if (!row->anyLength) {
        const bool ok = row->exactLength ? record->length == row->maxLength : record->length <= row->maxLength;
        if (!ok) {
            return false;
        }
    }

    Notification n;
    n.message = row->message;
    n.sequence = record->sequence;
    if (row->blockSize > 0) {
        std::vector<std::uint8_t> block(row->blockSize, 0);
        // Only the received bytes are copied: the padding is zero even for a
        // record that was not zeroed beyond its length.
        const std::size_t count = std::min<std::size_t>({row->copied, record->length, record->payload.size()});
        std::copy_n(record->payload.begin(), count, block.begin());
        n.block = std::move(block);
    }
    return sink.Post(std::move(n));
}

}  // namespace vtrl::protocol
