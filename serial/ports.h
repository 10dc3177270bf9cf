#pragma once
// The port list: which COM ports name a device now, what each device is, and
// whether it is free.
//
// On Linux the ports of the fixed table (portnames.h) come from the system's
// device database, and whether one is held is decided from lock files and
// from the processes that have it open: nothing is opened, so no adapter sees
// DTR or RTS move. A ttyS with no UART behind it is no port. Paths of
// VTRLCFG_PORTS are still probed by opening (nothing better exists for a
// pseudo-terminal); one that resolves to a table device (a /dev/serial/by-id
// link) is that device, under its table number. Where there is no database
// (Windows, or Linux without one readable) every number is probed by opening.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "probe.h"

namespace vtrl::serial {

// What a USB adapter says it is. A field is empty when nothing tells it.
struct PortIdentity {
    std::string vendor;    // "Future Technology Devices International, Ltd"
    std::string product;   // "FT232 Serial (UART) IC"
    std::string vidPid;    // "0403:6001"
    std::string serial;    // the adapter's serial number
    std::string byIdPath;  // "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3PZB-if00-port0"
    std::string driver;    // "ftdi_sio"
    bool operator==(const PortIdentity&) const = default;
};

// One line for a list: "product, vendor, 0403:6001, serial X"; "" when
// nothing is known.
std::string IdentitySummary(const PortIdentity& identity);
// One known field a line ("Serial number: A10K3PZB"), for a tooltip.
std::string IdentityDetails(const PortIdentity& identity);

struct PortEntry {
    // OpenHere: a port of this program has it open, so it is listed.
    enum class State { Free, OpenHere, InUse, Denied, Failed };
    std::uint32_t port = 0;  // COM number
    std::string path;        // what the number names: a table path or a VTRLCFG_PORTS path
    std::string device;      // the device node that path resolves to
    State state = State::Failed;
    std::string detail;      // why it is not free, for the operator; names the holder
    std::string joinGroup;   // Denied: a group that may use the device, when this user is not in it
    PortHolder holder{};     // InUse: who holds it, where that can be found
    PortIdentity identity{};
    // The kernel's console: offered to nobody who did not name it.
    bool console = false;

    bool listed() const { return state == State::Free || state == State::OpenHere; }
};

// A probe by opening as a list entry (no identity).
PortEntry EntryFromProbe(const PortProbe& probe);

// One device as the system's device database describes it.
struct DeviceRecord {
    std::string devnode;    // "/dev/ttyUSB0"
    std::string sysname;    // "ttyUSB0"
    std::string subsystem;  // "tty"
    // The database's properties: ID_VENDOR_ID, ID_MODEL_ID, ID_VENDOR_FROM_DATABASE,
    // ID_MODEL_FROM_DATABASE, ID_VENDOR_ENC, ID_MODEL_ENC, ID_SERIAL_SHORT,
    // ID_USB_DRIVER, DEVLINKS (space-separated) ...
    std::map<std::string, std::string> properties;
    // From the device tree itself, which answers without a device manager:
    // "type" (a serial port's UART type; "0" when no UART answered), "driver"
    // (of the parent device), and the USB device's "usb.idVendor",
    // "usb.idProduct", "usb.manufacturer", "usb.product", "usb.serial".
    std::map<std::string, std::string> attributes;
};

class DeviceDatabase {
public:
    virtual ~DeviceDatabase() = default;
    // The terminal devices (at least those of the table's kinds: ttyS,
    // ttyUSB, ttyACM); nullopt when the database cannot be read.
    virtual std::optional<std::vector<DeviceRecord>> SerialDevices() = 0;
};

// The system's device database (libudev on Linux); null where there is none.
std::unique_ptr<DeviceDatabase> SystemDeviceDatabase();

// The table port a record is, with the device's identity (state not yet
// decided); nullopt for a device that is no port of the table or a serial
// port with no UART behind it. Linux.
std::optional<PortEntry> PortFromRecord(const DeviceRecord& record);

// Whether a port's path says more than its number: on Linux it names the
// device (and a refusal for lack of permission is told apart from one for a
// port in use); on Windows the number is the name.
bool PathsNameDevices();

// Every COM number that names a device now, ascending, with its state:
// listed() ones are what the operator may choose; the others say why not.
// Lists from the system's database.
std::vector<PortEntry> ListPorts();
// The same from `database`; null: every number is probed by opening.
std::vector<PortEntry> ListPorts(DeviceDatabase* database);

}  // namespace vtrl::serial
