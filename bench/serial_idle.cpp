// CPU cost of an open port with no traffic: a driver that polls shows here.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "serial.h"
#include "tests/support/posix_ports.h"

namespace {
int Ignore(std::int32_t, const SerialEvent*, void*) { return 0; }
double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}
}  // namespace

int main() {
    const vtrl::test::Pty pty(true);
    if (pty.port() == 0) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 2;
    }
    const std::int32_t h = SerialOpen(pty.port(), 115200, 0, &Ignore, nullptr);
    if (h <= 0) {
        std::fprintf(stderr, "open failed: %d\n", h);
        return 1;
    }
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    SerialClose(h);
    std::printf("idle open port: %.3f s CPU in %.2f s = %.3f%% of one core (target < 1%%)\n", cpu,
                wall, 100.0 * cpu / wall);
    return 0;
}
