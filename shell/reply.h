#pragma once
// A notification as a page receives it: the payload block, owned here, and
// the ledger's word on which send it answers.

#include "protocol/exchange.h"

#include <QEvent>

#include <cstdint>
#include <optional>
#include <vector>

namespace vtrl {

struct Reply {
    std::uint32_t message = 0;
    std::optional<std::vector<std::uint8_t>> block;
    protocol::Tag tag;

    bool Answers(protocol::ExchangeId id) const { return tag.Answers(id); }
    // Credited to a send (in time or late) rather than unasked.
    bool Credited() const { return tag.exchange.has_value(); }
    // The notification itself, as the core's procedures take it.
    protocol::Notification Notice() const { return {message, 0, block}; }
};

// The posted event that carries a Reply to a page; its type() is the
// notification's message number.
class NotificationMessage final : public QEvent {
public:
    explicit NotificationMessage(Reply reply);
    Reply Take() { return std::move(reply_); }

private:
    Reply reply_;
};

}  // namespace vtrl
