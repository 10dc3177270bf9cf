// The port list: adapters as the device database describes them, and the
// list from this machine's own database.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "holders.h"
#include "portnames.h"
#include "ports.h"
#include "support.h"
#include "tests/support/posix_ports.h"
#include "watcher.h"

namespace vtrl::serial::test {
namespace {

using ::vtrl::test::Pty;

struct Adapter {
    const char* what;
    DeviceRecord record;
    std::uint32_t port;  // 0: not a port
    PortIdentity identity;
};

void PrintTo(const Adapter& a, std::ostream* os) { *os << a.what; }

DeviceRecord Tty(const std::string& name, std::map<std::string, std::string> properties,
                 std::map<std::string, std::string> attributes = {}) {
    return DeviceRecord{"/dev/" + name, name, "tty", std::move(properties), std::move(attributes)};
}

const std::string kById = "/dev/serial/by-id/";

std::string HdbLockOfParent() {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getppid()));
    return text;
}

const Adapter kAdapters[] = {
    {"FTDI FT232R",
     Tty("ttyUSB0",
         {{"ID_VENDOR", "FTDI"}, {"ID_VENDOR_ENC", "FTDI"}, {"ID_VENDOR_ID", "0403"},
          {"ID_MODEL", "FT232R_USB_UART"}, {"ID_MODEL_ENC", "FT232R\\x20USB\\x20UART"}, {"ID_MODEL_ID", "6001"},
          {"ID_SERIAL_SHORT", "A10K3PZB"}, {"ID_USB_DRIVER", "ftdi_sio"},
          {"ID_VENDOR_FROM_DATABASE", "Future Technology Devices International, Ltd"},
          {"ID_MODEL_FROM_DATABASE", "FT232 Serial (UART) IC"},
          {"DEVLINKS", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 " + kById +
                           "usb-FTDI_FT232R_USB_UART_A10K3PZB-if00-port0"}},
         {{"driver", "ftdi_sio"}, {"usb.idVendor", "0403"}}),
     33,
     {"Future Technology Devices International, Ltd", "FT232 Serial (UART) IC", "0403:6001", "A10K3PZB",
      kById + "usb-FTDI_FT232R_USB_UART_A10K3PZB-if00-port0", "ftdi_sio"}},
    {"CP2102, second adapter, no names in the hardware database",
     Tty("ttyUSB1",
         {{"ID_VENDOR_ENC", "Silicon\\x20Labs"}, {"ID_VENDOR_ID", "10C4"},
          {"ID_MODEL_ENC", "CP2102\\x20USB\\x20to\\x20UART\\x20Bridge\\x20Controller"}, {"ID_MODEL_ID", "EA60"},
          {"ID_SERIAL_SHORT", "0001"}, {"ID_USB_DRIVER", "cp210x"},
          {"DEVLINKS", kById + "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0"}}),
     34,
     {"Silicon Labs", "CP2102 USB to UART Bridge Controller", "10c4:ea60", "0001",
      kById + "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0", "cp210x"}},
    {"CH340, no serial number and no maker's strings",
     Tty("ttyUSB7",
         {{"ID_VENDOR", "1a86"}, {"ID_VENDOR_ENC", "1a86"}, {"ID_VENDOR_ID", "1a86"}, {"ID_MODEL", "USB_Serial"},
          {"ID_MODEL_ENC", "USB\\x20Serial"}, {"ID_MODEL_ID", "7523"}, {"ID_USB_DRIVER", "ch341"},
          {"ID_VENDOR_FROM_DATABASE", "QinHeng Electronics"},
          {"ID_MODEL_FROM_DATABASE", "CH340 serial converter"},
          {"DEVLINKS", kById + "usb-1a86_USB_Serial-if00-port0"}}),
     40, {"QinHeng Electronics", "CH340 serial converter", "1a86:7523", "", kById + "usb-1a86_USB_Serial-if00-port0",
          "ch341"}},
    {"CDC-ACM device",
     Tty("ttyACM0",
         {{"ID_VENDOR_ENC", "Vantrel"}, {"ID_VENDOR_ID", "2e8a"}, {"ID_MODEL_ENC", "BT\\x20Radio"},
          {"ID_MODEL_ID", "000a"}, {"ID_SERIAL_SHORT", "E6614103E7"}, {"ID_USB_DRIVER", "cdc_acm"},
          {"DEVLINKS", kById + "usb-Vantrel_BT_Radio_E6614103E7-if00"}}),
     65, {"Vantrel", "BT Radio", "2e8a:000a", "E6614103E7", kById + "usb-Vantrel_BT_Radio_E6614103E7-if00", "cdc_acm"}},
    {"FTDI without a device manager: only what the USB device itself says",
     Tty("ttyUSB2", {{"DEVNAME", "/dev/ttyUSB2"}, {"MAJOR", "188"}},
         {{"driver", "ftdi_sio"}, {"usb.idVendor", "0403"}, {"usb.idProduct", "6015"},
          {"usb.manufacturer", "FTDI"}, {"usb.product", "FT230X Basic UART"}, {"usb.serial", "DK0AB1C2"}}),
     35, {"FTDI", "FT230X Basic UART", "0403:6015", "DK0AB1C2", "", "ftdi_sio"}},
    {"a device whose strings are not text",
     Tty("ttyUSB3", {{"ID_VENDOR_ID", "04x3"}, {"ID_MODEL_ID", "6001"}, {"ID_SERIAL_SHORT", "ok\x01\x7f"},
                     {"ID_MODEL_ENC", "\\xff\\x1b[31mred"}, {"DEVLINKS", kById + "../../../etc/passwd"}}),
     36, {"", "?[31mred", "", "ok", "", ""}},
    {"on-board UART", Tty("ttyS0", {}, {{"type", "4"}, {"driver", "serial"}}), 1, {"", "", "", "", "", "serial"}},
    {"on-board line with no UART behind it", Tty("ttyS3", {}, {{"type", "0"}, {"driver", "serial8250"}}), 0, {}},
    {"virtual console", Tty("tty3", {}), 0, {}},
    {"UART outside the table", Tty("ttyAMA0", {}, {{"type", "95"}}), 0, {}},
    {"ttyUSB beyond the table", Tty("ttyUSB32", {{"ID_VENDOR_ID", "0403"}}), 0, {}},
    {"not a terminal", DeviceRecord{"/dev/ttyUSB4", "ttyUSB4", "usb", {}, {}}, 0, {}},
};

class Adapters : public ::testing::TestWithParam<Adapter> {};

TEST_P(Adapters, AreListedUnderTheirTableNumberWithWhatTheySayTheyAre) {
    const Adapter& a = GetParam();
    const std::optional<PortEntry> entry = PortFromRecord(a.record);
    if (a.port == 0) {
        EXPECT_FALSE(entry.has_value());
        return;
    }
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->port, a.port);
    EXPECT_EQ(entry->path, a.record.devnode);
    EXPECT_EQ(entry->identity, a.identity);
}

INSTANTIATE_TEST_SUITE_P(Table, Adapters, ::testing::ValuesIn(kAdapters),
                         [](const ::testing::TestParamInfo<Adapter>& info) { return RowName(info.param.what); });

TEST(Identity, SummaryAndDetailsLeaveOutWhatIsNotKnown) {
    const PortIdentity& ftdi = kAdapters[0].identity;
    EXPECT_EQ(IdentitySummary(ftdi),
              "FT232 Serial (UART) IC, Future Technology Devices International, Ltd, 0403:6001, serial A10K3PZB");
    EXPECT_EQ(IdentitySummary(kAdapters[2].identity), "CH340 serial converter, QinHeng Electronics, 1a86:7523");
    EXPECT_EQ(IdentityDetails(kAdapters[2].identity),
              "Product: CH340 serial converter\nVendor: QinHeng Electronics\nUSB ID: 1a86:7523\nDriver: ch341\n"
              "Stable path: /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0");
    EXPECT_EQ(IdentitySummary(PortIdentity{}), "");
}

// A database that answers with what a test gives it.
class Records final : public DeviceDatabase {
public:
    explicit Records(std::optional<std::vector<DeviceRecord>> records) : records_(std::move(records)) {}
    std::optional<std::vector<DeviceRecord>> SerialDevices() override { return records_; }

private:
    std::optional<std::vector<DeviceRecord>> records_;
};

class PortList : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegisteredPortsForTesting();
        char dir[] = "/tmp/vtrl-ports-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        ResetRegisteredPortsForTesting();
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
};

// A container's database knows the host's adapters; only nodes that exist here are ports.
TEST_F(PortList, ListsOnlyDevicesWhoseNodesExistAndGivesARegisteredPathItsDevicesIdentity) {
    const Pty terminal;
    ASSERT_FALSE(terminal.path().empty());
    const std::string& slave = terminal.path();
    const std::string link = dir_ + "/radio";
    ASSERT_EQ(::symlink(slave.c_str(), link.c_str()), 0);
    const std::uint32_t port = RegisterPortPath(link);
    DeviceRecord pty = Tty(slave.substr(5), {{"ID_MODEL_ENC", "Bench\\x20Radio"}});
    pty.devnode = slave;
    Records database(std::vector<DeviceRecord>{kAdapters[0].record, kAdapters[3].record, pty});
    const std::vector<PortEntry> list = ListPorts(&database);
    ASSERT_EQ(list.size(), 1u) << "no /dev/ttyUSB0 or /dev/ttyACM0 on a test machine";
    EXPECT_EQ(list[0].port, port);
    EXPECT_EQ(list[0].path, link);
    EXPECT_EQ(list[0].device, slave);
    EXPECT_EQ(list[0].state, PortEntry::State::Free);
    EXPECT_EQ(list[0].identity.product, "Bench Radio");
}

TEST_F(PortList, APathThatResolvesToATableDeviceIsThatDevice) {
    EXPECT_EQ(TablePortNumber("/dev/ttyUSB3"), 36u);
    EXPECT_EQ(TablePortNumber("/dev/ttyACM31"), 96u);
    for (const char* other : {"/dev/ttyUSB32", "/dev/ttyUSB03", "/dev/ttyS", "/dev/ttyS1x", "/dev/pts/3", "ttyS1"})
        EXPECT_EQ(TablePortNumber(other), 0u) << other;
    if (::access("/dev/ttyS0", F_OK) != 0) GTEST_SKIP() << "no /dev/ttyS0 to link to";
    const std::string byId = dir_ + "/usb-Vantrel_Radio_0123-if00-port0";
    ASSERT_EQ(::symlink("/dev/ttyS0", byId.c_str()), 0);
    EXPECT_EQ(RegisterPortPath(byId), 1u);
    EXPECT_EQ(PortDevicePath(kFirstRegisteredPort), "") << "nothing registered for it";
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 10000) == 1;
}

std::vector<std::uint32_t> Numbers(const std::vector<PortEntry>& entries) {
    std::vector<std::uint32_t> numbers;
    for (const PortEntry& e : entries) numbers.push_back(e.port);
    return numbers;
}

// The simulator's link comes and goes as the device would; another program
// locking the port takes it off the list until it lets go.
TEST_F(PortList, WatcherFollowsAVtrlcfgPortsLinkAndAnotherProgramsLock) {
    SetLockDirectoryForTesting(dir_);
    const Pty terminal;
    ASSERT_FALSE(terminal.path().empty());
    const std::string& slave = terminal.path();
    const std::string link = dir_ + "/radio";
    const std::uint32_t port = RegisterPortPath(link);
    PortWatcher watcher(std::make_unique<Records>(std::vector<DeviceRecord>{}), false);
    ASSERT_GE(watcher.fd(), 0);
    EXPECT_EQ(watcher.note(), "");
    EXPECT_TRUE(watcher.ports().empty());
    EXPECT_FALSE(watcher.Take().any()) << "nothing happened";

    ASSERT_EQ(::symlink(slave.c_str(), link.c_str()), 0);
    ASSERT_TRUE(Readable(watcher.fd()));
    PortWatcher::Changes changes = watcher.Take();
    EXPECT_EQ(Numbers(changes.came), std::vector<std::uint32_t>{port});
    EXPECT_TRUE(changes.went.empty());
    EXPECT_EQ(changes.came.at(0).path, link);

    const std::string lock = LockFilePath(slave);
    std::ofstream(dir_ + "/lock.tmp") << HdbLockOfParent();
    ASSERT_EQ(::rename((dir_ + "/lock.tmp").c_str(), lock.c_str()), 0);
    ASSERT_TRUE(Readable(watcher.fd()));
    changes = watcher.Take();
    EXPECT_EQ(Numbers(changes.went), std::vector<std::uint32_t>{port});
    ASSERT_EQ(watcher.ports().size(), 1u);
    EXPECT_EQ(watcher.ports()[0].state, PortEntry::State::InUse);
    EXPECT_EQ(watcher.ports()[0].holder.pid, ::getppid());
    ASSERT_EQ(::unlink(lock.c_str()), 0);
    ASSERT_TRUE(Readable(watcher.fd()));
    EXPECT_EQ(Numbers(watcher.Take().came), std::vector<std::uint32_t>{port});

    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_TRUE(Readable(watcher.fd()));
    changes = watcher.Take();
    EXPECT_EQ(Numbers(changes.went), std::vector<std::uint32_t>{port});
    EXPECT_TRUE(watcher.ports().empty());
    SetLockDirectoryForTesting("");
}

// This machine's own database: whatever it lists is there.
TEST(SystemPortList, ListsNothingFalse) {
    const auto database = SystemDeviceDatabase();
    ASSERT_NE(database, nullptr);
    ASSERT_TRUE(database->SerialDevices().has_value()) << "libudev reads the device tree";
    ResetRegisteredPortsForTesting();
    for (const PortEntry& entry : ListPorts(database.get())) {
        struct stat st{};
        EXPECT_TRUE(::stat(entry.device.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) << entry.device;
        EXPECT_EQ(PortDevicePath(entry.port), entry.path);
        std::ifstream type("/sys/class/tty/" + entry.device.substr(5) + "/type");
        std::string uart;
        if (type >> uart) {
            EXPECT_NE(uart, "0") << entry.device << " has no UART";
        }
        if (!entry.listed()) {
            EXPECT_FALSE(entry.detail.empty()) << entry.device;
        }
    }
    // A container has no device manager; the watcher says what it does instead.
    const PortWatcher watcher;
    EXPECT_GE(watcher.fd(), 0);
    if (::access("/run/udev/control", F_OK) != 0) {
        EXPECT_NE(watcher.note().find("No device manager"), std::string::npos) << watcher.note();
    }
}

}  // namespace
}  // namespace vtrl::serial::test
