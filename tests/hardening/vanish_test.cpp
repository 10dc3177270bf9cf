// The device goes away in the middle of a page's exchange and comes back at
// the same path: each page ends in its own time-out or error, claims nothing
// the device did not confirm, and the operator recovers without a restart.
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
    // The page's own end of the exchange: its time-out or error shown.
    std::function<bool(HardeningTest&)> ended;
    // After the device is back: Back/Set/forward as needed, then the exchange
    // done to its end.
    std::function<bool(HardeningTest&)> finish;
};

const QString kTimedOut = QStringLiteral("Connection not established. Please retry.");

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
            [](HardeningTest& t) { return t.page().StatusText(0) == kTimedOut && !t.main().btnNext.isEnabled(); },
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
            return t.Status() == QLatin1String("Configuration timed out. Please retry.") && !t.main().btnNext.isEnabled();
        },
        [](HardeningTest& t) {
            if (!t.BackToCommPort() || !t.Connect() || !(QTest::mouseClick(&t.main().btnNext, Qt::LeftButton), true))
                return false;
            return t.ConfirmPortPage(*frmConfigLocalPort) && t.main().btnNext.isEnabled();
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
    OpenPage(row.choice, 300);
    ASSERT_TRUE(row.reach(*this)) << row.name;

    const ConfigSnapshot before = Snapshot();
    device.setSilentFor(row.command, true);
    device.clearReceived();
    row.start(*this);
    ASSERT_TRUE(WaitUntil([&] { return device.waitForCommand(row.command, 1, sim::Millis(0)); }));
    device.hangUp();

    ASSERT_TRUE(WaitUntil([&] { return row.ended(*this); }, 10000)) << row.name << ": " << Status().toStdString();
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
