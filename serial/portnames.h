#pragma once
// COM port numbers on POSIX systems.
//
// The driver's callers speak of COM numbers; on POSIX each number maps to a
// device path by this fixed table:
//
//   COM1  - COM32   /dev/ttyS0   - /dev/ttyS31    (on-board UARTs)
//   COM33 - COM64   /dev/ttyUSB0 - /dev/ttyUSB31  (USB serial adapters)
//   COM65 - COM96   /dev/ttyACM0 - /dev/ttyACM31  (USB CDC-ACM devices)
//   COM97 - COM256  free for registered paths, handed out in order of
//                   registration
//
// Extra paths (the device simulator's pseudo-terminal, a tty under another
// name) are registered with RegisterPortPath, or listed colon-separated in the
// environment variable VTRLCFG_PORTS and registered by
// RegisterPortsFromEnvironment at start-up. A path that resolves to a device
// of the table (a /dev/serial/by-id link to /dev/ttyUSB3) is that device's
// number instead, so one adapter can be named by its serial number whatever
// ttyUSB number it got today.
//
// On Windows the numbers are the system's own: COM n is \\.\COMn for every
// n up to 256, a path names a port only as "COMn" or "\\.\COMn", nothing is
// registered and VTRLCFG_PORTS is not read.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtrl::serial {

constexpr std::uint32_t kFirstRegisteredPort = 97;
constexpr std::uint32_t kLastPort = 256;

// The device path of COM `port`, or "" when the number names none.
std::string PortDevicePath(std::uint32_t port);

// The table number of a device path ("/dev/ttyUSB3" is 36); 0 for any other.
std::uint32_t TablePortNumber(const std::string& devicePath);

// The number of the table device `path` resolves to now; otherwise gives
// `path` the next free number from 97 on and returns it, and a path that is
// registered already keeps its number. 0 when all numbers are taken or the
// path is empty.
std::uint32_t RegisterPortPath(const std::string& path);

// Registers every path of VTRLCFG_PORTS; returns how many paths it names that
// now have a number.
std::size_t RegisterPortsFromEnvironment();

// Forgets all registered paths.
void ResetRegisteredPortsForTesting();

}  // namespace vtrl::serial
