// Runs a fuzz entry point over its seed files, every single-byte change of
// each seed, and random inputs, so a plain build exercises the fuzz targets.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

void Run(const Bytes& b) {
    LLVMFuzzerTestOneInput(b.data(), b.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <seed-dir>\n", argv[0]);
        return 2;
    }
    std::vector<Bytes> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "no seeds in %s\n", argv[1]);
        return 1;
    }

    std::mt19937 rng(20240611);
    std::size_t runs = 0;
    Run({});
    ++runs;
    // Single-byte changes at every position while that stays within about
    // 40,000 inputs; a large seed set (what long runs found) gets every n-th.
    std::size_t total = 0;
    for (const Bytes& seed : seeds) total += seed.size();
    const std::size_t stride = total * 8 / 40000 + 1;
    for (const Bytes& seed : seeds) {
        Run(seed);
        ++runs;
        for (std::size_t i = 0; i < seed.size(); i += stride) {
            for (std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0x5D}, std::uint8_t{0xFF},
                                       static_cast<std::uint8_t>(seed[i] ^ (1U << (rng() % 8)))}) {
                Bytes m = seed;
                m[i] = value;
                Run(m);
                Run(Bytes(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(i)));  // truncated
                runs += 2;
            }
        }
    }
    // Random inputs, and random concatenations of seeds with noise between them.
    for (int n = 0; n < 3000; ++n) {
        Bytes b;
        if (n % 2 == 0) {
            b.resize(rng() % 700);
            for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        } else {
            for (int k = rng() % 5; k >= 0; --k) {
                const Bytes& s = seeds[rng() % seeds.size()];
                b.insert(b.end(), s.begin(), s.end());
                for (int noise = rng() % 3; noise > 0; --noise) b.push_back(static_cast<std::uint8_t>(rng()));
            }
        }
        Run(b);
        ++runs;
    }
    std::printf("%zu seeds, %zu inputs run\n", seeds.size(), runs);
    return 0;
}
