// Parameter block bytes -> DecodeParameterBlock on both record tables and on
// a table whose fields are separate heap buffers of exactly their width, so
// that a write past a field is caught by the address sanitizer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/params.h"

using namespace vtrl::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Copy so that a read past `size` lands outside the heap block.
    const std::vector<std::uint8_t> block(data, data + size);
    const std::uint8_t* bytes = block.empty() ? data : block.data();

    std::vector<std::vector<std::uint8_t>> fields;
    std::array<ParameterDescriptor, 19> table{};
    for (int i = 0; i < 18; ++i) {
        const ParameterDescriptor& row = LocalDescriptors()[i];
        fields.emplace_back(row.width, 0);
        table[static_cast<std::size_t>(i)] = {row.tag, row.width, fields.back().data()};
    }
    table[18] = {0, 0, nullptr};

    const int isolated = DecodeParameterBlock(table.data(), bytes, size);
    const int local = DecodeConfigReport(true, bytes, size);
    const int remote = DecodeConfigReport(false, bytes, size);
    FUZZ_CHECK(isolated == local && local == remote);
    FUZZ_CHECK(local >= -1);
    FUZZ_CHECK(local <= static_cast<int>(size / 3));  // every stored element takes 3 bytes or more
    FUZZ_CHECK(LocalConfig.LinkTimeout == RemoteConfig.LinkTimeout);
    return 0;
}
