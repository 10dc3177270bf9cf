#pragma once
// One simulated unit as the simulator keeps it: what it is, what it runs now
// and what it keeps over a restart. Internal to the simulator.

#include "simulator.h"

#include <chrono>
#include <utility>

namespace vtrl::sim {

using Clock = std::chrono::steady_clock;

inline constexpr DeviceAddress kZeroAddress{};

struct Device {
    DeviceProfile profile;
    DeviceConfig working;
    DeviceConfig flash;

    explicit Device(DeviceProfile p) : profile(std::move(p)), working(profile.config), flash(profile.config) {}
};

}  // namespace vtrl::sim
