#pragma once
// Handle-based serial port driver: integer handles, negative result codes,
// one monitor thread per open port reporting events through a callback.
// Plain C++; no Qt.

#include <cstdint>

enum : std::int32_t {
    SERIAL_ERR_ARGUMENT = -1,
    SERIAL_ERR_NO_CALLBACK = -3,
    SERIAL_ERR_HANDLE = -4,
    SERIAL_ERR_BUFFER = -6,
    SERIAL_ERR_WRITE = -7,
    SERIAL_ERR_READ = -8,
    SERIAL_ERR_SYSTEM = -9,
    // The device behind the port went away (unplugged, or the other side of a
    // pseudo-terminal closed). Bytes that arrived before are still read; after
    // them reads and writes give this until the owner closes the port.
    SERIAL_ERR_GONE = -10,
};

enum : std::uint8_t {
    SERIAL_EVENT_BREAK = 0,
    SERIAL_EVENT_MODEM = 1,
    SERIAL_EVENT_DATA = 2,
    SERIAL_EVENT_ERROR = 3,
    // The line hung up: the device is gone. Delivered once, after every event
    // that came before it; no event follows. The port stays open (and its
    // device node held) until the owner calls SerialClose. detail is 0.
    SERIAL_EVENT_HANGUP = 4,
};

enum : std::uint32_t {
    SERIAL_LINE_RTS = 1,
    SERIAL_LINE_DTR = 2,
};

enum : std::uint32_t {
    SERIAL_MODEM_CTS = 1,
    SERIAL_MODEM_DSR = 2,
    SERIAL_MODEM_RING = 4,
    SERIAL_MODEM_RLSD = 8,
};

enum : std::uint32_t {
    SERIAL_RX_OVERRUN = 1,
    SERIAL_RX_PARITY = 2,
    SERIAL_RX_FRAMING = 4,
};

#pragma pack(push, 1)
// The record handed to a port's callback; valid only during the call.
struct SerialEvent {
    std::uint8_t kind;
    std::int32_t handle;
    std::uint32_t detail;
};
#pragma pack(pop)
static_assert(sizeof(SerialEvent) == 9, "SerialEvent is a packed 9-byte record");

using SerialEventCallback = int (*)(std::int32_t handle, const SerialEvent* event, void* context);

std::int32_t SerialOpen(std::uint32_t port, std::uint32_t baud, std::uint8_t handshake,
                        SerialEventCallback callback, void* context);
void SerialClose(std::int32_t handle);
std::int32_t SerialRead(std::int32_t handle, std::uint32_t maxCount, std::uint8_t* buffer);
std::int32_t SerialWrite(std::int32_t handle, std::uint32_t count, const std::uint8_t* buffer);
std::int32_t SerialSendBreak(std::int32_t handle);
std::int32_t SerialSetLines(std::int32_t handle, std::uint32_t lines);
std::int32_t SerialGetModemStatus(std::int32_t handle, std::uint32_t* status);
