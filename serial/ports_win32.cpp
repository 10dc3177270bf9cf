// The port list on Windows: the system names COM ports itself, and each is
// probed by opening it.

#include "ports.h"

namespace vtrl::serial {

std::unique_ptr<DeviceDatabase> SystemDeviceDatabase() { return nullptr; }

// A port in use is refused with the same error as one without permission.
bool PathsNameDevices() { return false; }

std::optional<PortEntry> PortFromRecord(const DeviceRecord&) { return std::nullopt; }

std::vector<PortEntry> ListPorts(DeviceDatabase*) {
    std::vector<PortEntry> entries;
    for (std::uint32_t port = 1; port <= 256; ++port) {
        const PortProbe probe = ProbePort(port);
        if (probe.outcome != PortProbe::Outcome::Missing) entries.push_back(EntryFromProbe(probe));
    }
    return entries;
}

std::vector<PortEntry> ListPorts() { return ListPorts(nullptr); }

}  // namespace vtrl::serial
