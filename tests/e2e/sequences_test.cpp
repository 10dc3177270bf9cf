// Both page sequences from the first page to Finish against simulated
// devices, clicked through as an operator does; afterwards each device's
// flash holds exactly what was chosen on the pages, and nothing else changed.
#include "support/wizard_fixture.h"

#include "demo/scenario.h"

using namespace vtrl;
using namespace vtrl::testing;

using WizardSequence = WizardFixture;

TEST_F(WizardSequence, CableReplacementLeavesTheChosenSettingsInBothDevices)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    demo::CableChoices choices;
    choices.remoteAddress = QStringLiteral("001BDC0A9ABC");  // not the device bonded before
    choices.local = demo::PortChoice{8, 0, 1, 1, 1, false};   // 57600,7,O,2, software flow, DTE
    choices.remote = demo::PortChoice{8, 0, 1, 1, 1, true};   // the same line, DCE

    ASSERT_TRUE(walk.WalkCableReplacement(port, choices)) << Error() << "\n" << Log();

    const sim::DeviceProfile local = device.local();
    const DeviceAddress remoteAddress = *sim::parseAddress("001BDC0A9ABC");
    sim::DeviceConfig expectedLocal = local.config;
    sim::DeviceConfig expectedRemote;
    for (const sim::DeviceProfile& r : device.remotes())
        if (r.address == remoteAddress)
            expectedRemote = r.config;
    demo::ApplyCableChoices(choices, expectedLocal, expectedRemote, local.address, remoteAddress);
    EXPECT_EQ(demo::CableFlashMismatch(device, choices), QString());
    EXPECT_TRUE(device.flashConfig({}) == expectedLocal);
    EXPECT_TRUE(device.flashConfig(remoteAddress) == expectedRemote);
    EXPECT_EQ(device.abortCount(), 0) << "a finished wizard tells the device nothing";
}

TEST_F(WizardSequence, SppServerLeavesTheChosenIdentityAndSecurityInTheDevice)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    demo::SetUpSppDevice(device);
    demo::SppChoices choices;
    choices.local = demo::PortChoice{7, 1, 2, 1, 0, true};  // 38400,8,E,2, no flow, DCE
    choices.device.name = QStringLiteral("Vantrel/S Loading Bay North 2");  // 29 characters
    choices.device.authentication = true;
    choices.device.encryption = false;
    choices.device.pin = QStringLiteral("135792468013579");  // 15 characters
    choices.device.linkTimeout = 40;

    ASSERT_TRUE(walk.WalkSppServer(port, choices)) << Error() << "\n" << Log();

    sim::DeviceConfig expected = device.local().config;
    demo::ApplySppChoices(choices, expected);
    EXPECT_EQ(demo::SppFlashMismatch(device, choices), QString());
    EXPECT_TRUE(device.flashConfig({}) == expected);
    EXPECT_EQ(device.flashConfig({})->name(), "Vantrel/S Loading Bay North 2");
    EXPECT_EQ(device.linkKeyResets(), 0);
}
