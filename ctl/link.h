#pragma once
// The device link of vtrlctl: one open port, the packet receiver and sender
// over it, and a blocking wait for the answer to the step in progress. The
// driver's monitor thread only wakes the waiting thread (a byte in a pipe);
// reading, framing and delivery happen on the caller's thread. A stop
// request (ctl/stop.h) wakes the wait at once too, and so does the driver's
// hang-up: a device that goes away ends the wait when it goes, not at the
// step's time-out.

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/exchange.h"
#include "protocol/packet.h"
#include "serial.h"
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

class DeviceLink final : private protocol::PortWriter, private protocol::NotificationSink {
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
    ~DeviceLink() override;
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Opens COM `port` (whose device is `path`) as the wizard does: 115200
    // baud, no handshake. The driver's result code when that fails, else 0.
    std::int32_t Open(std::uint32_t port, std::string path);
    void Close();
    bool IsOpen() const { return handle_ > 0; }
    const std::string& Path() const { return path_; }

    protocol::CommandSender& Commands() { return commands_; }
    // The sequence number of the last frame written.
    std::uint8_t LastSequence() const { return lastSequence_; }

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
    bool Lost() const { return lost_; }

    // Time spent in Await so far: the device's answers and the line.
    double WaitedMs() const { return std::chrono::duration<double, std::milli>(waited_).count(); }

private:
    std::int32_t Write(const std::uint8_t* bytes, std::uint32_t count) override;
    bool Post(protocol::Notification notification) override;
    static int OnPortEvent(std::int32_t handle, const SerialEvent* event, void* context);
    // Reads what the port holds into the receiver; a read that fails marks
    // the port lost.
    void Drain();

    Trace& trace_;
    std::int32_t handle_ = 0;
    std::string path_;
    protocol::PacketSender sender_{*this};
    protocol::ExchangeLedger ledger_;
    protocol::CommandSender commands_{sender_, &ledger_};
    protocol::PacketReceiver receiver_;
    std::deque<std::pair<protocol::Notification, protocol::Tag>> inbox_;
    std::chrono::steady_clock::duration waited_{};
    bool lost_ = false;
    std::uint8_t lastSequence_ = 0;

    // The monitor thread wakes the wait for every port event.
    Wake wake_;
};

}  // namespace vtrl::ctl
