#include "rig.h"

#include "pages/wizard.h"
#include "protocol/delivery.h"
#include "serial/portnames.h"
#include "serial/ports.h"
#include "shell/remembered.h"

#include <QComboBox>
#include <QDir>
#include <QTemporaryDir>

namespace vtrl::demo {

namespace {

// The machine's adapters are not the rig's: the port list asks no one about
// them, and no one looks through /proc for who holds one.
struct NoAdapters final : serial::DeviceDatabase {
    std::optional<std::vector<serial::DeviceRecord>> SerialDevices() override
    {
        return std::vector<serial::DeviceRecord>{};
    }
};

void Forget()
{
    serial::ResetRegisteredPortsForTesting();
    protocol::LocalConfig = {};
    protocol::RemoteConfig = {};
    remembered::Forget();
}

}  // namespace

Rig::Rig(std::FILE* log, QString shotDir) : walk(log, std::move(shotDir))
{
    Forget();
    TfrmCommPortSel::SetDeviceDatabaseForTesting([] { return std::make_unique<NoAdapters>(); });
}

Rig::~Rig()
{
    if (walk.wizard())
        walk.wizard()->main().hide();
    walk = WalkThrough(nullptr, {});  // the wizard goes before its devices
    devices.clear();
    TfrmCommPortSel::SetDeviceDatabaseForTesting({});
    serial::ResetRegisteredPortsForTesting();
}

sim::Simulator& Rig::AddDevice(int* port, Line line)
{
    devices.push_back(std::make_unique<sim::Simulator>());
    sim::Simulator& s = *devices.back();
    std::string path;
    if (!s.start()) {
        error_ = QStringLiteral("the device simulator did not start: %1").arg(QString::fromStdString(s.errorText()));
    } else if (line == Line::Pty) {
        path = s.slavePath();
    } else {
        if (!linkDir_)
            linkDir_ = std::make_unique<QTemporaryDir>(QDir::temp().filePath(QStringLiteral("vtrl-rig-XXXXXX")));
        path = QDir(linkDir_->path()).filePath(QStringLiteral("device%1").arg(devices.size())).toStdString();
        if (!linkDir_->isValid() || !s.setStablePath(path)) {
            error_ = QStringLiteral("no link to the simulated device");
            path.clear();
        }
    }
    const int n = path.empty() ? 0 : static_cast<int>(serial::RegisterPortPath(path));
    if (port)
        *port = n;
    return s;
}

bool Rig::Open(int deviceFunction, const RigTimers& timers)
{
    if (!error_.isEmpty() || !walk.Start(deviceFunction))
        return false;
    SetTimers(main(), timers);
    // The machine's own ports (an on-board UART, say) are not the rig's to
    // write to: only registered ones stay in the list.
    QComboBox& list = frmCommPortSel->cboCommPort;
    for (int i = list.count() - 1; i >= 0; --i)
        if (TfrmCommPortSel::PortNumberOfItem(list.itemText(i)).value_or(0)
            < static_cast<int>(serial::kFirstRegisteredPort))
            list.removeItem(i);
    list.setCurrentIndex(-1);
    return true;
}

bool Rig::Select(int port)
{
    QComboBox& list = frmCommPortSel->cboCommPort;
    for (int i = 0; i < list.count(); ++i)
        if (TfrmCommPortSel::PortNumberOfItem(list.itemText(i)) == port) {
            list.setCurrentIndex(i);
            return true;
        }
    return false;
}

void Rig::SetTimers(TfrmMain& main, const RigTimers& t)
{
    const auto set = [](QTimer& timer, int ms) {
        if (ms > 0)
            timer.setInterval(ms);
    };
    if (t.drain > 0)
        main.DrainMs = t.drain;
    set(frmCommPortSel->tmrHeartbeat, t.heartbeat);
    set(frmDevDisc->tmrBond, t.bond);
    set(frmDevDisc->tmrInquiry, t.inquiry);
    set(frmDevDisc->tmrProgressBar, t.inquiryProgress);
    set(frmConfigLocalPort->tmrConfig, t.portConfig);
    set(frmConfigRemotePort->tmrConfig, t.portConfig);
    set(frmConfigLocalDevice->tmrConfig, t.deviceTick);
    set(frmFlashUpdate->tmrFlashUpdate, t.flash);
    set(frmFlashUpdate->tmrProgressBar, t.flashProgress);
}

}  // namespace vtrl::demo
