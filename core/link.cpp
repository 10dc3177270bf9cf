#include "core/link.h"

#include <algorithm>
#include <array>

namespace vtrl::core {

DeviceLink::DeviceLink(AnswerSink& sink, LineObserver* observer)
    : sink_(sink), observer_(observer),
      receiver_(
          [this](const protocol::Packet& frame) {
              if (observer_)
                  observer_->Received(frame);
              protocol::DeliverPacket(&frame, *this);
          },
          [this](const protocol::Packet& frame) {
              if (observer_)
                  observer_->Refused(frame);
          })
{
}

DeviceLink::~DeviceLink()
{
    // The callback reaches this object; no callback may outlive it.
    Close();
}

std::int32_t DeviceLink::Open(std::uint32_t port, EventHandler onEvent)
{
    Close();
    onEvent_ = std::move(onEvent);
    const std::int32_t handle = port == 0 ? SERIAL_ERR_ARGUMENT : SerialOpen(port, kBaud, 0, &DeviceLink::OnPortEvent, this);
    ledger_.NewLine();
    lineStart_ = ledger_.NextId();
    if (handle <= 0)
        return handle;
    handle_ = handle;
    lost_ = false;
    // A partial frame left by the previous port would swallow the first
    // answer on this one.
    receiver_.Reset();
    return handle;
}

void DeviceLink::Close()
{
    if (handle_ > 0)
        SerialClose(handle_);
    handle_ = 0;
}

void DeviceLink::Hangup()
{
    ledger_.Clear();
    receiver_.Reset();
    lost_ = true;
    Close();
}

int DeviceLink::OnPortEvent(std::int32_t, const SerialEvent* event, void* context)
{
    auto* self = static_cast<DeviceLink*>(context);
    if (event && self && self->onEvent_)
        self->onEvent_(*event);
    return 0;
}

void DeviceLink::DeviceIdentified(const DeviceAddress& address)
{
    if (deviceKnown_ && address != lastDevice_)
        ledger_.ForgetBefore(lineStart_);
    lastDevice_ = address;
    deviceKnown_ = true;
}

std::int32_t DeviceLink::Drain()
{
    // A data event comes only when new bytes arrive, so whatever a full read
    // leaves queued must be read now or it waits for the next byte.
    std::array<std::uint8_t, kReadChunk> buffer{};
    while (handle_ > 0 && !lost_) {
        const std::int32_t count = SerialRead(handle_, kReadChunk, buffer.data());
        if (count < 0) {
            lost_ = lost_ || count == SERIAL_ERR_GONE;
            return count;
        }
        if (count == 0)
            return 0;
        receiver_.ReceiveBytes(buffer.data(), static_cast<std::uint16_t>(std::min<std::int32_t>(count, kReadChunk)));
        if (static_cast<std::uint32_t>(count) < kReadChunk)
            return 0;
    }
    return 0;
}

std::int32_t DeviceLink::Write(const std::uint8_t* bytes, std::uint32_t count)
{
    // What the device said before this command is matched before it goes
    // out, however long the owner was kept from reading: an answer given at
    // once meanwhile is then its own send's alone.
    Drain();
    if (observer_ && count >= protocol::kHeaderSize + protocol::kCrcSize) {
        const auto length = static_cast<std::uint16_t>(bytes[3] | (bytes[4] << 8));
        if (protocol::kHeaderSize + length + protocol::kCrcSize == count)
            observer_->Sent(bytes[1], bytes[2], std::span<const std::uint8_t>(bytes + protocol::kHeaderSize, length));
    }
    const std::int32_t written = SerialWrite(handle_ > 0 ? handle_ : -1, count, bytes);
    if (written == SERIAL_ERR_GONE)
        lost_ = true;
    return written;
}

bool DeviceLink::Post(protocol::Notification notification)
{
    protocol::Tag tag = ledger_.Match(notification);
    // A retransmitted frame has been handled once already.
    if (tag.verdict == protocol::Verdict::Repeat)
        return false;
    return sink_.Answer(std::move(notification), std::move(tag));
}

}  // namespace vtrl::core
