#pragma once
// Finding out whether a COM port could be opened, for the port list.

#include <cstdint>
#include <string>

namespace vtrl::serial {

struct PortProbe {
    enum class Outcome { Opened, Missing, InUse, Denied, Failed } outcome = Outcome::Failed;
    std::uint32_t port = 0;
    std::string path;    // the device the port number names
    std::string detail;  // the system's reason, for the operator
    std::string joinGroup;  // Denied: a group that may use the device, when this user is not in it
};

// Opens the port's device exclusively, as SerialOpen does, and closes it at
// once. Goes through the same backend as the driver.
PortProbe ProbePort(std::uint32_t port);

}  // namespace vtrl::serial
