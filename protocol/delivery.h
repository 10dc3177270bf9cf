#pragma once
// Turns received frames the PC understands into notifications for the page on
// show. The sink (the shell's posted events) owns each block once handed over.

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/packet.h"

namespace vtrl::protocol {

enum ResponseType : std::uint8_t {
    NegativeResponse = 1,
    Confirmation = 2,
    LocalAddress = 3,
    InquiryResult = 5,
    InquiryComplete = 6,
    BondResult = 8,
    ConnectionStatus = 9,
    ConfigReport = 17,
    VersionInfo = 32,
};

enum NotificationMessage : std::uint32_t {
    MsgNegativeResponse = 32769,
    MsgConfirmation = 32770,
    MsgLocalAddress = 32771,
    MsgInquiryResult = 32772,
    MsgInquiryComplete = 32773,
    MsgBondResult = 32775,
    MsgConfigReport = 32778,
    MsgConnectionStatus = 32780,
    MsgVersionInfo = 32781,
};

// Block sizes the pages may rely on.
inline constexpr std::size_t kInquiryResultBlock = 257;
inline constexpr std::size_t kConfigReportBlock = 309;
inline constexpr std::size_t kVersionInfoBlock = 102;

struct Notification {
    std::uint32_t message = 0;
    std::uint8_t sequence = 0;  // the frame's own number (the device's counter)
    std::optional<std::vector<std::uint8_t>> block;  // none for InquiryComplete
};

class NotificationSink {
public:
    virtual ~NotificationSink() = default;
    // True when the notification was queued for the target. The sink owns the
    // notification either way.
    virtual bool Post(Notification n) = 0;
};

// Checks type and length of a received frame and posts its notification with
// a zero-filled copy of the payload. False when nothing was posted.
bool DeliverPacket(const Packet* record, NotificationSink& sink);

}  // namespace vtrl::protocol
