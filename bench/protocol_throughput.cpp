// CRC-32 and receiver throughput, in bytes per second. The line runs at
// 115200 baud (about 11.5 kB/s), so anything in the MB/s range leaves the UI
// thread idle.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "protocol/crc32.h"
#include "protocol/delivery.h"
#include "protocol/packet.h"

namespace {

using namespace vtrl::protocol;

std::vector<std::uint8_t> Frame(std::uint8_t type, std::size_t length) {
    std::vector<std::uint8_t> f = {kStartByte, type, 0, static_cast<std::uint8_t>(length & 0xFF),
                                   static_cast<std::uint8_t>(length >> 8)};
    for (std::size_t i = 0; i < length; ++i) f.push_back(static_cast<std::uint8_t>(i * 31));
    const std::uint32_t crc = ~UpdateCrc32(0xFFFFFFFFU, f.data(), f.size());
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return f;
}

void BM_Crc32(benchmark::State& state) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    for (auto _ : state) {
        benchmark::DoNotOptimize(UpdateCrc32(0xFFFFFFFFU, data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(9)->Arg(64)->Arg(308)->Arg(4096);

class NullSink : public NotificationSink {
public:
    bool Post(Notification n) override {
        benchmark::DoNotOptimize(n.block);
        return true;
    }
};

// Frames of one payload length, 350 bytes per read as the port path reads
// them, each delivered as a notification. Length 1 is a Confirmation, 102 a
// VersionInfo, 299 the largest ConfigReport.
void BM_Receiver(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const std::uint8_t type = length == 1 ? 2 : length == 102 ? 32 : 17;
    std::vector<std::uint8_t> stream;
    while (stream.size() < 64 * 1024) {
        const auto f = Frame(type, length);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    NullSink sink;
    std::size_t delivered = 0;
    PacketReceiver rx([&](const Packet& p) { delivered += DeliverPacket(&p, sink) ? 1 : 0; });
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += 350) {
            rx.ReceiveBytes(stream.data() + at, static_cast<std::uint16_t>(std::min<std::size_t>(350, stream.size() - at)));
        }
    }
    if (delivered == 0) state.SkipWithError("nothing delivered");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_Receiver)->Arg(1)->Arg(6)->Arg(102)->Arg(299);

}  // namespace

BENCHMARK_MAIN();
