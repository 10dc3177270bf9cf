#include "versioncheck.h"

#include <array>

namespace vtrl {

bool CheckApplicationVersion(std::span<const std::uint8_t> versionInfo)
{
    if (versionInfo.size() <= kVersionMinor2At)
        return false;
    const std::array<std::uint8_t, 3> digits = {versionInfo[kVersionMajorAt], versionInfo[kVersionMinor1At],
                                                versionInfo[kVersionMinor2At]};
    constexpr std::array<std::uint8_t, 3> minimum = {'2', '0', '9'};
    // The first digit that differs decides; equal to the minimum is accepted.
    return digits >= minimum;
}

}  // namespace vtrl
