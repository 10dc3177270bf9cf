// COM port numbers on Windows: the system's own. COM n is \\.\COMn, and no
// other path names a port, so nothing is registered and VTRLCFG_PORTS is not
// read.

#include "holders.h"
#include "portnames.h"

namespace vtrl::serial {

std::string PortDevicePath(std::uint32_t port) {
    if (port == 0 || port > kLastPort) return "";
    return "\\\\.\\COM" + std::to_string(port);
}

std::uint32_t TablePortNumber(const std::string& devicePath) {
    std::string name = devicePath;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.size() < 4 || name.size() > 6) return 0;
    for (std::size_t i = 0; i < 3; ++i)
        if ((name[i] & ~0x20) != "COM"[i]) return 0;
    if (name[3] == '0') return 0;
    std::uint32_t n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<std::uint32_t>(name[i] - '0');
    }
    return n <= kLastPort ? n : 0;
}

// COM3, com3 and \\.\COM3 are one device; there are no links to follow.
std::string RealDevice(const std::string& path) {
    const std::uint32_t port = TablePortNumber(path);
    return port != 0 ? PortDevicePath(port) : path;
}

std::uint32_t RegisterPortPath(const std::string& path) { return TablePortNumber(path); }

std::size_t RegisterPortsFromEnvironment() { return 0; }

void ResetRegisteredPortsForTesting() {}

}  // namespace vtrl::serial
