#include "pages/simulated.h"

#include "pages/commportselection.h"
#include "serial/backend.h"

namespace vtrl {

void SetUpSppServer(sim::Simulator& device)
{
    sim::DeviceProfile local = sim::defaultLocalDevice();
    local.address = *sim::parseAddress("001BDC0B4242");
    local.config.deviceFunction = 2;
    local.config.bondedAddress = {};
    local.config.setName("Vantrel/S Spare");
    device.setLocal(local);
    device.clearRemotes();
}

SimulatedDevices::SimulatedDevices()
{
    SetUpSppServer(spp_);
    for (auto [port, device] : {std::pair{kCablePort, &cable_}, std::pair{kSppPort, &spp_}})
        if (!ports_.attach(port, *device) && error_.isEmpty())
            error_ = QString::fromStdString(device->errorText());
    serial::SetBackend(&ports_);
    // The system's device database knows nothing of these ports: the list
    // asks the backend, port by port.
    TfrmCommPortSel::SetDeviceDatabaseForTesting([] { return std::unique_ptr<serial::DeviceDatabase>(); });
}

SimulatedDevices::~SimulatedDevices()
{
    TfrmCommPortSel::SetDeviceDatabaseForTesting({});
    serial::SetBackend(nullptr);
    cable_.stop();
    spp_.stop();
}

QString SimulatedDevices::TitleNote()
{
    return QStringLiteral(" (demonstration: simulated devices, no serial port)");
}

}  // namespace vtrl
