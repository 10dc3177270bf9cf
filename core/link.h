#pragma once
// The device link the wizard and vtrlctl share: one open port at 115200
// baud without handshake, the packet sender and receiver over it, and the
// exchange ledger that tells which send each answer may belong to. Every
// frame that arrives becomes a notification handed to the sink with the
// ledger's verdict. What the port's events wake (a posted window message, a
// byte in a pipe) is the owner's; reading, framing and matching happen on
// the owner's thread when it calls Drain, and before every write.
//
// Plain C++ over the driver; no Qt.

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/exchange.h"
#include "protocol/packet.h"
#include "serial/serial.h"

#include <cstdint>
#include <functional>
#include <span>

namespace vtrl::core {

class AnswerSink {
public:
    virtual ~AnswerSink() = default;
    // A notification as received, with the ledger's word on the sends it
    // may answer. False when nobody took it.
    virtual bool Answer(protocol::Notification notification, protocol::Tag tag) = 0;
};

// Sees every frame on the line; for a trace.
class LineObserver {
public:
    virtual ~LineObserver() = default;
    virtual void Sent(std::uint8_t type, std::uint8_t sequence, std::span<const std::uint8_t> payload) = 0;
    virtual void Received(const protocol::Packet& frame) = 0;
    // A whole frame whose checksum failed.
    virtual void Refused(const protocol::Packet& frame) = 0;
};

class DeviceLink final : private protocol::PortWriter, private protocol::NotificationSink {
public:
    static constexpr std::uint32_t kBaud = 115200;
    static constexpr std::uint32_t kReadChunk = 350;

    // `onEvent` runs on the port's monitor thread for every port event; it
    // must only hand the event on.
    using EventHandler = std::function<void(const SerialEvent&)>;

    explicit DeviceLink(AnswerSink& sink, LineObserver* observer = nullptr);
    ~DeviceLink() override;
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Opens COM `port`: the driver's handle, or its negative result code.
    // A port held before is closed first. A partial frame of the old line is
    // dropped; the ledger keeps the sends, which the same device may still
    // answer (ForgetBefore once another device answers).
    std::int32_t Open(std::uint32_t port, EventHandler onEvent);
    void Close();
    std::int32_t Handle() const { return handle_; }
    bool IsOpen() const { return handle_ > 0; }

    // Reads what the port holds, in chunks of 350 bytes until one comes
    // short, into the receiver: 0, or the code of a read that failed. One
    // that fails for good (the device is gone) marks the line lost; what
    // came before it is still delivered.
    std::int32_t Drain();
    // The device went away, or the port failed a read or a write for good.
    bool Lost() const { return lost_; }
    // A hang-up: nothing sent can be answered any more, and the port is let go.
    void Hangup();

    // A notification as if it had come on the line: matched and handed on.
    bool Deliver(protocol::Notification notification) { return Post(std::move(notification)); }

    // The device's commands, entered in the ledger as sent by `owner`.
    protocol::CommandSender& Commands(protocol::Owner owner = 0) { return commands_.As(owner); }
    protocol::ExchangeLedger& Ledger() { return ledger_; }
    const protocol::PacketReceiver& Receiver() const { return receiver_; }
    // The device on the port opened last reported its address: when it is
    // another device than the one before, what was sent to that one cannot
    // be answered here.
    void DeviceIdentified(const DeviceAddress& address);

private:
    std::int32_t Write(const std::uint8_t* bytes, std::uint32_t count) override;
    bool Post(protocol::Notification notification) override;
    static int OnPortEvent(std::int32_t handle, const SerialEvent* event, void* context);

    AnswerSink& sink_;
    LineObserver* observer_;
    std::int32_t handle_ = 0;
    bool lost_ = false;
    EventHandler onEvent_;
    protocol::ExchangeLedger ledger_;
    protocol::PacketSender sender_{*this};
    protocol::CommandSender commands_{sender_, &ledger_};
    protocol::PacketReceiver receiver_;
    protocol::ExchangeId lineStart_ = 0;  // the first send on the port opened last
    DeviceAddress lastDevice_{};
    bool deviceKnown_ = false;
};

}  // namespace vtrl::core
