#include "ctl/link.h"
#include "protocol/rules.h"

#include "ctl/profile.h"
#include "ctl/stop.h"
#include "protocol/params.h"

#include <algorithm>
#include <array>

namespace vtrl::ctl {

namespace {

constexpr std::uint32_t kLinkBaud = 115200;
constexpr std::uint32_t kReadChunk = 350;

}  // namespace

DeviceLink::DeviceLink(Trace& trace)
    : trace_(trace),
      receiver_([this](const protocol::Packet& record) {
          trace_.Frame(false, record.type, record.sequence,
                       std::span<const std::uint8_t>(record.payload.data(), record.length));
          protocol::DeliverPacket(&record, *this);
      },
      [this](const protocol::Packet& record) { trace_.Refused(record); })
{
}

DeviceLink::~DeviceLink()
{
    Close();
}

std::int32_t DeviceLink::Open(std::uint32_t port, std::string path)
{
    Close();
    path_ = std::move(path);
    // Without the pipe no event would wake a wait before its time-out.
    if (!wake_.Valid())
        return SERIAL_ERR_SYSTEM;
    std::int32_t handle = 0;
    {
        // The driver's monitor thread inherits the mask: stop signals then
        // reach this thread only, never interrupt the monitor's waits.
        const StopSignalsBlocked blocked;
        handle = SerialOpen(port, kLinkBaud, 0, &DeviceLink::OnPortEvent, this);
    }
    if (handle <= 0)
        return handle;
    handle_ = handle;
    lost_ = false;
    receiver_.Reset();
    ledger_.Clear();
    return 0;
}

void DeviceLink::Close()
{
    if (handle_ > 0)
        SerialClose(handle_);
    handle_ = 0;
}

// Data and the hang-up alike: the waiting thread reads, and a read after the
// hang-up says the device is gone.
int DeviceLink::OnPortEvent(std::int32_t, const SerialEvent*, void* context)
{
    static_cast<const DeviceLink*>(context)->wake_.Notify();
    return 0;
}

std::int32_t DeviceLink::Write(const std::uint8_t* bytes, std::uint32_t count)
{
    // What the device said before this command is matched before it.
    Drain();
    if (count >= protocol::kHeaderSize + protocol::kCrcSize) {
        const std::uint16_t length = static_cast<std::uint16_t>(bytes[3] | (bytes[4] << 8));
        if (protocol::kHeaderSize + length + protocol::kCrcSize == count) {
            trace_.Frame(true, bytes[1], bytes[2], std::span<const std::uint8_t>(bytes + protocol::kHeaderSize, length));
            lastSequence_ = bytes[2];
        }
    }
    const std::int32_t written = SerialWrite(handle_, count, bytes);
    if (written == SERIAL_ERR_GONE)
        lost_ = true;
    return written;
}

bool DeviceLink::Post(protocol::Notification notification)
{
    protocol::Tag tag = ledger_.Match(notification);
    inbox_.push_back({std::move(notification), std::move(tag)});
    return true;
}

void DeviceLink::Drain()
{
    std::array<std::uint8_t, kReadChunk> buffer{};
    while (handle_ > 0 && !lost_) {
        const std::int32_t count = SerialRead(handle_, kReadChunk, buffer.data());
        if (count == 0)
            return;
        if (count < 0) {
            lost_ = true;
            return;
        }
        receiver_.ReceiveBytes(buffer.data(), static_cast<std::uint16_t>(std::min<std::int32_t>(count, kReadChunk)));
    }
}

DeviceLink::Result DeviceLink::Await(protocol::ExchangeId id, Millis timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto deadline = started + timeout;
    ledger_.Expect(id, timeout);
    struct Count {
        Clock::duration& total;
        Clock::time_point from;
        ~Count() { total += Clock::now() - from; }
    } count{waited_, started};
    const std::uint32_t badBefore = receiver_.BadCrcFrames();
    std::optional<std::uint8_t> strayReport;
    const auto ended = [&](Outcome outcome) {
        Result r{outcome, {}, {}};
        r.badCrc = receiver_.BadCrcFrames() - badBefore;
        r.strayReportFor = strayReport;
        return r;
    };
    for (;;) {
        Drain();
        // An answer that came before the device went counts.
        while (!inbox_.empty()) {
            Result r{Outcome::Answer, std::move(inbox_.front().first), std::move(inbox_.front().second)};
            inbox_.pop_front();
            // Anything else is an answer to another send, or unasked: the trace
            // has it. A report that answered none of ours is said, though.
            if (!r.tag.MayAnswer(id)) {
                if (r.notification.message == protocol::MsgConfigReport && r.tag.verdict == protocol::Verdict::Unasked
                    && r.notification.block && !r.notification.block->empty())
                    strayReport = r.notification.block->front();
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
        if (handle_ <= 0 || lost_)
            return ended(Outcome::PortLost);
        if (stop::Requested() != 0)
            return ended(Outcome::Interrupted);
        const auto now = Clock::now();
        if (now >= deadline) {
            // A late answer may still be its own: a newer send's answer is then in doubt.
            ledger_.GiveUp(id);
            return ended(Outcome::TimedOut);
        }
        // The driver's events (data, and the hang-up when the device goes)
        // and stop requests wake it; nothing is polled.
        wake_.Sleep(deadline - now);
    }
}

}  // namespace vtrl::ctl
