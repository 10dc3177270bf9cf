// The device goes away in the middle of a page's exchange and comes back at
// the same path: the page says so at once, its step and timers end, it
// claims nothing the device did not confirm, and the operator recovers
// without a restart.
#include "hardening.h"

#include <sys/resource.h>

#include <cstring>
#include <functional>

using namespace vtrl;
using namespace vtrl::testing;

namespace {

// Processor time of the whole process, user and system, in ms.
double CpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

struct VanishRow {
    const char* name;
    int choice;  // on the Introduction page: 0 Cable Replacement, 1 SPP Server
    // Walks to the page with the device present; false stops the row.
    std::function<bool(HardeningTest&)> reach;
    std::uint8_t command;  // the device vanishes once this one arrived
    std::function<void(HardeningTest&)> start;
    // After the device is back: Back/Set/forward as needed, then the exchange
    // done to its end.
    std::function<bool(HardeningTest&)> finish;
};
void PrintTo(const VanishRow& row, std::ostream* os) { *os << row.name; }

const QString kPumpRoom = QStringLiteral("001BDC0A5678");  // the simulator's first remote, V3.05
const QString kDock = QStringLiteral("001BDC0A9ABC");

std::vector<VanishRow> Rows()
{
    std::vector<VanishRow> rows;
    for (std::uint8_t command : {sim::type::GetLocalAddress, sim::type::GetVersion, sim::type::GetConfig}) {
        rows.push_back({
            "CommPortPage",
            0,
            [](HardeningTest&) { return true; },
            command,
            [](HardeningTest& t) {
                t.Select(t.port);
                t.ClickSet();
            },
            [](HardeningTest& t) {
                // Still on the page: Set again reopens the port at its path.
                return t.Connect() && t.main().btnNext.isEnabled();
            },
        });
    }
    rows.push_back({
        "LocalPortPage",
        1,
        [](HardeningTest& t) { return t.ReachLocalPort(); },
        sim::type::SetPortConfig,
        [](HardeningTest&) { QTest::mouseClick(&frmConfigLocalPort->btnSet, Qt::LeftButton); },
        [](HardeningTest& t) {
            if (!t.BackToCommPort() || !t.Connect() || !(QTest::mouseClick(&t.main().btnNext, Qt::LeftButton), true))
                return false;
            return t.ConfirmPortPage(*frmConfigLocalPort) && t.main().btnNext.isEnabled();
        },
    });
    // The discovery page: the inquiry, the ping, and the first and the last
    // step of the bonding chain. After the device is back: Back to the COM
    // port page, Set, Next, and the same action again.
    const auto again = [](const std::function<bool(HardeningTest&)>& action) {
        return [action](HardeningTest& t) {
            if (!t.BackToCommPort() || !t.Connect())
                return false;
            QTest::mouseClick(&t.main().btnNext, Qt::LeftButton);
            return t.main().ShownPage() == static_cast<TWizardChildForm*>(frmDevDisc) && action(t);
        };
    };
    const auto searched = [](HardeningTest& t) { return t.ReachDiscovery() && t.Search(); };
    rows.push_back({
        "DiscoveryInquiry", 0, [](HardeningTest& t) { return t.ReachDiscovery(); }, sim::type::InitiateInquiry,
        [](HardeningTest&) { QTest::mouseClick(&frmDevDisc->btnSearchDevices, Qt::LeftButton); },
        again([](HardeningTest& t) { return t.Search() && frmDevDisc->IsListed(kDock); }),
    });
    rows.push_back({
        "DiscoveryPing", 0, searched, sim::type::PingRequest,
        [](HardeningTest& t) {
            t.SelectListed(kPumpRoom);
            QTest::mouseClick(&frmDevDisc->btnPingSelectedDevice, Qt::LeftButton);
        },
        // Entering the page turns Ping and Bond off even with an item selected;
        // a search gives them back.
        again([](HardeningTest& t) {
            if (!t.Search() || !t.SelectListed(kPumpRoom))
                return false;
            QTest::mouseClick(&frmDevDisc->btnPingSelectedDevice, Qt::LeftButton);
            return WaitUntil([&] {
                return t.Status() == QLatin1String("Ping Request sent. Look for an indication on the remote device.");
            });
        }),
    });
    for (std::uint8_t command : {sim::type::InitiateBonding, sim::type::GetConfig}) {
        rows.push_back({
            "DiscoveryBond", 0, searched, command,
            [](HardeningTest& t) {
                t.SelectListed(kPumpRoom);
                QTest::mouseClick(&frmDevDisc->btnBondSelectedDevice, Qt::LeftButton);
            },
            again([](HardeningTest& t) { return t.Search() && t.Bond(kPumpRoom) && t.main().btnNext.isEnabled(); }),
        });
    }
    // The remote port page, reached through a real bonding.
    const auto next = [](HardeningTest& t, TWizardChildForm* page) {
        QTest::mouseClick(&t.main().btnNext, Qt::LeftButton);
        return t.main().ShownPage() == page;
    };
    rows.push_back({
        "RemotePort", 0,
        [next](HardeningTest& t) {
            return t.ReachDiscovery() && t.Search() && t.Bond(kPumpRoom) && next(t, frmConfigLocalPort)
                && t.ConfirmPortPage(*frmConfigLocalPort) && next(t, frmConfigRemotePort);
        },
        sim::type::SetPortConfig,
        [](HardeningTest&) {
            TfrmConfigPort& p = *frmConfigRemotePort;
            p.cboBaudRate.setCurrentIndex((p.cboBaudRate.currentIndex() + 1) % p.cboBaudRate.count());
            QTest::mouseClick(&p.btnSet, Qt::LeftButton);
        },
        // The device may have restarted: each page sends its settings again.
        [next](HardeningTest& t) {
            return t.BackToCommPort() && t.Connect() && next(t, frmDevDisc) && next(t, frmConfigLocalPort)
                && t.ConfirmPortPage(*frmConfigLocalPort) && next(t, frmConfigRemotePort)
                && t.ConfirmPortPage(*frmConfigRemotePort);
        },
    });
    // The SPP Server's last two pages. After the device is back: Back to the
    // COM port page, Set, Next through the pages, each sending its settings
    // again (the device may have restarted), and again.
    const auto forwardTo = [next](HardeningTest& t, TWizardChildForm* page) {
        if (!t.BackToCommPort() || !t.Connect() || !next(t, frmConfigLocalPort)
            || !t.ConfirmPortPage(*frmConfigLocalPort) || !next(t, frmConfigLocalDevice))
            return false;
        return page == frmConfigLocalDevice || (t.ConfirmLocalDevice() && next(t, page));
    };
    rows.push_back({
        "LocalDevice", 1, [](HardeningTest& t) { return t.ReachLocalDevice(); }, sim::type::SetDeviceConfig,
        [](HardeningTest&) {
            TfrmConfigLocalDevice& p = *frmConfigLocalDevice;
            p.ebDeviceName.setText(QStringLiteral("Vanishing"));
            QTest::mouseClick(&p.btnSetLocalDeviceConfig, Qt::LeftButton);
        },
        [forwardTo](HardeningTest& t) { return forwardTo(t, frmConfigLocalDevice) && t.ConfirmLocalDevice(); },
    });
    rows.push_back({
        "Flash", 1, [](HardeningTest& t) { return t.ReachFlash(); }, sim::type::UpdateFlash,
        [](HardeningTest&) { QTest::mouseClick(&frmFlashUpdate->btnSave, Qt::LeftButton); },
        [forwardTo](HardeningTest& t) {
            if (!forwardTo(t, frmFlashUpdate))
                return false;
            QTest::mouseClick(&frmFlashUpdate->btnSave, Qt::LeftButton);
            return WaitUntil([&] { return frmFlashUpdate->FlashSaved; }) && t.device().flashConfig({}).has_value();
        },
    });
    return rows;
}

}  // namespace

class DeviceVanishes : public HardeningTest, public ::testing::WithParamInterface<VanishRow> {};

TEST_P(DeviceVanishes, PageEndsInItsOwnTimeOutAndTheOperatorRecoversWithoutRestart)
{
    const VanishRow& row = GetParam();
    sim::Simulator& device = AddVanishingDevice();
    OpenPage(row.choice ? kSpp : kCable);
    ASSERT_TRUE(row.reach(*this)) << row.name;

    const ConfigSnapshot before = Snapshot();
    device.setSilentFor(row.command, true);
    device.clearReceived();
    row.start(*this);
    ASSERT_TRUE(WaitUntil([&] { return device.waitForCommand(row.command, 1, sim::Millis(0)); }));
    device.hangUp();

    // At once, not after the page's time-out: the page says so, nothing waits.
    ASSERT_TRUE(WaitUntil([&] { return Status().contains(QLatin1String("was disconnected")); }, 2000))
        << row.name << ": " << Status().toStdString();
    for (QTimer* timer : main().ShownPage()->findChildren<QTimer*>())
        EXPECT_FALSE(timer->isActive() && timer->objectName() != QLatin1String("tmrProgressBar"))
            << timer->objectName().toStdString() << " still runs";
    EXPECT_TRUE(main().btnBack.isEnabled() || main().ShownPage() == static_cast<TWizardChildForm*>(frmCommPortSel));
    EXPECT_FALSE(main().btnNext.isEnabled());
    // Settled: nothing pending may keep a core busy while the device is gone.
    const double cpu = CpuMs();
    QTest::qWait(500);
    EXPECT_LT(CpuMs() - cpu, 250.0) << "busy while idle after the device vanished";
    EXPECT_EQ(Snapshot(), before) << "a value the device never confirmed";

    device.setSilentFor(row.command, false);
    ASSERT_TRUE(device.comeBack()) << device.errorText();
    EXPECT_TRUE(row.finish(*this)) << row.name << ": " << Status().toStdString();
}

INSTANTIATE_TEST_SUITE_P(EveryDevicePage, DeviceVanishes, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<VanishRow>& info) {
                             return std::string(info.param.name) + "_command" + std::to_string(info.param.command);
                         });
