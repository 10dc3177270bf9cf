#include "ctl/link.h"

#include "ctl/stop.h"
#include "protocol/payloads.h"

namespace vtrl::ctl {

DeviceLink::DeviceLink(Trace& trace) : observer_(trace) {}

bool DeviceLink::Inbox::Answer(protocol::Notification notification, protocol::Tag tag)
{
    answers.push_back({std::move(notification), std::move(tag)});
    return true;
}

void DeviceLink::Traced::Sent(std::uint8_t type, std::uint8_t sequence, std::span<const std::uint8_t> payload)
{
    trace.Frame(true, type, sequence, payload);
    lastSequence = sequence;
}

void DeviceLink::Traced::Received(const protocol::Packet& frame)
{
    trace.Frame(false, frame.type, frame.sequence, std::span<const std::uint8_t>(frame.payload.data(), frame.length));
}

void DeviceLink::Traced::Refused(const protocol::Packet& frame)
{
    trace.Refused(frame);
}

std::int32_t DeviceLink::Open(std::uint32_t port, std::string path)
{
    Close();
    path_ = std::move(path);
    // Without the wake-up no event would end a wait before its time-out.
    if (!wake_.Valid())
        return SERIAL_ERR_SYSTEM;
    std::int32_t handle = 0;
    {
        // The driver's monitor thread inherits the mask: stop signals then
        // reach this thread only, never interrupt the monitor's waits.
        const StopSignalsBlocked blocked;
        // Data and the hang-up alike: the waiting thread reads, and a read
        // after the hang-up says the device is gone.
        handle = link_.Open(port, [this](const SerialEvent&) { wake_.Notify(); });
    }
    if (handle <= 0)
        return handle;
    lost_ = false;
    return 0;
}

void DeviceLink::Drain()
{
    // Without an operator to try again, a read that fails ends the line.
    if (link_.Drain() < 0)
        lost_ = true;
}

DeviceLink::Result DeviceLink::Await(protocol::ExchangeId id, Millis timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto deadline = started + timeout;
    link_.Ledger().Expect(id, timeout);
    struct Count {
        Clock::duration& total;
        Clock::time_point from;
        ~Count() { total += Clock::now() - from; }
    } count{waited_, started};
    const std::uint32_t badBefore = link_.Receiver().BadCrcFrames();
    std::optional<std::uint8_t> strayReport;
    const auto ended = [&](Outcome outcome) {
        Result r{outcome, {}, {}};
        r.badCrc = link_.Receiver().BadCrcFrames() - badBefore;
        r.strayReportFor = strayReport;
        return r;
    };
    auto& inbox = inbox_.answers;
    for (;;) {
        if (!lost_)
            Drain();
        // An answer that came before the device went counts.
        while (!inbox.empty()) {
            Result r{Outcome::Answer, std::move(inbox.front().first), std::move(inbox.front().second)};
            inbox.pop_front();
            // Anything else is an answer to another send, or unasked: the trace
            // has it. A report that answered none of ours is said, though.
            if (!r.tag.MayAnswer(id)) {
                if (r.notification.message == protocol::MsgConfigReport && r.tag.verdict == protocol::Verdict::Unasked
                    && r.notification.block)
                    if (const auto report = protocol::ConfigReportPayload::Decode(*r.notification.block))
                        strayReport = report->sequence;
                continue;
            }
            if (r.tag.verdict == protocol::Verdict::Refusal)
                r.outcome = Outcome::Refused;
            else if (r.tag.verdict == protocol::Verdict::Misnamed)
                r.outcome = Outcome::Misnamed;
            else if (r.tag.verdict == protocol::Verdict::Ambiguous)
                r.outcome = Outcome::Ambiguous;
            return r;
        }
        if (!link_.IsOpen() || Lost())
            return ended(Outcome::PortLost);
        if (stop::Requested() != 0)
            return ended(Outcome::Interrupted);
        const auto now = Clock::now();
        if (now >= deadline) {
            // A late answer may still be its own: a newer send's answer is then in doubt.
            link_.Ledger().GiveUp(id);
            return ended(Outcome::TimedOut);
        }
        // The driver's events (data, and the hang-up when the device goes)
        // and stop requests wake it; nothing is polled.
        wake_.Sleep(deadline - now);
    }
}

}  // namespace vtrl::ctl
