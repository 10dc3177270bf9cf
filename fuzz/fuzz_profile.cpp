// Profile file bytes -> LoadProfile. A profile that loads holds only what a
// device can take, and comes back unchanged through ProfileJson; a refusal
// always says why.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "ctl/profile.h"
#include "fuzz/fuzz_check.h"

using namespace vtrl::ctl;

namespace {

// A key a profile leaves out keeps the device's value; one it gives is in range.
void CheckPort(const PortSettings& p)
{
    const auto within = [](const std::optional<std::uint8_t>& v, int lo, int hi) { return !v || (*v >= lo && *v <= hi); };
    FUZZ_CHECK(within(p.baud, 1, 10));
    FUZZ_CHECK(within(p.dataBits, 1, 2));
    FUZZ_CHECK(within(p.parity, 1, 3));
    FUZZ_CHECK(within(p.stopBits, 1, 2));
    FUZZ_CHECK(within(p.flow, 1, 3));
    FUZZ_CHECK(within(p.interfaceCode, 1, 2));
    FUZZ_CHECK(!p.powerLevel || *p.powerLevel <= 7);
    FUZZ_CHECK(!p.cdOutput || !*p.cdOutput || p.interfaceCode != 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto loaded = LoadProfile(json);
    if (const auto* refusal = std::get_if<QString>(&loaded)) {
        FUZZ_CHECK(!refusal->isEmpty());
        return 0;
    }
    const Profile& p = std::get<Profile>(loaded);
    FUZZ_CHECK(p.function == 1 || p.function == 2);
    CheckPort(p.local);
    if (p.remote) {
        FUZZ_CHECK(p.function == 1);
        CheckPort(*p.remote);
    }
    FUZZ_CHECK(p.function == 2 || p.device.empty());
    // Both fields keep a terminating zero on the device.
    FUZZ_CHECK(!p.device.name || p.device.name->size() <= 29);
    FUZZ_CHECK(!p.device.pin || (!p.device.pin->empty() && p.device.pin->size() <= 15));
    FUZZ_CHECK(!p.device.linkTimeout || *p.device.linkTimeout <= 40);

    const auto again = LoadProfile(ProfileJson(p));
    FUZZ_CHECK(std::holds_alternative<Profile>(again));
    //X
    return 0;
}
