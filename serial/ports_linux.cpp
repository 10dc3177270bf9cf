// The port list on Linux: the fixed table's devices from libudev, judged
// without opening them; VTRLCFG_PORTS paths by the probe.

#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>

#include "holders.h"
#include "portnames.h"
#include "ports.h"
#include "posix_error.h"

namespace vtrl::serial {
namespace {

// Longer than any name worth showing; a device's strings are its own to choose.
constexpr std::size_t kMaxText = 128;

// Keeps well-formed UTF-8 without control characters; anything else becomes
// '?'. USB strings come from the device, so nothing is taken on trust.
std::string Printable(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size() && out.size() < kMaxText) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c >= 0x20 && c != 0x7F) out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                                 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool ok = length != 0 && i + length <= text.size() && out.size() + length <= kMaxText;
        for (std::size_t k = 1; ok && k < length; ++k)
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (ok) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += '?';
            ++i;
        }
    }
    const std::size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The database's *_ENC form: the device's string with \xNN escapes.
std::string DecodeEscapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
            HexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Four hex digits, lower case; "" for anything else.
std::string UsbId(const std::string& text) {
    if (text.size() != 4) return "";
    std::string out;
    for (char c : text) {
        const int v = HexValue(c);
        if (v < 0) return "";
        out += "0123456789abcdef"[v];
    }
    return out;
}

const std::string* Find(const std::map<std::string, std::string>& map, const char* key) {
    const auto it = map.find(key);
    return it == map.end() || it->second.empty() ? nullptr : &it->second;
}

// The first of the given sources that says something.
std::string FirstOf(const DeviceRecord& r, std::initializer_list<const char*> properties,
                    const char* encoded, const char* underscored, const char* attribute) {
    for (const char* key : properties)
        if (const std::string* v = Find(r.properties, key)) return Printable(*v);
    if (const std::string* v = Find(r.properties, encoded)) return Printable(DecodeEscapes(*v));
    if (const std::string* v = Find(r.properties, underscored)) {
        std::string text = *v;
        std::replace(text.begin(), text.end(), '_', ' ');
        return Printable(text);
    }
    if (const std::string* v = Find(r.attributes, attribute)) return Printable(*v);
    return "";
}

PortIdentity IdentityOf(const DeviceRecord& r) {
    PortIdentity id;
    std::string vid = UsbId(Find(r.properties, "ID_VENDOR_ID") ? *Find(r.properties, "ID_VENDOR_ID") : "");
    std::string pid = UsbId(Find(r.properties, "ID_MODEL_ID") ? *Find(r.properties, "ID_MODEL_ID") : "");
    if (vid.empty() || pid.empty()) {
        vid = UsbId(Find(r.attributes, "usb.idVendor") ? *Find(r.attributes, "usb.idVendor") : "");
        pid = UsbId(Find(r.attributes, "usb.idProduct") ? *Find(r.attributes, "usb.idProduct") : "");
    }
    if (!vid.empty() && !pid.empty()) id.vidPid = vid + ":" + pid;
    id.vendor = FirstOf(r, {"ID_VENDOR_FROM_DATABASE"}, "ID_VENDOR_ENC", "ID_VENDOR", "usb.manufacturer");
    id.product = FirstOf(r, {"ID_MODEL_FROM_DATABASE"}, "ID_MODEL_ENC", "ID_MODEL", "usb.product");
    // A device without a maker's string is named by its number, which the
    // USB ID says already.
    if (!vid.empty() && UsbId(id.vendor) == vid) id.vendor.clear();
    if (!pid.empty() && UsbId(id.product) == pid) id.product.clear();
    id.serial = FirstOf(r, {"ID_SERIAL_SHORT"}, "", "", "usb.serial");
    id.driver = FirstOf(r, {"ID_USB_DRIVER"}, "", "", "driver");
    if (const std::string* links = Find(r.properties, "DEVLINKS")) {
        std::string_view rest(*links);
        while (!rest.empty()) {
            const std::size_t space = rest.find(' ');
            const std::string_view link = rest.substr(0, space);
            if (link.rfind("/dev/serial/by-id/", 0) == 0 && link.size() <= 4096 &&
                link.find("/../") == std::string_view::npos) {
                id.byIdPath = std::string(link);
                break;
            }
            rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        }
    }
    return id;
}

class Udev final : public DeviceDatabase {
public:
    Udev() : udev_(::udev_new()) {}
    ~Udev() override {
        if (udev_) ::udev_unref(udev_);
    }
    Udev(const Udev&) = delete;
    Udev& operator=(const Udev&) = delete;

    std::optional<std::vector<DeviceRecord>> SerialDevices() override {
        if (!udev_) return std::nullopt;
        udev_enumerate* scan = ::udev_enumerate_new(udev_);
        if (!scan) return std::nullopt;
        std::vector<DeviceRecord> records;
        // Only the table's kinds: reading every virtual terminal's attributes
        // would take most of the time.
        bool ok = ::udev_enumerate_add_match_subsystem(scan, "tty") >= 0;
        for (const char* kind : {"ttyS*", "ttyUSB*", "ttyACM*"})
            ok = ok && ::udev_enumerate_add_match_sysname(scan, kind) >= 0;
        if (!ok || ::udev_enumerate_scan_devices(scan) < 0) {
            ::udev_enumerate_unref(scan);
            return std::nullopt;
        }
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, ::udev_enumerate_get_list_entry(scan)) {
            udev_device* device = ::udev_device_new_from_syspath(udev_, ::udev_list_entry_get_name(entry));
            if (!device) continue;  // gone meanwhile
            // Virtual terminals and the like hang off no device.
            if (udev_device* parent = ::udev_device_get_parent(device)) records.push_back(Record(device, parent));
            ::udev_device_unref(device);
        }
        ::udev_enumerate_unref(scan);
        return records;
    }

private:
    static std::string Text(const char* value) { return value ? value : ""; }

    static DeviceRecord Record(udev_device* device, udev_device* parent) {
        DeviceRecord r;
        r.devnode = Text(::udev_device_get_devnode(device));
        r.sysname = Text(::udev_device_get_sysname(device));
        r.subsystem = Text(::udev_device_get_subsystem(device));
        udev_list_entry* p = nullptr;
        udev_list_entry_foreach(p, ::udev_device_get_properties_list_entry(device)) {
            r.properties[Text(::udev_list_entry_get_name(p))] = Text(::udev_list_entry_get_value(p));
        }
        if (const char* type = ::udev_device_get_sysattr_value(device, "type")) r.attributes["type"] = type;
        if (const char* driver = ::udev_device_get_driver(parent)) r.attributes["driver"] = driver;
        if (udev_device* usb = ::udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
            for (const char* name : {"idVendor", "idProduct", "manufacturer", "product", "serial"})
                if (const char* value = ::udev_device_get_sysattr_value(usb, name))
                    r.attributes[std::string("usb.") + name] = value;
        }
        return r;
    }

    udev* udev_;
};

// What the system tells about a table device without opening it.
void Judge(PortEntry& entry, const std::map<std::string, std::vector<PortHolder>>& openers) {
    if (ClaimedHere(entry.device)) {
        entry.state = PortEntry::State::OpenHere;
        return;
    }
    if (const auto holder = LockHolder(entry.device)) {
        entry.state = PortEntry::State::InUse;
        entry.holder = *holder;
    } else if (const auto it = openers.find(entry.device); it != openers.end() && !it->second.empty()) {
        entry.state = PortEntry::State::InUse;
        entry.holder = it->second.front();
    }
    if (entry.state == PortEntry::State::InUse) {
        entry.detail = entry.path + " is " + InUseText(entry.holder);
        return;
    }
    if (::faccessat(AT_FDCWD, entry.device.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        const SystemError error = ErrorFromErrno(errno, entry.path);
        entry.state = error.kind == SystemError::Kind::Denied ? PortEntry::State::Denied : PortEntry::State::Failed;
        entry.detail = error.detail;
        entry.joinGroup = error.joinGroup;
        return;
    }
    entry.state = PortEntry::State::Free;
}

bool IsCharDevice(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

std::unique_ptr<DeviceDatabase> SystemDeviceDatabase() { return std::make_unique<Udev>(); }

std::optional<PortEntry> PortFromRecord(const DeviceRecord& record) {
    if (record.subsystem != "tty") return std::nullopt;
    const std::string devnode = record.devnode.empty() ? "/dev/" + record.sysname : record.devnode;
    const std::uint32_t port = TablePortNumber(devnode);
    if (port == 0) return std::nullopt;
    // The serial core keeps a ttyS for every possible line; an unknown UART
    // type means nothing answered there.
    if (const std::string* type = Find(record.attributes, "type"); type && type->find_first_not_of("0\n") == std::string::npos)
        return std::nullopt;
    PortEntry entry;
    entry.port = port;
    entry.path = devnode;
    entry.device = devnode;
    entry.identity = IdentityOf(record);
    return entry;
}

std::vector<PortEntry> ListPorts(DeviceDatabase* database) {
    std::map<std::uint32_t, PortEntry> ports;
    std::map<std::string, PortIdentity> identities;  // of every record, for registered paths
    const auto records = database ? database->SerialDevices() : std::nullopt;
    if (records) {
        for (const DeviceRecord& record : *records) {
            std::optional<PortEntry> entry = PortFromRecord(record);
            if (!record.devnode.empty()) identities[record.devnode] = IdentityOf(record);
            // The database may know devices whose nodes this system (a
            // container) does not have.
            if (entry && IsCharDevice(entry->device)) ports[entry->port] = std::move(*entry);
        }
        std::set<std::string> devices;
        for (const auto& [port, entry] : ports) devices.insert(entry.device);
        const auto openers = OpenersOf(devices);
        for (auto& [port, entry] : ports) Judge(entry, openers);
    } else {
        for (std::uint32_t port = 1; port < kFirstRegisteredPort; ++port) {
            const PortProbe probe = ProbePort(port);
            if (probe.outcome != PortProbe::Outcome::Missing) ports[port] = EntryFromProbe(probe);
        }
    }
    for (std::uint32_t port = kFirstRegisteredPort; port <= kLastPort; ++port) {
        const std::string path = PortDevicePath(port);
        if (path.empty()) break;
        const std::string device = RealDevice(path);
        const std::uint32_t table = TablePortNumber(device);
        if (table != 0 && ports.count(table)) continue;  // listed under its own number
        PortEntry entry;
        if (ClaimedHere(device)) {
            entry.path = path;
            entry.state = PortEntry::State::OpenHere;
        } else {
            const PortProbe probe = ProbePort(table != 0 ? table : port);
            if (probe.outcome == PortProbe::Outcome::Missing) continue;
            entry = EntryFromProbe(probe);
        }
        entry.port = table != 0 ? table : port;
        entry.path = path;
        entry.device = device;
        if (const auto it = identities.find(device); it != identities.end()) entry.identity = it->second;
        ports[entry.port] = std::move(entry);
    }
    const std::set<std::string> consoles = ConsoleDevices();
    std::vector<PortEntry> list;
    list.reserve(ports.size());
    for (auto& [port, entry] : ports) {
        entry.console = consoles.count(entry.device) > 0;
        list.push_back(std::move(entry));
    }
    return list;
}

bool PathsNameDevices() { return true; }

std::vector<PortEntry> ListPorts() {
    const std::unique_ptr<DeviceDatabase> database = SystemDeviceDatabase();
    return ListPorts(database.get());
}

}  // namespace vtrl::serial
