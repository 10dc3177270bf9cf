#pragma once
// The device link of vtrlctl: the core's link over one open port, and a
// blocking wait for the answer to the step in progress. The driver's monitor
// thread only wakes the waiting thread; reading, framing and matching happen
// on the caller's thread. A stop
// request (ctl/stop.h) wakes the wait at once too, and so does the driver's
// hang-up: a device that goes away ends the wait when it goes, not at the
// step's time-out.

#include "core/link.h"
#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/exchange.h"
#include "protocol/packet.h"
#include "ctl/trace.h"
#include "ctl/wake.h"

#include <QString>
#include <QTextStream>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace vtrl::ctl {

using Millis = std::chrono::milliseconds;

class DeviceLink final {
public:
    enum class Outcome { Answer, Refused, Misnamed, Ambiguous, TimedOut, PortLost, Interrupted };
    struct Result {
        Outcome outcome = Outcome::TimedOut;
        protocol::Notification notification;  // the answer, or the NegativeResponse
        protocol::Tag tag;                    // the send it answers
        std::uint32_t badCrc = 0;             // frames refused for their CRC during the wait
        // The request a ConfigReport that answered no send of this wait named
        // (its first byte), the latest such; none when no report strayed in.
        std::optional<std::uint8_t> strayReportFor = std::nullopt;
    };

    explicit DeviceLink(Trace& trace);
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Opens COM `port` (whose device is `path`) as the wizard does: 115200
    // baud, no handshake. The driver's result code when that fails, else 0.
    std::int32_t Open(std::uint32_t port, std::string path);
    void Close() { link_.Close(); }
    bool IsOpen() const { return link_.IsOpen(); }
    const std::string& Path() const { return path_; }

    protocol::CommandSender& Commands() { return link_.Commands(); }
    protocol::ExchangeLedger& Ledger() { return link_.Ledger(); }
    // The attached device reported its address (see core::DeviceLink).
    void DeviceIdentified(const DeviceAddress& address) { link_.DeviceIdentified(address); }
    // The sequence number of the last frame written.
    std::uint8_t LastSequence() const { return observer_.lastSequence; }

    // Waits for the next notification the ledger credits to send `id`, or
    // that may be its answer: an answer (Answer, also one of several sends
    // that all asked the same; a Confirmation naming another command:
    // Misnamed), one that may as well be another send's (Ambiguous), a
    // refusal (Refused), or none within `timeout` (TimedOut: the send stays
    // in the ledger as late), or the port's device is gone (PortLost), or a
    // stop was requested (Interrupted: the send stays open). Notifications
    // for other sends, and unasked ones, are dropped (the trace has them).
    Result Await(protocol::ExchangeId id, Millis timeout);

    // The device behind the port has gone away (adapter unplugged, the other
    // end of a pseudo-terminal closed), or the port failed a read or a write
    // for good. Whatever it sent before is still delivered.
    bool Lost() const { return lost_ || link_.Lost(); }

    // Time spent in Await so far: the device's answers and the line.
    double WaitedMs() const { return std::chrono::duration<double, std::milli>(waited_).count(); }

private:
    // Every answer waits here for the step that takes it.
    struct Inbox final : core::AnswerSink {
        bool Answer(protocol::Notification notification, protocol::Tag tag) override;
        std::deque<std::pair<protocol::Notification, protocol::Tag>> answers;
    };
    // Every frame goes to the trace.
    struct Traced final : core::LineObserver {
        explicit Traced(Trace& t) : trace(t) {}
        void Sent(std::uint8_t type, std::uint8_t sequence, std::span<const std::uint8_t> payload) override;
        void Received(const protocol::Packet& frame) override;
        void Refused(const protocol::Packet& frame) override;
        Trace& trace;
        std::uint8_t lastSequence = 0;
    };
    void Drain();

    Inbox inbox_;
    Traced observer_;
    core::DeviceLink link_{inbox_, &observer_};
    std::string path_;
    std::chrono::steady_clock::duration waited_{};
    bool lost_ = false;

    // The monitor thread wakes the wait for every port event.
    Wake wake_;
};

}  // namespace vtrl::ctl
