// The main window's side of the device link: owning the port, the path from
// a port event to the packet receiver, and the command operations.

#include "mainform.h"

#include "platform/pump.h"
#include "platform/windowmessage.h"

#include <array>
#include <cstring>
#include <exception>

namespace vtrl {

namespace {

constexpr std::uint32_t kLinkBaud = 115200;
constexpr std::uint32_t kReadChunk = 350;
constexpr int kDrainMs = 250;

}  // namespace

int TfrmMain::OpenPort(int n)
{
    // A handler run inside the pause may open a port of its own; that one is
    // closed too, so that only the port opened below is ever held.
    while (PortHandle > 0) {
        const std::int32_t held = PortHandle;
        PortHandle = -1;
        SerialClose(held);
        // Lets the closed port's queued events run (their reads are refused)
        // before another port starts posting.
        platform::PumpMessagesFor(kDrainMs);
    }
    try {
        if (n <= 0)
            PortHandle = SERIAL_ERR_ARGUMENT;
        else
            PortHandle = SerialOpen(static_cast<std::uint32_t>(n), kLinkBaud, 0, &TfrmMain::PortEventCallback, this);
    } catch (const std::exception&) {
        PortHandle = -1;
    }
    if (PortHandle <= 0)
        return -1;
    // A partial frame left by the previous port would swallow the first
    // answer on this one.
    receiver_.Reset();
    return 0;
}

int TfrmMain::PortEventCallback(std::int32_t, const SerialEvent* event, void* context)
{
    if (!event || !context)
        return 0;
    platform::Payload copy(sizeof(SerialEvent));
    std::memcpy(copy.data(), event, sizeof(SerialEvent));
    // The copy is freed with the event if the post does not happen.
    return platform::PostWindowMessage(static_cast<TfrmMain*>(context), platform::WM_COMEVENT, std::move(copy)) ? 1
                                                                                                                : 0;
}

void TfrmMain::ProcessCOMEvent(const SerialEvent& event)
{
    if (event.kind != SERIAL_EVENT_DATA)
        return;
    // A data event comes only when new bytes arrive, so whatever a full read
    // leaves queued must be read now or it waits for the next byte.
    std::array<std::uint8_t, kReadChunk> buffer{};
    for (;;) {
        const std::int32_t count = SerialRead(PortHandle, kReadChunk, buffer.data());
        if (count <= 0)
            return;
        receiver_.ReceiveBytes(buffer.data(), static_cast<std::uint16_t>(count));
        if (static_cast<std::uint32_t>(count) < kReadChunk)
            return;
    }
}

bool TfrmMain::event(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(platform::WM_COMEVENT)) {
        auto* message = static_cast<platform::WindowMessage*>(event);
        const std::optional<platform::Payload> block = message->takePayload();
        if (block && block->size() == sizeof(SerialEvent)) {
            SerialEvent record;
            std::memcpy(&record, block->data(), sizeof record);
            ProcessCOMEvent(record);
        }
        return true;
    }
    return QWidget::event(event);
}

std::int32_t TfrmMain::PortLink::Write(const std::uint8_t* bytes, std::uint32_t count)
{
    return SerialWrite(main_.PortHandle, count, bytes);
}

bool TfrmMain::PortLink::Post(protocol::Notification notification)
{
    return platform::PostWindowMessage(main_.NotifyWindow(), static_cast<int>(notification.message),
                                       std::move(notification.block));
}

int TfrmMain::SendGetLocalAddress() { return commands_.SendGetLocalAddress(); }
int TfrmMain::SendInitiateInquiry() { return commands_.SendInitiateInquiry(); }
int TfrmMain::SendInitiateBonding(const DeviceAddress& address) { return commands_.SendInitiateBonding(address); }

int TfrmMain::SendSetLocalPortConfig(std::uint8_t interfaceCode, std::uint8_t baud, std::uint8_t dataBits,
                                     std::uint8_t stopBits, std::uint8_t parity, std::uint8_t flowControl,
                                     std::uint8_t powerByte, std::uint8_t cdOutput)
{
    return commands_.SendSetLocalPortConfig(interfaceCode, baud, dataBits, stopBits, parity, flowControl, powerByte,
                                            cdOutput);
}

int TfrmMain::SendSetRemotePortConfig(std::uint8_t interfaceCode, std::uint8_t baud, const DeviceAddress& address,
                                      std::uint8_t dataBits, std::uint8_t stopBits, std::uint8_t parity,
                                      std::uint8_t flowControl, std::uint8_t powerByte, std::uint8_t cdOutput)
{
    return commands_.SendSetRemotePortConfig(interfaceCode, baud, address, dataBits, stopBits, parity, flowControl,
                                             powerByte, cdOutput);
}

int TfrmMain::SendSetDeviceConfig(std::uint8_t linkTimeout, std::string_view name, bool authentication,
                                  bool encryption, const std::array<std::uint8_t, 16>& pin, bool resetLinkKeys)
{
    return commands_.SendSetDeviceConfig(linkTimeout, name, authentication, encryption, pin, resetLinkKeys);
}

int TfrmMain::SendPingRequest(const DeviceAddress& address) { return commands_.SendPingRequest(address); }
int TfrmMain::SendAbort() { return commands_.SendAbort(); }
int TfrmMain::SendUpdateFlash() { return commands_.SendUpdateFlash(); }
int TfrmMain::SendGetConfig(const DeviceAddress& address) { return commands_.SendGetConfig(address); }
int TfrmMain::SendGetVersion(const DeviceAddress& address) { return commands_.SendGetVersion(address); }

}  // namespace vtrl
