// The Win32 backend against a real COM device: comport_check PORT
// Opens COM PORT through the driver (115200 8N1), asks the device for its
// address, version and configuration as the COM port page does, and tries the
// line controls. Prints one line per step; the exit code is 0 only when open,
// configuration, write and read all worked. Under Wine, COM PORT is a
// dosdevices link to the simulator's pseudo-terminal.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/packet.h"
#include "protocol/params.h"
#include "serial.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

using namespace vtrl::protocol;

struct Link final : PortWriter, NotificationSink {
    std::int32_t handle = 0;
    std::mutex mutex;
    std::condition_variable cv;
    int dataEvents = 0;
    std::vector<Notification> notes;

    std::int32_t Write(const std::uint8_t* bytes, std::uint32_t count) override {
        return SerialWrite(handle, count, bytes);
    }
    bool Post(Notification n) override {
        notes.push_back(std::move(n));
        return true;
    }
    static int Callback(std::int32_t, const SerialEvent* event, void* context) {
        auto* self = static_cast<Link*>(context);
        if (event->kind == SERIAL_EVENT_DATA) {
            std::lock_guard<std::mutex> lock(self->mutex);
            ++self->dataEvents;
            self->cv.notify_all();
        }
        return 0;
    }
};

int failures = 0;

void Report(const char* step, bool ok, const char* detail = "") {
    std::printf("%-34s %s %s\n", step, ok ? "ok    " : "FAILED", detail);
    if (!ok) ++failures;
}

// Reads and parses until a notification of `message` arrives or 1 s passes.
std::optional<Notification> Await(Link& link, PacketReceiver& receiver, std::uint32_t message) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        for (auto it = link.notes.begin(); it != link.notes.end(); ++it) {
            if (it->message == message) {
                Notification n = std::move(*it);
                link.notes.erase(it);
                return n;
            }
        }
        {
            std::unique_lock<std::mutex> lock(link.mutex);
            if (!link.cv.wait_until(lock, deadline, [&] { return link.dataEvents > 0; })) {
                // Tell a missing data event from a device that never answered.
                lock.unlock();
                std::uint8_t probe[350];
                const std::int32_t n = SerialRead(link.handle, sizeof probe, probe);
                std::printf("  no data event in 1 s; a direct read then gives %d\n", n);
                if (n > 0) receiver.ReceiveBytes(probe, static_cast<std::uint16_t>(n));
                for (auto& note : link.notes)
                    if (note.message == message) return std::move(note);
                return std::nullopt;
            }
            link.dataEvents = 0;
        }
        std::uint8_t buffer[350];
        for (std::int32_t n; (n = SerialRead(link.handle, sizeof buffer, buffer)) > 0;)
            receiver.ReceiveBytes(buffer, static_cast<std::uint16_t>(n));
    }
}

}  // namespace

// Whether one overlapped WaitCommEvent with `mask` reports the answer to a
// GetLocalAddress written meanwhile: the comm calls alone, without the driver.
void ProbeWaitCommEvent(std::uint32_t port, DWORD mask, const char* what) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%u", static_cast<unsigned>(port));
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::printf("%-34s cannot open (%lu)\n", what, GetLastError());
        return;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD events = 0, done = 0;
    SetCommMask(device, mask);
    BOOL ok = WaitCommEvent(device, &events, &ov);
    DWORD err = ok ? 0 : GetLastError();
    if (!ok && err == ERROR_IO_PENDING) {
        const std::uint8_t frame[] = {0x5D, 3, 0x7F, 0, 0, 0, 0, 0, 0};  // bad CRC: answered all the same
        OVERLAPPED wov{};
        wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!WriteFile(device, frame, sizeof frame, &done, &wov)) GetOverlappedResult(device, &wov, &done, TRUE);
        CloseHandle(wov.hEvent);
        ok = WaitForSingleObject(event, 1000) == WAIT_OBJECT_0 && GetOverlappedResult(device, &ov, &done, FALSE);
        err = ok ? 0 : GetLastError();
        if (!ok) {
            CancelIoEx(device, &ov);
            GetOverlappedResult(device, &ov, &done, TRUE);
        }
    }
    std::printf("%-34s %s events 0x%lx, error %lu\n", what, ok ? "reported" : "failed  ", events, err);
    CloseHandle(event);
    CloseHandle(device);
}

int main(int argc, char** argv) {
    if (argc != 2 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<std::uint32_t>(std::atoi(argv[1]));
    Link link;
    PacketSender sender(link);
    CommandSender commands(sender);
    PacketReceiver receiver([&](const Packet& p) { DeliverPacket(&p, link); });

    link.handle = SerialOpen(port, 115200, 0, &Link::Callback, &link);
    char detail[96];
    std::snprintf(detail, sizeof detail, "COM%u, handle %d", static_cast<unsigned>(port), link.handle);
    Report("open and configure 115200 8N1", link.handle > 0, detail);
    if (link.handle <= 0) return 1;

    const vtrl::DeviceAddress attached{};
    Report("write GetLocalAddress", commands.SendGetLocalAddress() >= 0);
    const auto address = Await(link, receiver, MsgLocalAddress);
    if (address && address->block) {
        const auto& a = *address->block;
        std::snprintf(detail, sizeof detail, "%02X%02X%02X%02X%02X%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
    }
    Report("read LocalAddress", address && address->block, address ? detail : "no answer");

    Report("write GetVersion", commands.SendGetVersion(attached) >= 0);
    const auto version = Await(link, receiver, MsgVersionInfo);
    std::snprintf(detail, sizeof detail, "%.32s", version && version->block ? (const char*)version->block->data() + 6 : "");
    Report("read VersionInfo", version && version->block, detail);

    const int seq = commands.SendGetConfig(attached);
    Report("write GetConfig", seq >= 0);
    const auto config = Await(link, receiver, MsgConfigReport);
    const bool decoded = config && config->block && (*config->block)[0] == seq &&
                         DecodeConfigReport(true, config->block->data() + 1, config->block->size() - 1) > 0;
    std::snprintf(detail, sizeof detail, "baud code %d, function %d", LocalConfig.BaudCode, LocalConfig.DeviceFunction);
    Report("read and decode ConfigReport", decoded, detail);

    // Line controls: reported, not required (a pseudo-terminal has no modem lines).
    std::uint32_t status = 0;
    std::printf("%-34s %d\n", "set RTS and DTR (result)", SerialSetLines(link.handle, SERIAL_LINE_RTS | SERIAL_LINE_DTR));
    std::printf("%-34s %d\n", "modem status (result)", SerialGetModemStatus(link.handle, &status));
    std::printf("%-34s %d\n", "send break (result)", SerialSendBreak(link.handle));

    SerialClose(link.handle);
    Report("close", SerialRead(link.handle, 1, reinterpret_cast<std::uint8_t*>(detail)) == SERIAL_ERR_HANDLE);
    ProbeWaitCommEvent(port, EV_RXCHAR, "WaitCommEvent, EV_RXCHAR");
    ProbeWaitCommEvent(port, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING, "WaitCommEvent, data + modem lines");
    std::printf("%s\n", failures == 0 ? "comport_check: passed" : "comport_check: FAILED");
    return failures == 0 ? 0 : 1;
}
