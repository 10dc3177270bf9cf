// 1 MiB through a pseudo-terminal into the driver, read back on data events
// in reads of at most 350 bytes, every byte checked in order.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "serial.h"
#include "tests/support/posix_ports.h"

namespace {

struct Events {
    std::mutex mutex;
    std::condition_variable cv;
    unsigned long pending = 0;
};

int OnEvent(std::int32_t, const SerialEvent* event, void* context) {
    auto* events = static_cast<Events*>(context);
    if (event->kind != SERIAL_EVENT_DATA) return 0;
    {
        std::lock_guard<std::mutex> lock(events->mutex);
        ++events->pending;
    }
    events->cv.notify_one();
    return 0;
}

std::uint8_t Pattern(std::size_t i) { return static_cast<std::uint8_t>((i * 131 + (i >> 8)) & 0xFF); }

}  // namespace

int main() {
    constexpr std::size_t kTotal = 1024 * 1024;
    const vtrl::test::Pty pty(true);
    if (pty.port() == 0) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 2;
    }
    Events events;
    const std::int32_t h = SerialOpen(pty.port(), 115200, 0, &OnEvent, &events);
    if (h <= 0) {
        std::fprintf(stderr, "open failed: %d\n", h);
        return 1;
    }
    std::vector<std::uint8_t> source(kTotal);
    for (std::size_t i = 0; i < kTotal; ++i) source[i] = Pattern(i);

    const auto t0 = std::chrono::steady_clock::now();
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < kTotal) {
            const ssize_t n = ::write(pty.master(), source.data() + done, std::min<std::size_t>(4096, kTotal - done));
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    });

    std::size_t received = 0;
    unsigned long eventCount = 0;
    unsigned long reads = 0;
    bool ok = true;
    std::uint8_t buffer[350];
    while (received < kTotal && ok) {
        {
            std::unique_lock<std::mutex> lock(events.mutex);
            if (!events.cv.wait_for(lock, std::chrono::seconds(10), [&] { return events.pending > 0; })) {
                std::fprintf(stderr, "stalled after %zu bytes\n", received);
                ok = false;
                break;
            }
            eventCount += events.pending;
            events.pending = 0;
        }
        for (;;) {
            const std::int32_t n = SerialRead(h, sizeof buffer, buffer);
            if (n < 0) {
                std::fprintf(stderr, "read failed: %d\n", n);
                ok = false;
            }
            if (n <= 0) break;
            ++reads;
            for (std::int32_t i = 0; i < n; ++i) {
                if (received + i >= kTotal || buffer[i] != Pattern(received + i)) {
                    std::fprintf(stderr, "byte %zu wrong\n", received + i);
                    ok = false;
                    break;
                }
            }
            received += static_cast<std::size_t>(n);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    writer.join();
    SerialClose(h);
    if (!ok) return 1;
    std::printf("%zu bytes in order via %lu data events and %lu reads in %.3f s: %.1f MB/s "
                "(a 115200-baud line carries 0.0115 MB/s)\n",
                received, eventCount, reads, seconds, received / seconds / 1e6);
    return 0;
}
