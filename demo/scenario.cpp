#include "scenario.h"

#include "pages/commportselection.h"
#include "pages/simulated.h"
#include "serial/ports.h"

#include "sim/device.h"

namespace vtrl::demo {

namespace {

void ApplyPort(const PortChoice& choice, sim::DeviceConfig& config)
{
    // Codes are the list positions plus one.
    config.baudCode = static_cast<std::uint8_t>(choice.baud + 1);
    config.dataBitsCode = static_cast<std::uint8_t>(choice.dataBits + 1);
    config.parityCode = static_cast<std::uint8_t>(choice.parity + 1);
    config.stopBitsCode = static_cast<std::uint8_t>(choice.stopBits + 1);
    config.flowControlCode = static_cast<std::uint8_t>(choice.flow + 1);
    config.interfaceCode = choice.dce ? 2 : 1;
}

QString Differences(const char* device, const sim::DeviceConfig& expected, const std::optional<sim::DeviceConfig>& held)
{
    if (!held)
        return QStringLiteral("%1 device not found").arg(QLatin1String(device));
    QStringList fields;
    const auto check = [&](const char* name, bool same) {
        if (!same)
            fields << QLatin1String(name);
    };
    const sim::DeviceConfig& h = *held;
    check("function", h.deviceFunction == expected.deviceFunction);
    check("baud", h.baudCode == expected.baudCode);
    check("data bits", h.dataBitsCode == expected.dataBitsCode);
    check("parity", h.parityCode == expected.parityCode);
    check("stop bits", h.stopBitsCode == expected.stopBitsCode);
    check("flow control", h.flowControlCode == expected.flowControlCode);
    check("DTE/DCE", h.interfaceCode == expected.interfaceCode);
    check("device name", h.deviceName == expected.deviceName);
    check("link timeout", h.linkTimeout == expected.linkTimeout);
    check("bond role", h.bondRole == expected.bondRole);
    check("bonded address", h.bondedAddress == expected.bondedAddress);
    check("power", h.powerByte == expected.powerByte);
    check("encryption", h.encryption == expected.encryption);
    check("authentication", h.authentication == expected.authentication);
    check("PIN", h.pinCode == expected.pinCode);
    check("output on CD", h.outputOnCD == expected.outputOnCD);
    check("other fields", h == expected || !fields.isEmpty());
    if (fields.isEmpty())
        return QString();
    return QStringLiteral("%1 device differs in %2").arg(QLatin1String(device), fields.join(QStringLiteral(", ")));
}

}  // namespace

void PretendUsbAdapter(const std::string& devnode)
{
    struct Database final : serial::DeviceDatabase {
        std::string node;
        std::optional<std::vector<serial::DeviceRecord>> SerialDevices() override
        {
            serial::DeviceRecord r;
            r.devnode = node;
            r.sysname = "ttyUSB9";
            r.subsystem = "tty";
            r.properties = {{"ID_VENDOR_ID", "0403"},
                            {"ID_MODEL_ID", "6001"},
                            {"ID_SERIAL_SHORT", "A10K3PZB"},
                            {"ID_USB_DRIVER", "ftdi_sio"},
                            {"ID_VENDOR_FROM_DATABASE", "Future Technology Devices International, Ltd"},
                            {"ID_MODEL_FROM_DATABASE", "FT232 Serial (UART) IC"},
                            {"DEVLINKS", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3PZB-if00-port0"}};
            return std::vector<serial::DeviceRecord>{r};
        }
    };
    TfrmCommPortSel::SetDeviceDatabaseForTesting([devnode] {
        auto database = std::make_unique<Database>();
        database->node = devnode;
        return database;
    });
}

void SetUpSppDevice(sim::Simulator& device)
{
    SetUpSppServer(device);
}

CableChoices CableDemoChoices()
{
    CableChoices c;
    c.remoteAddress = QStringLiteral("001BDC0A9ABC");
    c.local = PortChoice{6, 1, 2, 0, 2, true};    // 19200,8,E,1, hardware flow, DCE
    c.remote = PortChoice{6, 1, 2, 0, 2, false};  // the same line, DTE
    return c;
}

SppChoices SppDemoChoices()
{
    SppChoices c;
    c.local = PortChoice{9, 1, 0, 0, 2, false};  // 115200,8,N,1, hardware flow, DTE
    c.device.name = QStringLiteral("Vantrel/S Gate 7");
    c.device.authentication = true;
    c.device.encryption = true;
    c.device.pin = QStringLiteral("2468");
    c.device.linkTimeout = 30;
    return c;
}

void ApplyCableChoices(const CableChoices& choices, sim::DeviceConfig& local, sim::DeviceConfig& remote,
                       const DeviceAddress& localAddress, const DeviceAddress& remoteAddress)
{
    ApplyPort(choices.local, local);
    ApplyPort(choices.remote, remote);
    local.bondedAddress = remoteAddress;
    local.bondRole = 1;
    remote.bondedAddress = localAddress;
    remote.bondRole = 2;
    // The remote page starts from the local settings, power included.
    remote.powerByte = local.powerByte;
}

void ApplySppChoices(const SppChoices& choices, sim::DeviceConfig& local)
{
    ApplyPort(choices.local, local);
    local.setName(choices.device.name.toStdString());
    local.linkTimeout = static_cast<std::uint16_t>(choices.device.linkTimeout);
    local.encryption = choices.device.encryption ? 1 : 0;
    local.authentication = choices.device.authentication ? 1 : 0;
    local.setPin(choices.device.pin.toStdString());
}

QString CableFlashMismatch(const sim::Simulator& device, const CableChoices& choices)
{
    const sim::DeviceProfile local = device.local();
    const auto remoteAddress = sim::parseAddress(choices.remoteAddress.toStdString());
    if (!remoteAddress)
        return QStringLiteral("no remote address chosen");
    sim::DeviceConfig expectedLocal = local.config;
    sim::DeviceConfig expectedRemote;
    for (const sim::DeviceProfile& r : device.remotes())
        if (r.address == *remoteAddress)
            expectedRemote = r.config;
    ApplyCableChoices(choices, expectedLocal, expectedRemote, local.address, *remoteAddress);
    QStringList problems;
    for (const QString& p : {Differences("attached", expectedLocal, device.flashConfig({})),
                             Differences("remote", expectedRemote, device.flashConfig(*remoteAddress))})
        if (!p.isEmpty())
            problems << p;
    return problems.join(QStringLiteral("; "));
}

QString SppFlashMismatch(const sim::Simulator& device, const SppChoices& choices)
{
    sim::DeviceConfig expected = device.local().config;
    ApplySppChoices(choices, expected);
    return Differences("attached", expected, device.flashConfig({}));
}

}  // namespace vtrl::demo
