#pragma once
// The oldest device application the wizard can configure, judged from a
// VersionInfo answer. Shared by the pages that read a device's version.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vtrl {

// Offsets in the VersionInfo block of the digits of the application version
// text (which starts at byte 6): major, first minor, second minor.
inline constexpr std::size_t kVersionMajorAt = 19;
inline constexpr std::size_t kVersionMinor1At = 21;
inline constexpr std::size_t kVersionMinor2At = 22;

// True when the application version is 2.09 or later. The digits are
// compared by their character codes, most significant first; a block too
// short to hold them is refused.
bool CheckApplicationVersion(std::span<const std::uint8_t> versionInfo);

}  // namespace vtrl
